// SPDX-License-Identifier: MIT
#ifndef TVKTEST_FAKESLAVE_H
#define TVKTEST_FAKESLAVE_H

#include "stoppablethread.h"

#include <atomic>

namespace tvktest {

// A Modbus TCP slave on 127.0.0.1 written for the tests, on plain sockets
// and independent of libmodbus. It counts every complete request it reads
// and leaves the first `silentRequests` unanswered (all of them when
// negative); the others get a valid answer: bit i of a bit read is
// (address + i) % 2, register i of a register read is address + i, writes
// are confirmed.
class FakeSlave {
public:
    // Listens on `port`, or on a port the system picks when it is 0; throws
    // std::runtime_error when it cannot listen.
    explicit FakeSlave(int silentRequests, int port = 0);
    ~FakeSlave();
    FakeSlave(const FakeSlave&) = delete;
    FakeSlave& operator=(const FakeSlave&) = delete;

    int port() const { return m_port; }
    int requests() const { return m_requests.load(); }
    // Connections accepted and not yet closed by the peer.
    int connections() const { return m_connections.load(); }

private:
    void run(int wake);

    int m_silent;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<int> m_requests{0};
    std::atomic<int> m_connections{0};
    StoppableThread m_thread;
};

} // namespace tvktest

#endif
