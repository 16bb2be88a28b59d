// SPDX-License-Identifier: MIT
#include "ptypair.h"

#include "deadline.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace tvktest {

namespace {

constexpr std::size_t kChunkBytes = 512;
// Room for the path of a pseudo terminal (/dev/pts/N).
constexpr std::size_t kPathBytes = 128;

} // namespace

PtyPair::PtyPair()
{
    int master = -1;
    int slave = -1;
    char name[kPathBytes] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    m_master = master;
    m_slave = slave;
    m_path = name;
}

PtyPair::~PtyPair()
{
    closePeer();
}

void PtyPair::closePeer()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = m_master = -1;
}

// The descriptor blocks (libmodbus peers use it too), and a blocking write
// to a terminal waits until all of it is taken. A byte at a time, each after
// poll() saw room, never waits.
std::size_t PtyPair::writeSome(const Bytes& bytes) const
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        pollfd p{m_master, POLLOUT, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLOUT))
            break;
        if (::write(m_master, bytes.data() + done, 1) != 1)
            break;
        ++done;
    }
    return done;
}

bool PtyPair::write(const Bytes& bytes, int timeoutMs) const
{
    const Deadline deadline(timeoutMs);
    std::size_t done = 0;
    for (;;) {
        done += writeSome(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(done), bytes.end()));
        if (done == bytes.size())
            return true;
        if (deadline.passed())
            return false;
        pollfd p{m_master, POLLOUT, 0};
        if (::poll(&p, 1, deadline.leftMs()) <= 0 || !(p.revents & POLLOUT))
            return false;
    }
}

Bytes PtyPair::read(int waitMs, std::size_t expected) const
{
    Bytes out;
    const Deadline deadline(waitMs);
    while (expected == 0 || out.size() < expected) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, deadline.leftMs()) <= 0)
            break;
        std::uint8_t buf[kChunkBytes];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

PtyLink::PtyLink()
{
    if (m_a.ok() && m_b.ok())
        m_thread.start([this](int wake) { relay(wake); });
}

void PtyLink::relay(int wake)
{
    for (;;) {
        pollfd p[3] = {{m_a.peer(), POLLIN, 0}, {m_b.peer(), POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(p, 3, -1) < 0)
            continue;
        if (p[2].revents)
            return;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & POLLIN))
                continue;
            std::uint8_t buf[kChunkBytes];
            const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n > 0)
                (i == 0 ? m_b : m_a).write(Bytes(buf, buf + n));
        }
    }
}

} // namespace tvktest
