// SPDX-License-Identifier: MIT
#ifndef TVKTEST_LOOPBACK_H
#define TVKTEST_LOOPBACK_H

#include <netinet/in.h>

#include <string>

namespace tvktest {

// Sockets on 127.0.0.1 for the peers and masters the tests and benchmarks
// run. Every descriptor is closed on exec.

sockaddr_in loopbackAddress(int port);

// A socket listening on `port`, or on one the system picks when it is 0;
// -1 when it cannot listen.
int listenOnLoopback(int port = 0, int backlog = 64);

// The port a bound socket has; 0 when it has none.
int localPort(int fd);

// A blocking socket connected to `port`; -1 when the connection fails. A
// receive buffer above 0 is set before connecting (a small one makes a
// master that stops reading show soon).
int connectToLoopback(int port, int receiveBuffer = 0);

// A port that was free a moment ago (the TCP server refuses port 0).
int freeLoopbackPort();

// A port that refuses connections: bound, so nobody else takes it, but not
// listening.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

// A port whose connects never complete: it listens with a queue of one
// place, which a connection of its own takes, so the kernel drops every
// further SYN and a connecting client waits on its own time limit.
class StallingPort {
public:
    StallingPort();
    ~StallingPort();
    StallingPort(const StallingPort&) = delete;
    StallingPort& operator=(const StallingPort&) = delete;
    int port() const { return m_port; }

private:
    int m_listen = -1;
    int m_port = 0;
    int m_filler = -1;
};

// A host name that names no host: in the reserved domain .invalid, and with
// an empty label, so that the resolver refuses it without asking a name
// server, and the answer never waits on the network.
constexpr const char kHostThatNamesNothing[] = "no..such-host.invalid";

// What the resolver says of kHostThatNamesNothing, as gai_strerror() gives
// it; empty when a resolver here answers for every name.
std::string unresolvedHostReason();

} // namespace tvktest

#endif
