#include "tcpmaster.h"

#include "tvkabstracteventdispatcher.h"
#include "tvkepolldispatcher_p.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace tvktest {

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void putWord(Bytes& b, int v)
{
    b.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

Bytes mbap(int transactionId, int unit, const Bytes& pdu)
{
    Bytes b;
    putWord(b, transactionId);
    putWord(b, 0);
    putWord(b, static_cast<int>(pdu.size()) + 1);
    b.push_back(static_cast<std::uint8_t>(unit));
    b.insert(b.end(), pdu.begin(), pdu.end());
    return b;
}

} // namespace

int freeLoopbackPort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

bool pumpUntil(Quorvan::CtvkEventLoop& loop, const std::function<bool()>& done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        loop.processEvents(2);
    }
    return true;
}

int watchedNotifiers()
{
    auto* d = static_cast<Quorvan::CtvkEpollDispatcher*>(Quorvan::CtvkAbstractEventDispatcher::instance());
    return d->registeredNotifierCount();
}

Bytes readRequest(int transactionId, int function, int address, int count, int unit)
{
    Bytes pdu{static_cast<std::uint8_t>(function)};
    putWord(pdu, address);
    putWord(pdu, count);
    return mbap(transactionId, unit, pdu);
}

Bytes writeRegistersRequest(int transactionId, int address, const std::vector<int>& values)
{
    Bytes pdu{0x10};
    putWord(pdu, address);
    putWord(pdu, static_cast<int>(values.size()));
    pdu.push_back(static_cast<std::uint8_t>(values.size() * 2));
    for (int v : values)
        putWord(pdu, v);
    return mbap(transactionId, 1, pdu);
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

RawMaster::RawMaster(int port, int receiveBuffer)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    if (receiveBuffer > 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in a = loopback(port);
    // The kernel completes a loopback handshake from the backlog, so this
    // does not wait for the server's loop.
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
}

RawMaster::~RawMaster()
{
    close();
}

void RawMaster::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool RawMaster::send(const Bytes& bytes)
{
    return m_fd >= 0
        && ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool RawMaster::receive()
{
    std::uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = m_fd >= 0 ? ::recv(m_fd, chunk, sizeof chunk, 0) : 0;
        if (n > 0) {
            m_inbox.insert(m_inbox.end(), chunk, chunk + n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            m_eof = true;
        return !m_eof;
    }
}

bool RawMaster::takeFrame(Bytes* frame)
{
    receive();
    if (m_inbox.size() < 6)
        return false;
    const std::size_t length = 6 + ((std::size_t(m_inbox[4]) << 8) | m_inbox[5]);
    if (m_inbox.size() < length)
        return false;
    frame->assign(m_inbox.begin(), m_inbox.begin() + static_cast<long>(length));
    m_inbox.erase(m_inbox.begin(), m_inbox.begin() + static_cast<long>(length));
    return true;
}

} // namespace tvktest
