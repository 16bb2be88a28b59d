// SPDX-License-Identifier: MIT
#include "polloutput.h"

#include "tvksocketnotifier.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>

using namespace Quorvan;

namespace tvkpoll {

namespace {

// Output a reader has not taken yet, at most: a few minutes of a busy poll.
constexpr std::size_t kPendingBytesMax = 64 * 1024;

// A description of our own, non-blocking, for a pipe or a terminal:
// O_NONBLOCK set on the inherited one would reach the shell and every other
// process sharing it. -1 where there is none: a regular file never waits on
// a reader, and a socket cannot be opened again.
int ownNonBlocking(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)))
        return -1;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

} // namespace

OutputChannel::OutputChannel(int fd) : m_fd(fd)
{
    const int own = ownNonBlocking(fd);
    if (own >= 0) {
        m_fd = own;
        m_ownDescriptor = true;
    }
}

OutputChannel::~OutputChannel()
{
    m_writable.reset();   // off the loop before its descriptor closes
    if (m_ownDescriptor)
        ::close(m_fd);
}

void OutputChannel::write(const std::string& text)
{
    if (!m_broken && m_pending.size() + text.size() > kPendingBytesMax)
        flush();   // room may have come since the loop last looked
    if (m_broken || m_pending.size() + text.size() > kPendingBytesMax) {
        drop(text);
        return;
    }
    m_pending += text;
    if (flush())
        return;
    if (!m_writable) {
        m_writable = std::make_unique<CtvkSocketNotifier>(m_fd, CtvkSocketNotifier::Write);
        CtvkObject::connect<int>(m_writable.get(), "activated", nullptr, std::function<void(int)>([this](int) {
                                     if (flush())
                                         m_writable->setEnabled(false);
                                 }));
    }
    m_writable->setEnabled(!m_broken);
}

bool OutputChannel::flush()
{
    while (!m_pending.empty() && !m_broken) {
        std::size_t chunk = m_pending.size();
        if (!m_ownDescriptor) {
            // A descriptor that may block: written only when it says it
            // takes something, and no more than a pipe takes at once.
            pollfd p{m_fd, POLLOUT, 0};
            if (::poll(&p, 1, 0) != 1 || !(p.revents & (POLLOUT | POLLERR | POLLHUP)))
                return false;
            chunk = std::min(chunk, std::size_t(PIPE_BUF));
        }
        const ssize_t written = ::write(m_fd, m_pending.data(), chunk);
        if (written > 0) {
            m_pending.erase(0, std::size_t(written));
            continue;
        }
        const int err = errno;
        if (written < 0 && err == EINTR)
            continue;
        if (written < 0 && (err == EAGAIN || err == EWOULDBLOCK))
            return false;
        // Gone for good (no reader, no space): nothing more is tried.
        m_broken = true;
        drop(m_pending);
        m_pending.clear();
    }
    return m_pending.empty();
}

void OutputChannel::finish(int waitMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    while (!flush()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{m_fd, POLLOUT, 0};
        ::poll(&p, 1, int(left));
    }
    drop(m_pending);
    m_pending.clear();
    if (m_writable)
        m_writable->setEnabled(false);
}

void OutputChannel::drop(const std::string& text)
{
    m_droppedLines += std::count(text.begin(), text.end(), '\n');
}

} // namespace tvkpoll
