#ifndef FIELDLINK_PYMODBUSPEER_H
#define FIELDLINK_PYMODBUSPEER_H

#include <sys/types.h>

namespace tvktest {

// Runs tests/peers/pymodbus_server.py with Debian's /usr/bin/python3 (the
// one that sees python3-pymodbus) and waits for the port line it prints
// once it serves. The process is ended when the object goes.
class PymodbusPeer {
public:
    PymodbusPeer();
    ~PymodbusPeer();
    PymodbusPeer(const PymodbusPeer&) = delete;
    PymodbusPeer& operator=(const PymodbusPeer&) = delete;

    // Waits at most timeoutMs for the port line; 0 when none came.
    int waitForPort(int timeoutMs);
    void stop();

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_port = 0;
};

} // namespace tvktest

#endif
