// SPDX-License-Identifier: MIT
#include "fakeslave.h"

#include "frames.h"
#include "loopback.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace tvktest {

namespace {

constexpr int kBacklog = 64;
constexpr std::size_t kChunkBytes = 512;
// The PDU of a request: function code, address, quantity.
constexpr std::size_t kAddressAt = 1;
constexpr std::size_t kQuantityAt = 3;
constexpr std::size_t kRequestPduBytes = 5;
// A frame without room for the unit id and a function code.
constexpr std::size_t kShortestFrame = kMbapHeaderBytes + 1;
constexpr std::uint8_t kIllegalFunction = 0x01;
constexpr unsigned kBitsPerByte = 8;

// The PDU answering the request PDU `req` (function code first).
Bytes answer(const Bytes& req)
{
    const std::uint8_t fc = req[0];
    const unsigned address = wordAt(req, kAddressAt);
    const unsigned quantity = wordAt(req, kQuantityAt);
    Bytes pdu{fc};
    switch (fc) {
    case ReadCoils:
    case ReadDiscreteInputs: {
        Bytes bits((quantity + kBitsPerByte - 1) / kBitsPerByte, 0);
        for (unsigned i = 0; i < quantity; ++i)
            if ((address + i) % 2)
                bits[i / kBitsPerByte] |= std::uint8_t(1u << (i % kBitsPerByte));
        pdu.push_back(std::uint8_t(bits.size()));
        pdu.insert(pdu.end(), bits.begin(), bits.end());
        break;
    }
    case ReadHoldingRegisters:
    case ReadInputRegisters:
        pdu.push_back(std::uint8_t(quantity * kRegisterBytes));
        for (unsigned i = 0; i < quantity; ++i)
            putWord(pdu, address + i);
        break;
    case WriteSingleCoil:
    case WriteSingleRegister:
    case WriteMultipleCoils:
    case WriteMultipleRegisters:
        pdu.insert(pdu.end(), req.begin() + kAddressAt, req.begin() + kRequestPduBytes);
        break;
    default:
        pdu = {std::uint8_t(fc | kExceptionBit), kIllegalFunction};
        break;
    }
    return pdu;
}

} // namespace

FakeSlave::FakeSlave(int silentRequests, int port) : m_silent(silentRequests)
{
    m_listen = listenOnLoopback(port, kBacklog);
    m_port = localPort(m_listen);
    if (m_port == 0 || !m_thread.start([this](int wake) { run(wake); })) {
        if (m_listen >= 0)
            ::close(m_listen);
        throw std::runtime_error("fake slave: cannot listen on loopback");
    }
}

FakeSlave::~FakeSlave()
{
    m_thread.stop();
    ::close(m_listen);
}

void FakeSlave::run(int wake)
{
    struct Client { int fd; Bytes in; };
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> fds{{wake, POLLIN, 0}, {m_listen, POLLIN, 0}};
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
            std::uint8_t buf[kChunkBytes];
            const ssize_t n = ::read(c.fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(c.fd);
                c.fd = -1;
                --m_connections;
                continue;
            }
            c.in.insert(c.in.end(), buf, buf + n);
            std::size_t frame;
            while (c.in.size() >= kMbapHeaderBytes && c.in.size() >= (frame = mbapFrameLength(c.in))) {
                if (frame < kShortestFrame) {
                    // No room for unit id and function code: not a request
                    // any master sends, so the connection is dropped.
                    ::close(c.fd);
                    c.fd = -1;
                    --m_connections;
                    break;
                }
                const Bytes req(c.in.begin() + kMbapHeaderBytes, c.in.begin() + long(frame));
                const int number = ++m_requests;
                if (m_silent >= 0 && number > m_silent && req.size() >= kRequestPduBytes) {
                    const Bytes pdu = answer(req);
                    // The request's transaction and protocol ids and its unit id.
                    Bytes out(c.in.begin(), c.in.begin() + kMbapLengthAt);
                    putWord(out, unsigned(pdu.size() + 1));
                    out.push_back(c.in[kMbapHeaderBytes - 1]);
                    out.insert(out.end(), pdu.begin(), pdu.end());
                    (void)!::write(c.fd, out.data(), out.size());
                }
                c.in.erase(c.in.begin(), c.in.begin() + long(frame));
            }
        }
        for (std::size_t i = clients.size(); i-- > 0;)
            if (clients[i].fd < 0)
                clients.erase(clients.begin() + long(i));
    }
    for (const Client& c : clients)
        ::close(c.fd);
}

} // namespace tvktest
