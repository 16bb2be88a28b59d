// SPDX-License-Identifier: MIT
#include "tvktimer.h"

#include "tvksignal.h"

#include <utility>

namespace Quorvan {

CtvkTimer::CtvkTimer(CtvkObject* parent) : CtvkObject(parent)
{
    setClassName("CtvkTimer");
    storeherits("CtvkTimer");
    [[maybe_unused]] static const bool signalsDeclared = tvkDeclareSignal("CtvkTimer", "timeout()");
}

CtvkTimer::~CtvkTimer()
{
    stop();
}

void CtvkTimer::setInterval(int intervalMs)
{
    if (intervalMs >= 0)
        m_intervalMs = intervalMs;
}

void CtvkTimer::start()
{
    stop();
    m_timerId = startTimer(m_intervalMs);
}

void CtvkTimer::start(int intervalMs)
{
    setInterval(intervalMs);
    start();
}

void CtvkTimer::stop()
{
    if (m_timerId)
        killTimer(m_timerId);
    m_timerId = 0;
}

void CtvkTimer::timerEvent(CtvkTimerEvent* e)
{
    if (!e || e->timerId() != m_timerId)
        return;
    if (m_singleShot)
        stop();
    // Last: a handler may destroy the timer.
    transmit<void>("timeout()");
}

void CtvkTimer::singleShot(int intervalMs, CtvkObject* context, std::function<void()> handler)
{
    // A child of the context, so it goes with it; it goes by itself once
    // it has fired. The handler may delete the context, and the timer with
    // it, while it runs: the emission holds on to what it needs.
    auto* shot = new CtvkTimer(context);
    shot->setSingleShot(true);
    connect(shot, "timeout()", nullptr, std::function<void()>([shot, handler] {
                shot->deleteLater();
                if (handler)
                    handler();
            }));
    shot->start(intervalMs);
}

} // namespace Quorvan
