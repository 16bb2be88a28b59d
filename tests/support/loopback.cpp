// SPDX-License-Identifier: MIT
#include "loopback.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>

namespace tvktest {

namespace {

// A stream socket bound to 127.0.0.1:port; -1 when that fails. Only a
// listener reuses addresses: a socket bound that way could share its port
// with a refusing one that did the same.
int boundSocket(int port, bool reuseAddress)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    if (reuseAddress)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in addr = loopbackAddress(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

sockaddr_in loopbackAddress(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int listenOnLoopback(int port, int backlog)
{
    // A port given again a moment after its last listener closed binds.
    const int fd = boundSocket(port, true);
    if (fd >= 0 && ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int localPort(int fd)
{
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

int connectToLoopback(int port, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in addr = loopbackAddress(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int freeLoopbackPort()
{
    const int fd = boundSocket(0, false);
    const int port = localPort(fd);
    if (fd >= 0)
        ::close(fd);
    return port;
}

RefusingPort::RefusingPort() : m_fd(boundSocket(0, false)), m_port(localPort(m_fd))
{
}

RefusingPort::~RefusingPort()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

StallingPort::StallingPort()
    : m_listen(listenOnLoopback(0, 0)), m_port(localPort(m_listen)), m_filler(connectToLoopback(m_port))
{
}

StallingPort::~StallingPort()
{
    for (int fd : {m_filler, m_listen})
        if (fd >= 0)
            ::close(fd);
}

std::string unresolvedHostReason()
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(kHostThatNamesNothing, "502", &hints, &found);
    if (found)
        ::freeaddrinfo(found);
    return rc == 0 ? std::string() : std::string(::gai_strerror(rc));
}

} // namespace tvktest
