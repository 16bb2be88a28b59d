// SPDX-License-Identifier: MIT
#include "tvkthread.h"
#include "tvkthread_p.h"

#include "tvkabstracteventdispatcher.h"
#include "tvkpostedevents_p.h"

namespace Quorvan {

namespace {

struct ThreadSlot {
    CtvkThread* thread = nullptr;   // holds the running thread's reference
    ~ThreadSlot();
};

// Trivially destructible, so it can still be read while (and after) the
// thread's other thread_local objects are torn down at thread exit.
thread_local bool t_slotGone = false;
thread_local ThreadSlot t_slot;

ThreadSlot::~ThreadSlot()
{
    t_slotGone = true;
    CtvkThread* ending = thread;
    if (!ending)
        return;
    thread = nullptr;
    // Objects whose deletion was deferred to a loop that will never run
    // again go now, while their notifiers can still leave the dispatcher.
    CtvkPostedEvents::deleteDeferred(ending);
    CtvkThreadStorage::setDispatcher(ending, nullptr);   // finishes the thread
    CtvkThreadStorage::release(ending);
}

} // namespace

CtvkThread::CtvkThread() = default;

CtvkThread::~CtvkThread()
{
    delete m_dispatcher.exchange(nullptr);
}

CtvkThread* CtvkThread::currentThread()
{
    if (t_slotGone)
        return nullptr;
    if (!t_slot.thread)
        t_slot.thread = new CtvkThread();
    return t_slot.thread;
}

bool CtvkThread::isCurrent() const
{
    return currentThread() == this;
}

CtvkAbstractEventDispatcher* CtvkThreadStorage::existingDispatcher(const CtvkThread* thread)
{
    return thread ? thread->m_dispatcher.load() : nullptr;
}

// A null dispatcher ends the thread's service: the old one is destroyed and
// no other is made for a finished thread.
void CtvkThreadStorage::setDispatcher(CtvkThread* thread, CtvkAbstractEventDispatcher* d)
{
    if (!thread)
        return;
    if (d) {
        thread->m_dispatcher.store(d);
        return;
    }
    CtvkAbstractEventDispatcher* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(thread->m_dispatcherLock);
        thread->m_finished.store(true);
        old = thread->m_dispatcher.exchange(nullptr);
    }
    delete old;
}

void CtvkThreadStorage::wakeUp(CtvkThread* thread)
{
    if (!thread)
        return;
    std::lock_guard<std::mutex> lock(thread->m_dispatcherLock);
    if (CtvkAbstractEventDispatcher* d = thread->m_dispatcher.load())
        d->wakeUp();
}

void CtvkThreadStorage::retain(CtvkThread* thread)
{
    if (thread)
        thread->m_refs.fetch_add(1, std::memory_order_relaxed);
}

void CtvkThreadStorage::release(CtvkThread* thread)
{
    if (thread && thread->m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete thread;
}

} // namespace Quorvan
