// SPDX-License-Identifier: MIT
#ifndef TOOLCONSOLE_H
#define TOOLCONSOLE_H

#include "tvkobject.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Quorvan {
class CtvkSocketNotifier;
}

namespace tvktool {

// One output stream of a serving tool (standard output or standard error)
// that never holds up the event loop: lines are queued in a bounded buffer
// and written as far as the descriptor takes them without waiting; the rest
// goes out when the descriptor can take more. A line that does not fit in
// the buffer is dropped whole and counted. Lines go out whole, never cut by
// another writer of the same pipe.
//
// The descriptor's open file description may be shared (a terminal, a pipe
// the shell set up for several programs), so its flags are left alone: a
// pipe or a terminal is opened once more, non-blocking, for this stream
// alone; a socket is written with a non-blocking send; a regular file is
// written directly, since a file never makes a writer wait for a reader.
class LineSink : public Quorvan::CtvkObject {
public:
    static constexpr std::size_t kCapacityBytes = 64 * 1024;

    explicit LineSink(int fd, std::size_t capacityBytes = kCapacityBytes);
    ~LineSink() override;
    LineSink(const LineSink&) = delete;
    LineSink& operator=(const LineSink&) = delete;

    // Queues `line` and its line end; false when it was dropped.
    bool put(const std::string& line);
    // Waits at most timeoutMs for the queue to go out.
    void flush(int timeoutMs);
    // At the end: flushes, and what is still queued then counts as dropped.
    void finish(int timeoutMs);
    std::uint64_t dropped() const noexcept { return m_dropped; }

private:
    enum class Mode { Direct, Socket, OwnDescription, Polled, Closed };
    void writeOut();
    // Writes the front of the queue once, without waiting; the bytes taken,
    // 0 when the descriptor takes nothing now, -1 when it is gone.
    long writeOnce(const char* data, std::size_t size);
    void watch(bool pending);

    Mode m_mode = Mode::Closed;
    int m_fd = -1;   // what is written: the stream's own, or one opened here
    bool m_ownFd = false;
    std::size_t m_capacity;
    std::string m_queue;
    std::uint64_t m_dropped = 0;
    Quorvan::CtvkSocketNotifier* m_notifier = nullptr;
};

enum class Verbosity { Quiet, Normal, Verbose };

// A serving tool's two streams while it serves. Every line starts with the
// time in UTC, ISO 8601 with milliseconds ("2025-03-01T14:02:03.456Z").
// Standard output carries what happens (not with --quiet) and the
// libraries' own diagnostic lines; standard error carries the faults.
class Console {
public:
    // `tool` names the program on its error lines.
    Console(const char* tool, Verbosity verbosity);

    Verbosity verbosity() const noexcept { return m_verbosity; }
    // What happens: shown unless quiet.
    void info(const std::string& text);
    // A fault, on standard error with the tool's name.
    void error(const std::string& text);
    // A library's own line ("connect failed", "(TCP server) Invalid
    // host:..."), always shown: each tells of a fault.
    void library(const char* library, const char* line);
    // The last line of a run: what is queued goes out first (waiting at
    // most timeoutMs), so that this one is not dropped for want of room.
    void closing(const std::string& text, int timeoutMs);
    // Lines dropped so far because standard output or error was not read.
    std::uint64_t dropped() const noexcept { return m_out.dropped() + m_err.dropped(); }
    // At the end: lets each stream drain for at most timeoutMs, and says on
    // standard error how many lines were dropped, if any.
    void finish(int timeoutMs);

private:
    const char* m_tool;
    Verbosity m_verbosity;
    LineSink m_out;
    LineSink m_err;
};

// The present time as every line shows it.
std::string timestamp();

// ", N output lines dropped" once any were, for the rate lines.
std::string droppedNote(const Console& console);

// Routes the libraries' diagnostic lines to `console` while it lives.
class LibraryLines {
public:
    explicit LibraryLines(Console* console);
    ~LibraryLines();
    LibraryLines(const LibraryLines&) = delete;
    LibraryLines& operator=(const LibraryLines&) = delete;
};

} // namespace tvktool

#endif
