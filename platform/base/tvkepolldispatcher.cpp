// SPDX-License-Identifier: MIT
#include "tvkepolldispatcher_p.h"

#include "tvkobject_p.h"
#include "tvkpostedevents_p.h"
#include "tvksocketnotifier.h"
#include "tvkthread.h"

#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace Quorvan {

namespace {

// What an epoll registration carries: the descriptor in the low half, the
// tag of the ADD that made it in the high half.
std::uint64_t packWatch(int fd, std::uint32_t tag)
{
    return (std::uint64_t{tag} << 32) | static_cast<std::uint32_t>(fd);
}

std::uint32_t epollEventsFor(int type)
{
    switch (type) {
    case 1: return EPOLLOUT;
    case 2: return EPOLLPRI;
    default: return EPOLLIN;
    }
}

// Counts the forks this process descends from: the child of every fork()
// adds one, so a dispatcher that finds another number than it was built
// with runs in a process other than the one that owns its descriptors. A
// handler rather than a getpid() per call, which is a system call each
// time; clone() without fork()'s handlers is not covered.
std::atomic<unsigned> g_processGeneration{0};

void enterChildProcess()
{
    g_processGeneration.fetch_add(1, std::memory_order_relaxed);
}

unsigned processGeneration()
{
    return g_processGeneration.load(std::memory_order_relaxed);
}

void countForks()
{
    static const bool registered = [] {
        const int err = pthread_atfork(nullptr, nullptr, enterChildProcess);
        if (err != 0)
            std::fprintf(stderr, "CtvkEpollDispatcher: pthread_atfork: %s\n", std::strerror(err));
        return err == 0;
    }();
    (void)registered;
}

// A non-blocking eventfd that wakes a waiting loop, or -1.
int createWake()
{
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        const int err = errno;
        std::fprintf(stderr, "CtvkEpollDispatcher: eventfd: %s\n", std::strerror(err));
    }
    return wake;
}

// Leaves the pass depth right on every way out of processEvents().
struct PassDepth {
    PassDepth() { ++CtvkPostedEvents::passDepth(); }
    ~PassDepth() { --CtvkPostedEvents::passDepth(); }
    PassDepth(const PassDepth&) = delete;
    PassDepth& operator=(const PassDepth&) = delete;
};

} // namespace

CtvkEpollDispatcher::CtvkEpollDispatcher()
{
    setClassName("CtvkEpollDispatcher");
    storeherits("CtvkEpollDispatcher");
    countForks();
    m_generation = processGeneration();
    m_wake = createWake();
    m_epoll = createEpoll();
}

// A new epoll instance watching the wake-up descriptor, or -1.
int CtvkEpollDispatcher::createEpoll() const
{
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) {
        const int err = errno;
        std::fprintf(stderr, "CtvkEpollDispatcher: epoll_create1: %s\n", std::strerror(err));
        return -1;
    }
    const int wake = m_wake;
    if (wake >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = packWatch(wake, 0);
        if (epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &ev) < 0) {
            const int err = errno;
            std::fprintf(stderr, "CtvkEpollDispatcher: watching the wake-up descriptor: %s\n", std::strerror(err));
        }
    }
    return epoll;
}

// epoll keeps a registration as long as the open file description lives,
// not the descriptor: a socket closed while a dup() or a forked child still
// holds it stays in the set, reported under its old number, and no
// epoll_ctl() can reach it any more. The only way out is a new set holding
// exactly what is registered now.
void CtvkEpollDispatcher::rebuildEpoll()
{
    const int epoll = createEpoll();
    if (epoll < 0)
        return;   // keep the old set: a spurious wake-up beats watching nothing
    if (m_epoll >= 0)
        ::close(m_epoll);
    m_epoll = epoll;
    m_watchTags.clear();
    for (const auto& entry : m_notifiers)
        updateWatch(entry.first);
}

void CtvkEpollDispatcher::adoptProcess()
{
    if (m_generation.load(std::memory_order_relaxed) != processGeneration())
        adoptNewProcess();
}

// After fork() the epoll descriptor and the wake-up descriptor are copies
// of the parent's and name the very same kernel objects: a DEL here would
// stop the parent watching a socket, the parent's DEL (a server torn down,
// a return from main) would stop this loop watching it, and a wake-up here
// would wake the parent. Closing the copies leaves the parent's alone; the
// new set holds what this process has registered. Only the thread that
// forked lives on in the child, so the dispatchers of the others are never
// used again and need nothing.
void CtvkEpollDispatcher::adoptNewProcess()
{
    const unsigned generation = processGeneration();
    const int inherited = m_wake.exchange(-1);
    if (inherited >= 0)
        ::close(inherited);
    m_wake = createWake();
    if (m_epoll >= 0)
        ::close(m_epoll);
    m_epoll = -1;
    rebuildEpoll();
    m_generation = generation;
}

CtvkEpollDispatcher::~CtvkEpollDispatcher()
{
    // Objects whose timers were moved here must not come back to us.
    for (const auto& t : m_timers)
        CtvkObjectPrivate::timerDispatcherGone(t.second.object, this);
    // In a forked child these may still be the parent's: closing a copy
    // leaves the parent's set as it is.
    if (m_wake >= 0)
        ::close(m_wake);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

void CtvkEpollDispatcher::addSocketNotifier(CtvkSocketNotifier* notifier)
{
    if (!notifier)
        return;
    const int fd = notifier->socket();
    if (fd < 0)
        return;
    if (m_placements.count(notifier) != 0)
        return;
    adoptProcess();
    CtvkObject* object = notifier;
    const std::uint64_t serial = ++m_serial;
    m_notifiers[fd].push_back(Registration{notifier, object, notifier->type(), serial});
    m_placements.emplace(notifier, Placement{fd, serial});
    updateWatch(fd);
}

void CtvkEpollDispatcher::removeSocketNotifier(CtvkSocketNotifier* notifier)
{
    if (!notifier)
        return;
    // Found under the descriptor it was registered with rather than by
    // socket(): the registration is what counts, whatever the notifier
    // answers now.
    const auto placed = m_placements.find(notifier);
    if (placed == m_placements.end())
        return;
    adoptProcess();
    const int fd = placed->second.fd;
    m_placements.erase(placed);
    const auto it = m_notifiers.find(fd);
    if (it != m_notifiers.end()) {
        std::vector<Registration>& regs = it->second;
        const auto r = std::find_if(regs.begin(), regs.end(),
                                    [notifier](const Registration& x) { return x.notifier == notifier; });
        if (r != regs.end())
            regs.erase(r);
        if (regs.empty())
            m_notifiers.erase(it);
    }
    updateWatch(fd);
}

// Makes epoll watch `fd` for what its notifiers want, or not at all. ADD is
// tried first: a descriptor closed and reopened under the same number has
// silently left the epoll set, and only ADD brings it back. Each ADD tags the
// registration afresh, so a report from an older file under the same number
// is told apart (see processEvents()).
void CtvkEpollDispatcher::updateWatch(int fd)
{
    if (m_epoll < 0)
        return;
    auto it = m_notifiers.find(fd);
    if (it == m_notifiers.end()) {
        m_watchTags.erase(fd);
        // May fail: the descriptor is closed already. If its file lives on,
        // its reports now carry a tag nobody holds, and the set is rebuilt.
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        return;
    }
    epoll_event ev{};
    for (const Registration& r : it->second)
        ev.events |= epollEventsFor(r.type);
    if (++m_lastTag == 0)
        m_lastTag = 1;   // 0 is the wake-up descriptor's
    ev.data.u64 = packWatch(fd, m_lastTag);
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) == 0) {
        m_watchTags[fd] = m_lastTag;
        return;
    }
    int err = errno;
    if (err == EEXIST) {
        if (epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev) == 0) {
            m_watchTags[fd] = m_lastTag;
            return;
        }
        err = errno;
    }
    std::fprintf(stderr, "CtvkEpollDispatcher: can not watch descriptor %d: %s\n", fd, std::strerror(err));
}

// The serial tells a notifier that was removed and registered again, or a
// new one at a freed one's address, from the one whose readiness was
// collected. `n` is only compared, never used: it may be gone.
bool CtvkEpollDispatcher::isRegistered(const CtvkSocketNotifier* n, std::uint64_t serial) const
{
    const auto placed = m_placements.find(n);
    return placed != m_placements.end() && placed->second.serial == serial;
}

// Counted from the registrations by descriptor; -1 when the index by
// notifier disagrees with them, so any test that checks the count also
// catches the two drifting apart.
int CtvkEpollDispatcher::registeredNotifierCount() const
{
    std::size_t n = 0;
    for (const auto& entry : m_notifiers) {
        for (const Registration& r : entry.second) {
            const auto placed = m_placements.find(r.notifier);
            if (placed == m_placements.end() || placed->second.fd != entry.first || placed->second.serial != r.serial)
                return -1;
        }
        n += entry.second.size();
    }
    return n == m_placements.size() ? static_cast<int>(n) : -1;
}

int CtvkEpollDispatcher::registeredTimerCount() const
{
    return static_cast<int>(m_timers.size());
}

int CtvkEpollDispatcher::registerTimer(int intervalMs, CtvkObject* object)
{
    if (!object || intervalMs < 0)
        return 0;
    const int id = allocateTimerId();
    registerTimer(id, intervalMs, object);
    return id;
}

void CtvkEpollDispatcher::registerTimer(int timerId, int intervalMs, CtvkObject* object)
{
    if (!object || timerId <= 0 || intervalMs < 0)
        return;
    m_timers[timerId] = Timer{timerId, intervalMs, object, Clock::now() + std::chrono::milliseconds(intervalMs)};
}

bool CtvkEpollDispatcher::unregisterTimer(int timerId)
{
    return m_timers.erase(timerId) != 0;
}

void CtvkEpollDispatcher::unregisterTimers(CtvkObject* object)
{
    for (auto it = m_timers.begin(); it != m_timers.end();)
        it = it->second.object == object ? m_timers.erase(it) : std::next(it);
}

int CtvkEpollDispatcher::timeoutFor(int maxWaitMs) const
{
    long long wait = maxWaitMs < 0 ? -1 : maxWaitMs;
    if (!m_timers.empty()) {
        const Clock::time_point now = Clock::now();
        for (const auto& t : m_timers) {
            long long left = 0;
            // Rounded up, so the wait never ends just before the timer is due.
            if (t.second.due > now)
                left = std::chrono::ceil<std::chrono::milliseconds>(t.second.due - now).count();
            if (wait < 0 || left < wait)
                wait = left;
        }
    }
    return static_cast<int>(std::min<long long>(wait, INT_MAX));
}

bool CtvkEpollDispatcher::deliverTimers()
{
    const Clock::time_point now = Clock::now();
    std::vector<int> due;
    for (const auto& t : m_timers)
        if (t.second.due <= now)
            due.push_back(t.first);
    bool delivered = false;
    for (int id : due) {
        // A handler before this one may have killed it, or deleted its object.
        auto it = m_timers.find(id);
        if (it == m_timers.end())
            continue;
        Timer& t = it->second;
        t.due = now + std::chrono::milliseconds(t.intervalMs);
        CtvkObject* object = t.object;
        CtvkTimerEvent e(id);
        sendEvent(object, &e);
        delivered = true;
    }
    return delivered;
}

bool CtvkEpollDispatcher::processEvents(int maxWaitMs)
{
    PassDepth depth;
    // Before posted events are looked at: a wakeUp() that found the
    // dispatcher not yet adopted wrote nothing (see there).
    adoptProcess();
    CtvkThread* thread = CtvkThread::currentThread();
    if (CtvkPostedEvents::hasPending(thread))
        maxWaitMs = 0;
    const int timeout = timeoutFor(maxWaitMs);

    struct Ready {
        CtvkSocketNotifier* notifier;   // the key of its registration
        CtvkObject* object;             // what the event goes to
        std::uint64_t serial;
    };
    std::vector<Ready> ready;
    bool stale = false;
    if (m_epoll >= 0) {
        const int wake = m_wake;
        epoll_event events[64];
        int n = epoll_wait(m_epoll, events, 64, timeout);
        if (n < 0) {
            const int err = errno;
            if (err != EINTR)
                std::fprintf(stderr, "CtvkEpollDispatcher: epoll_wait: %s\n", std::strerror(err));
            n = 0;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = static_cast<int>(events[i].data.u64 & 0xffffffffu);
            const auto tag = static_cast<std::uint32_t>(events[i].data.u64 >> 32);
            if (fd == wake && tag == 0) {
                std::uint64_t count;
                while (::read(fd, &count, sizeof count) > 0) {
                }
                continue;
            }
            auto watch = m_watchTags.find(fd);
            if (watch == m_watchTags.end() || watch->second != tag) {
                // A registration left behind by a file that outlived its
                // descriptor. Level-triggered, it would be reported at every
                // pass and the loop would spin; and if the number was reused,
                // its readiness is not the new socket's.
                stale = true;
                continue;
            }
            auto it = m_notifiers.find(fd);
            if (it == m_notifiers.end())
                continue;
            for (const Registration& r : it->second) {
                const std::uint32_t wanted = epollEventsFor(r.type) | EPOLLERR | EPOLLHUP;
                if (events[i].events & wanted)
                    ready.push_back(Ready{r.notifier, r.object, r.serial});
            }
        }
        if (stale)
            rebuildEpoll();
    } else if (timeout != 0) {
        // Without an epoll instance no socket can be watched, but the loop
        // must still wait its time (timers stay due on time) rather than spin.
        // Nothing can wake it early, so an unlimited wait is cut into short
        // ones, for events posted from other threads.
        ::poll(nullptr, 0, timeout < 0 ? 100 : timeout);
    }

    bool delivered = false;
    for (const Ready& r : ready) {
        // Checked before each delivery: an earlier handler of this pass may
        // have disabled or destroyed this notifier.
        if (!isRegistered(r.notifier, r.serial))
            continue;
        CtvkEvent e(CtvkEvent::SockAct);
        sendEvent(r.object, &e);
        delivered = true;
    }
    if (deliverTimers())
        delivered = true;
    if (CtvkPostedEvents::deliver(thread))
        delivered = true;
    return delivered;
}

void CtvkEpollDispatcher::wakeUp()
{
    // In a forked child that has not adopted this dispatcher yet, the
    // descriptor is still the parent's and would wake the parent's loop.
    // This loop is not waiting then, and the pass that adopts it looks for
    // posted events before it waits.
    if (m_generation != processGeneration())
        return;
    const int wake = m_wake;
    if (wake < 0)
        return;
    const std::uint64_t one = 1;
    // EAGAIN means the counter is already non-zero: the loop wakes anyway.
    int err = 0;
    do {
        err = ::write(wake, &one, sizeof one) < 0 ? errno : 0;
    } while (err == EINTR);
}

} // namespace Quorvan
