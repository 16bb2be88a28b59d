// SPDX-License-Identifier: MIT
#include "tvkabstracteventdispatcher.h"

#include "tvkepolldispatcher_p.h"
#include "tvkthread.h"
#include "tvkthread_p.h"

#include <atomic>

namespace Quorvan {

CtvkAbstractEventDispatcher::CtvkAbstractEventDispatcher(CtvkObject* parent) : CtvkObject(parent)
{
    setClassName("CtvkAbstractEventDispatcher");
    storeherits("CtvkAbstractEventDispatcher");
}

CtvkAbstractEventDispatcher::~CtvkAbstractEventDispatcher() = default;

CtvkAbstractEventDispatcher* CtvkAbstractEventDispatcher::instance(CtvkThread* thread)
{
    CtvkThread* current = CtvkThread::currentThread();
    if (thread && thread != current)
        return CtvkThreadStorage::existingDispatcher(thread);
    if (!current)
        return nullptr;   // the thread is exiting
    CtvkAbstractEventDispatcher* d = CtvkThreadStorage::existingDispatcher(current);
    if (!d) {
        d = new CtvkEpollDispatcher;
        CtvkThreadStorage::setDispatcher(current, d);
    }
    return d;
}

int CtvkAbstractEventDispatcher::allocateTimerId()
{
    static std::atomic<int> next{1};
    int id = next.fetch_add(1);
    if (id <= 0) {   // wrapped after two billion timers: start over
        next.store(2);
        id = 1;
    }
    return id;
}

} // namespace Quorvan
