// SPDX-License-Identifier: MIT
#ifndef TVKTEST_RAWMASTER_H
#define TVKTEST_RAWMASTER_H

#include "frames.h"

namespace tvktest {

// A Modbus TCP master on a raw loopback socket that never blocks on
// reading, so the server under test can run in the same thread.
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
