#include "fakeslave.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace tvktest {

namespace {

using Bytes = std::vector<std::uint8_t>;

unsigned word(const Bytes& b, std::size_t at) { return (unsigned(b[at]) << 8) | b[at + 1]; }
void putWord(Bytes& b, unsigned v) { b.push_back(std::uint8_t(v >> 8)); b.push_back(std::uint8_t(v)); }

// The PDU answering the request PDU `req` (function code first).
Bytes answer(const Bytes& req)
{
    const std::uint8_t fc = req[0];
    const unsigned address = word(req, 1);
    const unsigned quantity = word(req, 3);
    Bytes pdu{fc};
    switch (fc) {
    case 0x01:
    case 0x02: {
        Bytes bits((quantity + 7) / 8, 0);
        for (unsigned i = 0; i < quantity; ++i)
            if ((address + i) % 2)
                bits[i / 8] |= std::uint8_t(1u << (i % 8));
        pdu.push_back(std::uint8_t(bits.size()));
        pdu.insert(pdu.end(), bits.begin(), bits.end());
        break;
    }
    case 0x03:
    case 0x04:
        pdu.push_back(std::uint8_t(quantity * 2));
        for (unsigned i = 0; i < quantity; ++i)
            putWord(pdu, address + i);
        break;
    case 0x05:
    case 0x06:
    case 0x0F:
    case 0x10:
        pdu.insert(pdu.end(), req.begin() + 1, req.begin() + 5);
        break;
    default:
        pdu = {std::uint8_t(fc | 0x80), 0x01};
        break;
    }
    return pdu;
}

} // namespace

FakeSlave::FakeSlave(int silentRequests, int port) : m_silent(silentRequests)
{
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<unsigned short>(port));
    socklen_t len = sizeof addr;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || ::listen(m_listen, 64) != 0
        || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0
        || ::pipe2(m_wake, O_CLOEXEC) != 0)
    {
        for (int fd : {m_listen, m_wake[0], m_wake[1]})
            if (fd >= 0)
                ::close(fd);
        throw std::runtime_error("fake slave: cannot listen on loopback");
    }
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { run(); });
}

FakeSlave::~FakeSlave()
{
    const char stop = 0;
    (void)!::write(m_wake[1], &stop, 1);
    m_thread.join();
    ::close(m_listen);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

void FakeSlave::run()
{
    struct Client { int fd; Bytes in; };
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> fds{{m_wake[0], POLLIN, 0}, {m_listen, POLLIN, 0}};
        for (const Client& c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents)
            break;
        if (fds[1].revents) {
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                clients.push_back({fd, {}});
                ++m_connections;
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            Client& c = clients[i - 2];
            std::uint8_t buf[512];
            const ssize_t n = ::read(c.fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(c.fd);
                c.fd = -1;
                --m_connections;
                continue;
            }
            c.in.insert(c.in.end(), buf, buf + n);
            // MBAP: transaction id, protocol id, length (unit id + PDU), unit id.
            while (c.in.size() >= 7 && c.in.size() >= 6 + word(c.in, 4)) {
                const std::size_t frame = 6 + word(c.in, 4);
                if (frame < 8) {
                    // No room for unit id and function code: not a request
                    // any master sends, so the connection is dropped.
                    ::close(c.fd);
                    c.fd = -1;
                    --m_connections;
                    break;
                }
                const Bytes req(c.in.begin() + 7, c.in.begin() + frame);
                const int number = ++m_requests;
                if (m_silent >= 0 && number > m_silent && req.size() >= 5) {
                    const Bytes pdu = answer(req);
                    Bytes out(c.in.begin(), c.in.begin() + 4);
                    putWord(out, unsigned(pdu.size() + 1));
                    out.push_back(c.in[6]);
                    out.insert(out.end(), pdu.begin(), pdu.end());
                    (void)!::write(c.fd, out.data(), out.size());
                }
                c.in.erase(c.in.begin(), c.in.begin() + frame);
            }
        }
        for (std::size_t i = clients.size(); i-- > 0;)
            if (clients[i].fd < 0)
                clients.erase(clients.begin() + i);
    }
    for (const Client& c : clients)
        ::close(c.fd);
}

} // namespace tvktest
