#ifndef FIELDLINK_PEERPROCESS_H
#define FIELDLINK_PEERPROCESS_H

#include <string>
#include <vector>

#include <sys/types.h>

namespace tvktest {

// An independent program run as a peer (a pymodbus master, mbpoll): its
// standard input and output are pipes. Reading never blocks, so a test can
// keep its own event loop running while the peer talks to a server in it.
// The process is killed and reaped when the object goes.
class PeerProcess {
public:
    explicit PeerProcess(const std::vector<std::string>& argv);
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    bool started() const { return m_pid > 0; }
    void writeLine(const std::string& line);
    // Takes one complete line of output (without its end) if there is one.
    bool tryReadLine(std::string* line);
    // Everything the peer wrote so far, lines taken or not.
    const std::string& output() const { return m_all; }
    // True once the process has ended; its exit status goes to *status.
    bool finished(int* status);

private:
    void drain();

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_status = -1;
    std::string m_buffer;
    std::string m_all;
};

} // namespace tvktest

#endif
