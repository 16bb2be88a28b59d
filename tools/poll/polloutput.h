// SPDX-License-Identifier: MIT
#ifndef POLL_POLLOUTPUT_H
#define POLL_POLLOUTPUT_H

#include <memory>
#include <string>

namespace Quorvan {
class CtvkSocketNotifier;
}

namespace tvkpoll {

// One output stream of the tool (standard output or standard error) that
// never blocks the event loop, whoever reads it or fails to. What the
// descriptor does not take at once waits in a bounded buffer and goes out
// when the loop sees the descriptor writable; a piece of text that does not
// fit there is dropped whole, so no line is ever cut, and its lines are
// counted.
class OutputChannel {
public:
    explicit OutputChannel(int fd);
    ~OutputChannel();
    OutputChannel(const OutputChannel&) = delete;
    OutputChannel& operator=(const OutputChannel&) = delete;

    // Whole lines, each ending in a line end.
    void write(const std::string& text);
    // At the end: waits at most waitMs for what is left to go out, then
    // drops it.
    void finish(int waitMs);
    long droppedLines() const { return m_droppedLines; }

private:
    // Writes what the descriptor takes now; answers whether all went out.
    bool flush();
    void drop(const std::string& text);

    int m_fd;
    bool m_ownDescriptor = false;   // a non-blocking description of our own
    bool m_broken = false;          // the descriptor failed: everything is dropped
    std::string m_pending;
    long m_droppedLines = 0;
    std::unique_ptr<Quorvan::CtvkSocketNotifier> m_writable;
};

} // namespace tvkpoll

#endif
