// SPDX-License-Identifier: MIT
#include "toolconsole.h"

#include "tvkmessagehandler.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>

using namespace Quorvan;

namespace tvktool {

namespace {

using Clock = std::chrono::steady_clock;

// A pipe takes a write of up to this many bytes whole or not at all, so
// lines written in such pieces are never cut by another writer.
constexpr std::size_t kAtomicWriteBytes = PIPE_BUF;

// The front of `queue` that one write takes: whole lines up to an atomic
// pipe write, or one line alone when it is longer.
std::size_t chunkOf(const std::string& queue, bool whole)
{
    if (whole || queue.size() <= kAtomicWriteBytes)
        return queue.size();
    const std::size_t end = queue.rfind('\n', kAtomicWriteBytes - 1);
    if (end != std::string::npos)
        return end + 1;
    const std::size_t first = queue.find('\n');
    return first == std::string::npos ? queue.size() : first + 1;
}

} // namespace

LineSink::LineSink(int fd, std::size_t capacityBytes) : CtvkObject(nullptr), m_capacity(capacityBytes)
{
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return;   // closed: every line is dropped
    m_fd = fd;
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        m_mode = Mode::Direct;
    } else if (S_ISSOCK(st.st_mode)) {
        m_mode = Mode::Socket;
    } else {
        // A pipe, a FIFO or a terminal: a description of its own, whose
        // O_NONBLOCK touches nobody else.
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const int own = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (own >= 0) {
            m_fd = own;
            m_ownFd = true;
            m_mode = Mode::OwnDescription;
        } else {
            m_mode = Mode::Polled;   // no /proc: ask before each write
        }
    }
}

LineSink::~LineSink()
{
    // The notifier goes before the descriptor it watches is closed.
    delete m_notifier;
    m_notifier = nullptr;
    if (m_ownFd)
        ::close(m_fd);
}

bool LineSink::put(const std::string& line)
{
    if (m_mode == Mode::Closed || m_queue.size() + line.size() + 1 > m_capacity) {
        ++m_dropped;
        return false;
    }
    m_queue += line;
    m_queue += '\n';
    writeOut();
    return true;
}

long LineSink::writeOnce(const char* data, std::size_t size)
{
    ssize_t n = -1;
    switch (m_mode) {
    case Mode::Socket:
        n = ::send(m_fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        break;
    case Mode::Polled: {
        pollfd p{m_fd, POLLOUT, 0};
        if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT))
            return (p.revents & (POLLERR | POLLNVAL)) ? -1 : 0;
        n = ::write(m_fd, data, std::min(size, kAtomicWriteBytes));
        break;
    }
    case Mode::Direct:
    case Mode::OwnDescription:
        n = ::write(m_fd, data, size);
        break;
    case Mode::Closed:
        return -1;
    }
    if (n >= 0)
        return static_cast<long>(n);
    const int err = errno;
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR ? 0 : -1;
}

void LineSink::writeOut()
{
    while (!m_queue.empty()) {
        const long n = writeOnce(m_queue.data(), chunkOf(m_queue, m_mode == Mode::Direct));
        if (n < 0) {
            // The reader is gone (or the file is full): nothing queued or
            // still to come can be written.
            m_dropped += static_cast<std::uint64_t>(std::count(m_queue.begin(), m_queue.end(), '\n'));
            m_queue.clear();
            m_mode = Mode::Closed;
            break;
        }
        if (n == 0)
            break;
        m_queue.erase(0, static_cast<std::size_t>(n));
    }
    watch(!m_queue.empty());
}

void LineSink::watch(bool pending)
{
    if (m_notifier) {
        if (m_notifier->isEnabled() != pending)
            m_notifier->setEnabled(pending);
        return;
    }
    if (!pending || m_mode == Mode::Closed)
        return;
    m_notifier = new CtvkSocketNotifier(m_fd, CtvkSocketNotifier::Write, this);
    CtvkObject::connect<int>(m_notifier, "activated", this, std::function<void(int)>([this](int) { writeOut(); }));
}

void LineSink::flush(int timeoutMs)
{
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        writeOut();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (m_queue.empty() || left <= 0)
            break;
        pollfd p{m_fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
}

void LineSink::finish(int timeoutMs)
{
    flush(timeoutMs);
    m_dropped += static_cast<std::uint64_t>(std::count(m_queue.begin(), m_queue.end(), '\n'));
    m_queue.clear();
    watch(false);
}

std::string timestamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    char text[48];
    std::snprintf(text, sizeof text, "%s.%03lldZ", date, ms);
    return text;
}

Console::Console(const char* tool, Verbosity verbosity)
    : m_tool(tool), m_verbosity(verbosity), m_out(STDOUT_FILENO), m_err(STDERR_FILENO)
{
}

void Console::info(const std::string& text)
{
    if (m_verbosity != Verbosity::Quiet)
        m_out.put(timestamp() + " " + text);
}

void Console::error(const std::string& text)
{
    m_err.put(timestamp() + " " + m_tool + ": " + text);
}

void Console::closing(const std::string& text, int timeoutMs)
{
    if (m_verbosity == Verbosity::Quiet)
        return;
    m_out.flush(timeoutMs);
    info(text);
}

void Console::library(const char* library, const char* line)
{
    m_out.put(timestamp() + " " + library + ": " + line);
}

void Console::finish(int timeoutMs)
{
    m_out.finish(timeoutMs);
    if (const std::uint64_t lost = dropped())
        error(std::to_string(lost) + " output lines dropped: the output was not read fast enough");
    m_err.finish(timeoutMs);
}

namespace {

Console* g_libraryConsole = nullptr;

void libraryLine(const char* library, const char* line)
{
    if (g_libraryConsole)
        g_libraryConsole->library(library, line);
}

} // namespace

LibraryLines::LibraryLines(Console* console)
{
    g_libraryConsole = console;
    tvkInstallMessageHandler(&libraryLine);
}

LibraryLines::~LibraryLines()
{
    tvkInstallMessageHandler(nullptr);
    g_libraryConsole = nullptr;
}

std::string droppedNote(const Console& console)
{
    const std::uint64_t dropped = console.dropped();
    return dropped ? ", " + std::to_string(dropped) + " output lines dropped" : std::string();
}

} // namespace tvktool
