// SPDX-License-Identifier: MIT
#ifndef TVKABSTRACTEVENTDISPATCHER_H
#define TVKABSTRACTEVENTDISPATCHER_H

#include "tvkbase_global.h"
#include "tvkobject.h"

namespace Quorvan {

class CtvkSocketNotifier;
class CtvkThread;

// Waits for socket readiness and timers of one thread and delivers them.
// Level-triggered, with no limit on descriptor numbers. A notifier removed
// (or destroyed) while the dispatcher is delivering is never called again,
// not even for a readiness collected in the same pass.
class TVK_BASE_EXPORT CtvkAbstractEventDispatcher : public CtvkObject {
public:
    // The dispatcher of `thread` (null: the calling thread). The calling
    // thread's dispatcher is created on first use; another thread's is
    // answered only if that thread already made one, else null.
    static CtvkAbstractEventDispatcher* instance(CtvkThread* thread = nullptr);

    ~CtvkAbstractEventDispatcher() override;

    virtual void addSocketNotifier(CtvkSocketNotifier* notifier) = 0;
    virtual void removeSocketNotifier(CtvkSocketNotifier* notifier) = 0;

    // Timers: deliver CtvkTimerEvent(id) to `object` every intervalMs.
    virtual int registerTimer(int intervalMs, CtvkObject* object) = 0;
    // Registers a timer under an id taken before (by another dispatcher), so
    // moving timers between dispatchers keeps the ids their owners hold.
    virtual void registerTimer(int timerId, int intervalMs, CtvkObject* object) = 0;
    virtual bool unregisterTimer(int timerId) = 0;
    virtual void unregisterTimers(CtvkObject* object) = 0;

    // Waits at most maxWaitMs (0: does not wait, negative: without limit) for
    // activity, delivers what is ready, then posted events and deferred
    // deletions; answers whether anything was delivered.
    virtual bool processEvents(int maxWaitMs) = 0;
    // Makes a processEvents() that is waiting return; callable from any thread.
    virtual void wakeUp() = 0;

protected:
    explicit CtvkAbstractEventDispatcher(CtvkObject* parent = nullptr);
    // Timer ids are unique across every dispatcher of the process.
    static int allocateTimerId();
};

} // namespace Quorvan

#endif
