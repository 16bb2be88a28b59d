// SPDX-License-Identifier: MIT
#ifndef TVKTIMER_H
#define TVKTIMER_H

#include "tvkbase_global.h"
#include "tvkobject.h"

#include <functional>

namespace Quorvan {

// Emits "timeout()" from the event loop of its thread once the interval has
// passed: once (single shot) or every interval until stopped. Handlers are
// connected as std::function<void()>. A handler may stop, restart or
// destroy the timer; a single-shot timer is already inactive when its
// handlers run, so one of them may start it again.
class TVK_BASE_EXPORT CtvkTimer : public CtvkObject {
public:
    explicit CtvkTimer(CtvkObject* parent = nullptr);
    ~CtvkTimer() override;

    // Milliseconds, 0 or more; taken at the next start(). A negative
    // interval is ignored.
    void setInterval(int intervalMs);
    int interval() const noexcept { return m_intervalMs; }
    void setSingleShot(bool singleShot) noexcept { m_singleShot = singleShot; }
    bool isSingleShot() const noexcept { return m_singleShot; }
    bool isActive() const noexcept { return m_timerId != 0; }

    // Starts, or starts again from now if it was running.
    void start();
    // The same after setInterval(intervalMs).
    void start(int intervalMs);
    void stop();

    // Calls `handler` once, from the loop, intervalMs from now; never if
    // `context` (when given) is destroyed first.
    static void singleShot(int intervalMs, CtvkObject* context, std::function<void()> handler);

protected:
    void timerEvent(CtvkTimerEvent* e) override;

private:
    int m_intervalMs = 0;
    int m_timerId = 0;
    bool m_singleShot = false;
};

} // namespace Quorvan

#endif
