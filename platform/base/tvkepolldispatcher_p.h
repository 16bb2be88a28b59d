// SPDX-License-Identifier: MIT
#ifndef TVKEPOLLDISPATCHER_P_H
#define TVKEPOLLDISPATCHER_P_H

#include "tvkabstracteventdispatcher.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

namespace Quorvan {

// The dispatcher on Linux: epoll, level-triggered, so descriptor numbers
// have no upper limit and a socket that still has data is reported again at
// the next pass. In the child of a fork() it builds an epoll set and a
// wake-up descriptor of its own before it first touches either.
class TVK_BASE_EXPORT CtvkEpollDispatcher : public CtvkAbstractEventDispatcher {
public:
    CtvkEpollDispatcher();
    ~CtvkEpollDispatcher() override;

    void addSocketNotifier(CtvkSocketNotifier* notifier) override;
    void removeSocketNotifier(CtvkSocketNotifier* notifier) override;
    int registerTimer(int intervalMs, CtvkObject* object) override;
    void registerTimer(int timerId, int intervalMs, CtvkObject* object) override;
    bool unregisterTimer(int timerId) override;
    void unregisterTimers(CtvkObject* object) override;
    bool processEvents(int maxWaitMs) override;
    void wakeUp() override;

    // For tests: how many notifiers are being watched, and timers kept.
    int registeredNotifierCount() const;
    int registeredTimerCount() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Registration {
        CtvkSocketNotifier* notifier;
        CtvkObject* object;     // the same object, for delivering its events
        int type;
        std::uint64_t serial;   // tells a new notifier at a reused address from the old one
    };
    // Where a notifier's one registration is kept.
    struct Placement {
        int fd;
        std::uint64_t serial;
    };
    struct Timer {
        int id;
        int intervalMs;
        CtvkObject* object;
        Clock::time_point due;
    };

    bool isRegistered(const CtvkSocketNotifier* n, std::uint64_t serial) const;
    void updateWatch(int fd);
    int createEpoll() const;
    void rebuildEpoll();
    // Whatever reaches the epoll set calls this first: one compare unless
    // the process was forked since the set was built.
    void adoptProcess();
    void adoptNewProcess();
    int timeoutFor(int maxWaitMs) const;
    bool deliverTimers();

    int m_epoll = -1;
    // Both read by wakeUp() on other threads; changed only when a forked
    // child adopts the dispatcher.
    std::atomic<int> m_wake{-1};
    std::atomic<unsigned> m_generation{0};   // the process generation the descriptors belong to
    std::uint64_t m_serial = 0;
    std::map<int, std::vector<Registration>> m_notifiers;   // by descriptor
    // The same registrations by notifier. Adding, removing and the check
    // before each delivery go through here, so a server holding thousands of
    // idle connections pays no more per request or per accept than one
    // holding none.
    std::unordered_map<const CtvkSocketNotifier*, Placement> m_placements;
    std::map<int, Timer> m_timers;                           // by id
    std::map<int, std::uint32_t> m_watchTags;   // descriptor -> tag of its live registration
    std::uint32_t m_lastTag = 0;
};

} // namespace Quorvan

#endif
