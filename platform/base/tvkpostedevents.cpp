// SPDX-License-Identifier: MIT
#include "tvkpostedevents_p.h"

#include "tvkabstracteventdispatcher.h"
#include "tvkobject.h"
#include "tvkthread_p.h"

#include <algorithm>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

namespace Quorvan {

CtvkMetaCallEvent::~CtvkMetaCallEvent() = default;

namespace {

struct Entry {
    CtvkObject* receiver;
    CtvkEvent* event;
    CtvkThread* thread;
    std::uint64_t serial;
    // Pass depth at posting time, for deferred deletions: a nested loop
    // started by a handler must not delete what the outer pass still uses.
    int depth;
};

struct Queue {
    std::mutex mutex;
    std::list<Entry> entries;
    std::uint64_t serial = 0;
};

// Never destroyed: objects may post or die during static destruction.
Queue& queue()
{
    static Queue* q = new Queue;
    return *q;
}

thread_local int t_passDepth = 0;

bool eligible(const Entry& e, int depth)
{
    if (e.event->type() != CtvkEvent::DeferredDelete)
        return true;
    return e.depth == 0 || depth <= e.depth;
}

} // namespace

int& CtvkPostedEvents::passDepth()
{
    return t_passDepth;
}

void CtvkPostedEvents::post(CtvkObject* receiver, CtvkEvent* event, CtvkThread* thread)
{
    {
        Queue& q = queue();
        std::lock_guard<std::mutex> lock(q.mutex);
        q.entries.push_back(Entry{receiver, event, thread, ++q.serial, t_passDepth});
    }
    if (thread && !thread->isCurrent())
        CtvkThreadStorage::wakeUp(thread);
}

void CtvkPostedEvents::removeFor(const CtvkObject* receiver)
{
    std::list<Entry> dropped;
    {
        Queue& q = queue();
        std::lock_guard<std::mutex> lock(q.mutex);
        for (auto it = q.entries.begin(); it != q.entries.end();) {
            auto next = std::next(it);
            if (it->receiver == receiver)
                dropped.splice(dropped.end(), q.entries, it);
            it = next;
        }
    }
    // Deleted outside the lock: an event's destructor may post again.
    for (Entry& e : dropped)
        delete e.event;
}

void CtvkPostedEvents::deleteDeferred(CtvkThread* thread)
{
    Queue& q = queue();
    for (;;) {
        CtvkObject* receiver = nullptr;
        std::unique_ptr<CtvkEvent> event;
        {
            std::lock_guard<std::mutex> lock(q.mutex);
            auto it = std::find_if(q.entries.begin(), q.entries.end(), [thread](const Entry& e) {
                return e.thread == thread && e.event->type() == CtvkEvent::DeferredDelete;
            });
            if (it == q.entries.end())
                return;
            receiver = it->receiver;
            event.reset(it->event);
            q.entries.erase(it);
        }
        CtvkObject::sendEvent(receiver, event.get());
    }
}

bool CtvkPostedEvents::hasPending(const CtvkThread* thread)
{
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    for (const Entry& e : q.entries)
        if (e.thread == thread && eligible(e, t_passDepth))
            return true;
    return false;
}

bool CtvkPostedEvents::deliver(CtvkThread* thread)
{
    Queue& q = queue();
    std::uint64_t watermark;
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        watermark = q.serial;
    }
    bool delivered = false;
    for (;;) {
        CtvkObject* receiver = nullptr;
        std::unique_ptr<CtvkEvent> event;
        {
            // Taken one at a time: delivering one event may destroy the
            // receiver of the next, which then drops it from the queue.
            std::lock_guard<std::mutex> lock(q.mutex);
            auto it = q.entries.begin();
            for (; it != q.entries.end(); ++it)
                if (it->thread == thread && it->serial <= watermark && eligible(*it, t_passDepth))
                    break;
            if (it == q.entries.end())
                break;
            receiver = it->receiver;
            event.reset(it->event);
            q.entries.erase(it);
        }
        CtvkObject::sendEvent(receiver, event.get());
        delivered = true;
    }
    return delivered;
}

} // namespace Quorvan
