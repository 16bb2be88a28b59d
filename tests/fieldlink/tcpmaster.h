#ifndef FIELDLINK_TCPMASTER_H
#define FIELDLINK_TCPMASTER_H

#include "tvkeventloop.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace tvktest {

using Bytes = std::vector<std::uint8_t>;

// A loopback port that was free a moment ago (the server refuses port 0).
int freeLoopbackPort();

// Runs the loop in short slices until `done` or the deadline: the peers
// the tests wait on (raw sockets, pipes) are not watched by the loop.
bool pumpUntil(Quorvan::CtvkEventLoop& loop, const std::function<bool()>& done, int timeoutMs = 5000);

// Notifiers the calling thread's dispatcher is watching.
int watchedNotifiers();

// Modbus TCP requests built byte by byte, independent of libmodbus.
Bytes readRequest(int transactionId, int function, int address, int count, int unit = 1);
Bytes writeRegistersRequest(int transactionId, int address, const std::vector<int>& values);
Bytes concat(std::initializer_list<Bytes> parts);

// A master on a raw loopback socket that never blocks on reading, so the
// server under test can run in the same thread.
class RawMaster {
public:
    explicit RawMaster(int port, int receiveBuffer = 0);
    ~RawMaster();
    RawMaster(const RawMaster&) = delete;
    RawMaster& operator=(const RawMaster&) = delete;

    bool connected() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool send(const Bytes& bytes);
    // Collects what has arrived; answers false once the server has closed.
    bool receive();
    // Takes the next complete response frame, if there is one.
    bool takeFrame(Bytes* frame);
    bool closedByServer() const { return m_eof; }
    void close();

private:
    int m_fd = -1;
    bool m_eof = false;
    Bytes m_inbox;
};

} // namespace tvktest

#endif
