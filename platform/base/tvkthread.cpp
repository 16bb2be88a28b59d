#include "tvkthread.h"
#include "tvkthread_p.h"

#include "tvkabstracteventdispatcher.h"

#include <memory>

namespace Quorvan {

namespace {

struct ThreadSlot {
    std::unique_ptr<CtvkThread> thread;
    ~ThreadSlot();
};

// Trivially destructible, so it can still be read while (and after) the
// thread's other thread_local objects are torn down at thread exit.
thread_local bool t_slotGone = false;
thread_local ThreadSlot t_slot;

ThreadSlot::~ThreadSlot()
{
    t_slotGone = true;
    thread.reset();
}

} // namespace

CtvkThread::CtvkThread() = default;

CtvkThread::~CtvkThread()
{
    CtvkAbstractEventDispatcher* d = m_dispatcher.exchange(nullptr);
    delete d;
}

CtvkThread* CtvkThread::currentThread()
{
    if (t_slotGone)
        return nullptr;
    if (!t_slot.thread)
        t_slot.thread.reset(new CtvkThread());
    return t_slot.thread.get();
}

bool CtvkThread::isCurrent() const
{
    return currentThread() == this;
}

CtvkAbstractEventDispatcher* CtvkThreadStorage::existingDispatcher(const CtvkThread* thread)
{
    return thread ? thread->m_dispatcher.load() : nullptr;
}

void CtvkThreadStorage::setDispatcher(CtvkThread* thread, CtvkAbstractEventDispatcher* d)
{
    if (thread)
        thread->m_dispatcher.store(d);
}

} // namespace Quorvan
