// SPDX-License-Identifier: MIT
#ifndef TVKEVENTLOOP_H
#define TVKEVENTLOOP_H

#include "tvkbase_global.h"
#include "tvkobject.h"

#include <atomic>
#include <functional>

namespace Quorvan {

// Runs the calling thread's dispatcher. Tests, tools and hosts drive the
// whole system through it.
class TVK_BASE_EXPORT CtvkEventLoop : public CtvkObject {
public:
    explicit CtvkEventLoop(CtvkObject* parent = nullptr);
    ~CtvkEventLoop() override;

    // Waits at most maxWaitMs for activity, dispatches what is ready (posted
    // events and deferred deletions included), and answers whether anything
    // was dispatched.
    bool processEvents(int maxWaitMs);
    // Runs until exit() is called; answers the code given to exit().
    int exec();
    void exit(int code = 0);
    bool isRunning() const noexcept { return m_running; }

    // Runs the loop until `done` answers true or timeoutMs have passed;
    // answers `done()` at the end. For tests and tools that wait on a
    // condition with a deadline.
    bool processEventsUntil(const std::function<bool()>& done, int timeoutMs);

private:
    bool m_running = false;
    std::atomic<bool> m_exitRequested{false};   // exit() may come from another thread
    int m_exitCode = 0;
};

} // namespace Quorvan

#endif
