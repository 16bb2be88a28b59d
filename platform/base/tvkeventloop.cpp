// SPDX-License-Identifier: MIT
#include "tvkeventloop.h"

#include "tvkabstracteventdispatcher.h"
#include "tvkthread_p.h"

#include <algorithm>
#include <chrono>

namespace Quorvan {

CtvkEventLoop::CtvkEventLoop(CtvkObject* parent) : CtvkObject(parent)
{
    setClassName("CtvkEventLoop");
    storeherits("CtvkEventLoop");
}

CtvkEventLoop::~CtvkEventLoop() = default;

bool CtvkEventLoop::processEvents(int maxWaitMs)
{
    CtvkAbstractEventDispatcher* d = CtvkAbstractEventDispatcher::instance();
    return d ? d->processEvents(maxWaitMs) : false;
}

int CtvkEventLoop::exec()
{
    CtvkAbstractEventDispatcher* d = CtvkAbstractEventDispatcher::instance();
    if (!d || m_running)
        return -1;
    m_running = true;
    m_exitRequested = false;
    while (!m_exitRequested)
        d->processEvents(-1);
    m_running = false;
    m_exitRequested = false;
    return m_exitCode;
}

void CtvkEventLoop::exit(int code)
{
    m_exitCode = code;
    m_exitRequested = true;
    // Under the thread's lock: exit() may come from another thread while
    // the loop's thread is ending and destroying its dispatcher.
    CtvkThreadStorage::wakeUp(thread());
}

bool CtvkEventLoop::processEventsUntil(const std::function<bool()>& done, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (done && done())
            return true;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return done ? done() : false;
        processEvents(static_cast<int>(left));
    }
}

} // namespace Quorvan
