// SPDX-License-Identifier: MIT
#include "rawmaster.h"

#include "loopback.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tvktest {

namespace {

constexpr std::size_t kChunkBytes = 4096;

} // namespace

RawMaster::RawMaster(int port, int receiveBuffer)
    // The kernel completes a loopback handshake from the backlog, so the
    // connection does not wait for the server's loop.
    : m_fd(connectToLoopback(port, receiveBuffer))
{
    if (m_fd >= 0)
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
    std::uint8_t chunk[kChunkBytes];
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
    return takeMbapFrame(m_inbox, frame);
}

} // namespace tvktest
