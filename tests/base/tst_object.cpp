// SPDX-License-Identifier: MIT
#include "tvkabstracteventdispatcher.h"
#include "tvkepolldispatcher_p.h"
#include "tvkeventloop.h"
#include "tvkobject.h"
#include "tvkobject_p.h"
#include "tvksignal.h"
#include "tvkthread.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace Quorvan;

namespace {

class CtvkGaugePrivate;

// A class with private data, built the way the libraries build theirs.
class CtvkGauge : public CtvkObject {
public:
    explicit CtvkGauge(CtvkObject* parent = nullptr);
    ~CtvkGauge() override;
    int level() const;
    std::vector<std::string>* log = nullptr;
    void childEvent(CtvkChildEvent* e) override
    {
        if (log)
            log->push_back(e->added() ? "added" : "removed");
    }
    TVK_DECLARE_PRIVATE(CtvkGauge)
};

class CtvkGaugePrivate : public CtvkObjectPrivate {
public:
    int level = 7;
    TVK_DECLARE_PUBLIC(CtvkGauge)
};

CtvkGauge::CtvkGauge(CtvkObject* parent) : CtvkObject(new CtvkGaugePrivate, parent)
{
    setClassName("CtvkGauge");
    storeherits("CtvkGauge");
}
CtvkGauge::~CtvkGauge() = default;
int CtvkGauge::level() const { return d_func()->level; }

class CtvkRoundGauge : public CtvkGauge {
public:
    explicit CtvkRoundGauge(CtvkObject* parent = nullptr) : CtvkGauge(parent)
    {
        setClassName("CtvkRoundGauge");
        storeherits("CtvkRoundGauge");
    }
};

// Counts what reaches it and says when it goes.
class Probe : public CtvkObject {
public:
    explicit Probe(int* destroyedCount = nullptr, CtvkObject* parent = nullptr)
        : CtvkObject(parent), m_destroyed(destroyedCount) {}
    ~Probe() override
    {
        if (m_destroyed)
            ++*m_destroyed;
    }
    void customEvent(CtvkCustomEvent* e) override { customTypes.push_back(e->type()); }
    void timerEvent(CtvkTimerEvent* e) override
    {
        timerIds.push_back(e->timerId());
        if (onTimer)
            onTimer(e->timerId());
    }
    std::vector<int> customTypes;
    std::vector<int> timerIds;
    std::function<void(int)> onTimer;
private:
    int* m_destroyed;
};

TEST(ObjectTest, TreeOwnsChildrenAndPrivateKnowsItsOwner)
{
    std::vector<std::string> log;
    int destroyed = 0;
    auto* root = new CtvkGauge;
    root->log = &log;
    auto* a = new Probe(&destroyed, root);
    auto* b = new Probe(&destroyed, root);
    auto* grandchild = new Probe(&destroyed, a);
    EXPECT_EQ(root->children().size(), 2);
    EXPECT_EQ(a->parent(), root);
    EXPECT_EQ(grandchild->parent(), a);
    EXPECT_EQ(root->level(), 7);
    EXPECT_EQ(root->d_func()->mm_func(), root);

    delete b;   // a child going away is taken out of its parent's list
    EXPECT_EQ(root->children().size(), 1);
    a->setParent(nullptr);
    EXPECT_TRUE(root->children().isEmpty());
    a->setParent(root);
    EXPECT_EQ(log, (std::vector<std::string>{"added", "added", "removed", "removed", "added"}));
    root->log = nullptr;
    delete root;
    EXPECT_EQ(destroyed, 3);
}

TEST(ObjectTest, SetParentRefusesADescendant)
{
    int destroyed = 0;
    auto* root = new Probe(&destroyed);
    auto* child = new Probe(&destroyed, root);
    auto* grandchild = new Probe(&destroyed, child);
    root->setParent(child);
    root->setParent(grandchild);
    child->setParent(grandchild);
    EXPECT_EQ(root->parent(), nullptr);
    EXPECT_EQ(child->parent(), root);
    EXPECT_EQ(grandchild->parent(), child);
    EXPECT_EQ(root->children().size(), 1);
    EXPECT_EQ(grandchild->children().size(), 0);
    // Moving within the tree, away from its own branch, is still allowed.
    grandchild->setParent(root);
    EXPECT_EQ(root->children().size(), 2);
    delete root;
    EXPECT_EQ(destroyed, 3);
}

TEST(ObjectTest, ClassNamesOfTheWholeChain)
{
    CtvkRoundGauge g;
    EXPECT_STREQ(g.className(), "CtvkRoundGauge");
    EXPECT_TRUE(g.inherits("CtvkRoundGauge"));
    EXPECT_TRUE(g.inherits("CtvkGauge"));
    EXPECT_TRUE(g.inherits("CtvkObject"));
    EXPECT_FALSE(g.inherits("CtvkSocketNotifier"));
    EXPECT_FALSE(g.inherits(nullptr));
    CtvkObject plain;
    EXPECT_STREQ(plain.className(), "CtvkObject");
    EXPECT_FALSE(plain.inherits("CtvkGauge"));
    EXPECT_EQ(plain.thread(), CtvkThread::currentThread());
    EXPECT_EQ(plain.winProc(1, 2, 3), 0u);
}

TEST(ObjectTest, BaseMetacallKnowsOnlyReregisterTimers)
{
    CtvkObject o;
    std::string type;
    void* args[] = {&type};
    EXPECT_TRUE(o.tvk_metacall(CtvkMetaProperty::QueryPropertyType, "reregisterTimers", args));
    EXPECT_EQ(type, "void*");
    EXPECT_TRUE(o.tvk_metacall(CtvkMetaProperty::QueryProperty, "reregisterTimers", args));
    EXPECT_FALSE(o.tvk_metacall(CtvkMetaProperty::QueryProperty, "enabled", args));
    EXPECT_FALSE(o.tvk_metacall(CtvkMetaProperty::WriteProperty, "reregisterTimers", nullptr));
    EXPECT_FALSE(o.tvk_metacall(CtvkMetaProperty::WriteProperty, nullptr, args));
}

class LoopTest : public ::testing::Test {
protected:
    void TearDown() override { loop.processEvents(0); }
    CtvkEventLoop loop;
};

TEST_F(LoopTest, PostedEventsAreDeliveredInOrderAndDroppedForTheDead)
{
    int destroyed = 0;
    Probe alive;
    auto* doomed = new Probe(&destroyed);
    CtvkObject::postEvent(&alive, new CtvkCustomEvent(CtvkEvent::User + 1));
    CtvkObject::postEvent(doomed, new CtvkCustomEvent(CtvkEvent::User + 5));
    CtvkObject::postEvent(&alive, new CtvkCustomEvent(CtvkEvent::User + 2));
    CtvkObject::postEvent(nullptr, new CtvkCustomEvent(CtvkEvent::User + 3));
    EXPECT_TRUE(alive.customTypes.empty());   // posted, not sent
    delete doomed;
    EXPECT_TRUE(loop.processEvents(0));
    EXPECT_EQ(alive.customTypes, (std::vector<int>{CtvkEvent::User + 1, CtvkEvent::User + 2}));
    EXPECT_EQ(destroyed, 1);
    EXPECT_FALSE(loop.processEvents(0));
}

TEST_F(LoopTest, EventPostedByAHandlerWaitsForTheNextPass)
{
    int passes = 0;
    struct Reposter : CtvkObject {
        int count = 0;
        void customEvent(CtvkCustomEvent*) override
        {
            if (++count < 3)
                postEvent(this, new CtvkCustomEvent(CtvkEvent::User));
        }
    } r;
    CtvkObject::postEvent(&r, new CtvkCustomEvent(CtvkEvent::User));
    while (loop.processEvents(0))
        ++passes;
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(passes, 3);
}

TEST_F(LoopTest, DeleteLaterHappensAtTheNextPass)
{
    int destroyed = 0;
    auto* p = new Probe(&destroyed);
    new Probe(&destroyed, p);
    p->deleteLater();
    p->deleteLater();
    CtvkObject::postEvent(p, new CtvkCustomEvent(CtvkEvent::User));
    EXPECT_EQ(destroyed, 0);
    loop.processEvents(0);
    EXPECT_EQ(destroyed, 2);
}

TEST_F(LoopTest, DeleteLaterFromAPostedEventDoesNotStallExec)
{
    // The deletion is asked for while posted events are being delivered, so
    // it belongs to the next pass; that pass must not wait for activity.
    struct Deleter : CtvkObject {
        CtvkObject* victim = nullptr;
        void customEvent(CtvkCustomEvent*) override { victim->deleteLater(); }
    } deleter;
    auto* victim = new CtvkObject;
    deleter.victim = victim;
    CtvkObject::connect<CtvkObject*>(victim, "destroyed(CtvkObject*)", nullptr, [&](CtvkObject*) { loop.exit(3); });
    CtvkObject::postEvent(&deleter, new CtvkCustomEvent(CtvkEvent::User));
    EXPECT_EQ(loop.exec(), 3);
}

TEST_F(LoopTest, QueuedPropertyWriteReachesMetacall)
{
    struct Holder : CtvkObject {
        int value = 0;
        bool tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args) override
        {
            if (!args || !name || std::string(name) != "value")
                return CtvkObject::tvk_metacall(call, name, args);
            if (call == CtvkMetaProperty::QueryPropertyType) {
                *static_cast<std::string*>(args[0]) = "int";
                return true;
            }
            if (call == CtvkMetaProperty::WriteProperty) {
                value = *static_cast<int*>(args[0]);
                return true;
            }
            return false;
        }
    } h;
    EXPECT_TRUE(CtvkObject::invokeMethod(&h, "value", CtvkVariant("41")));
    EXPECT_TRUE(CtvkObject::invokeMethod(&h, "nosuch", CtvkVariant(1)));
    EXPECT_EQ(h.value, 0);
    loop.processEvents(0);
    EXPECT_EQ(h.value, 41);
}

TEST_F(LoopTest, TimersFireUntilKilledAndDieWithTheirObject)
{
    Probe fast;
    Probe slow;
    const int fastId = fast.startTimer(5);
    const int slowId = slow.startTimer(20);
    ASSERT_GT(fastId, 0);
    ASSERT_NE(fastId, slowId);
    ASSERT_TRUE(loop.processEventsUntil([&] { return fast.timerIds.size() >= 3; }, 5000));
    EXPECT_EQ(fast.timerIds.front(), fastId);
    fast.killTimer(fastId);
    const auto fired = fast.timerIds.size();
    // The slow timer firing twice more proves time passed for the fast one.
    const auto slowSeen = slow.timerIds.size();
    ASSERT_TRUE(loop.processEventsUntil([&] { return slow.timerIds.size() >= slowSeen + 2; }, 5000));
    EXPECT_EQ(fast.timerIds.size(), fired);

    // Reregistering keeps the id the owner holds.
    void* none = nullptr;
    void* args[] = {&none};
    ASSERT_TRUE(slow.tvk_metacall(CtvkMetaProperty::WriteProperty, "reregisterTimers", args));
    const auto before = slow.timerIds.size();
    ASSERT_TRUE(loop.processEventsUntil([&] { return slow.timerIds.size() > before; }, 5000));
    EXPECT_EQ(slow.timerIds.back(), slowId);

    int destroyed = 0;
    auto* doomed = new Probe(&destroyed);
    doomed->startTimer(1);
    doomed->onTimer = [&](int) { delete doomed; };
    ASSERT_TRUE(loop.processEventsUntil([&] { return destroyed == 1; }, 5000));
    const auto slowNow = slow.timerIds.size();
    ASSERT_TRUE(loop.processEventsUntil([&] { return slow.timerIds.size() >= slowNow + 1; }, 5000));
}

// Timers moved to another dispatcher must still be found there by
// killTimer() and by the destructor.
TEST_F(LoopTest, MovedTimersCanBeKilledAndDieWithTheirObject)
{
    CtvkEpollDispatcher other;
    Probe clock;   // keeps `other` busy, so its passes take real time
    const int clockId = clock.startTimer(5);
    clock.reregisterTimers(&other);
    auto passUntil = [&](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            other.processEvents(50);
        return done();
    };

    Probe moved;
    const int id = moved.startTimer(1);
    ASSERT_GT(id, 0);
    moved.reregisterTimers(&other);
    ASSERT_TRUE(passUntil([&] { return moved.timerIds.size() >= 2; }));
    EXPECT_EQ(moved.timerIds.back(), id);

    moved.killTimer(id);
    const auto fired = moved.timerIds.size();
    const auto ticks = clock.timerIds.size();
    ASSERT_TRUE(passUntil([&] { return clock.timerIds.size() >= ticks + 3; }));
    EXPECT_EQ(moved.timerIds.size(), fired) << "a killed timer kept firing";
    EXPECT_EQ(clock.timerIds.back(), clockId);

    auto* doomed = new Probe;
    doomed->startTimer(1);
    doomed->reregisterTimers(&other);
    delete doomed;
    EXPECT_EQ(other.registeredTimerCount(), 1) << "the dispatcher kept a timer of a destroyed object";
    const auto before = clock.timerIds.size();
    ASSERT_TRUE(passUntil([&] { return clock.timerIds.size() >= before + 2; }));
}

TEST_F(LoopTest, DispatcherHoldingMovedTimersMayGoFirst)
{
    Probe moved;
    const int id = moved.startTimer(1);
    {
        CtvkEpollDispatcher other;
        moved.reregisterTimers(&other);
    }
    moved.killTimer(id);   // must not reach the destroyed dispatcher
    const int again = moved.startTimer(1);
    EXPECT_TRUE(loop.processEventsUntil([&] { return !moved.timerIds.empty(); }, 2000));
    EXPECT_EQ(moved.timerIds.back(), again);
}

TEST_F(LoopTest, EventPostedFromAnotherThreadWakesExec)
{
    struct Stopper : CtvkObject {
        CtvkEventLoop* loop = nullptr;
        void customEvent(CtvkCustomEvent* e) override { loop->exit(e->type() - CtvkEvent::User); }
    } stopper;
    stopper.loop = &loop;
    CtvkAbstractEventDispatcher::instance();   // the loop's thread has its dispatcher
    std::thread other([&] {
        EXPECT_EQ(CtvkAbstractEventDispatcher::instance(stopper.thread()) != nullptr, true);
        CtvkObject::postEvent(&stopper, new CtvkCustomEvent(CtvkEvent::User + 4));
    });
    EXPECT_EQ(loop.exec(), 4);
    other.join();
}

// Objects outlive the thread that made them: a device in static storage
// dies after the main thread's thread-local data, and a worker's objects may
// be handed on and deleted after the worker was joined.
void makeStaticObjectWithATimer()
{
    static Probe object;
    object.startTimer(1000);
}

TEST(ObjectOutlivesItsThreadTest, StaticObjectIsDestroyedAtExit)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        makeStaticObjectWithATimer();
        std::exit(0);   // thread-local data first, then the static object
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit ended with status " << status;
}

// Made on a worker that ran its loop once (so it has a dispatcher), then
// handed out when the worker has ended.
Probe* probeFromAJoinedWorker(int* destroyed, bool deleteLaterOnTheWorker = false)
{
    Probe* made = nullptr;
    std::thread worker([&] {
        made = new Probe(destroyed);
        made->startTimer(1000);
        CtvkEventLoop().processEvents(0);
        if (deleteLaterOnTheWorker)
            made->deleteLater();   // its loop never runs again
    });
    worker.join();
    return made;
}

TEST(ObjectOutlivesItsThreadTest, DeletedAfterItsThreadWasJoined)
{
    int destroyed = 0;
    Probe* p = probeFromAJoinedWorker(&destroyed);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->thread()->isFinished());
    EXPECT_EQ(CtvkAbstractEventDispatcher::instance(p->thread()), nullptr);
    EXPECT_EQ(p->startTimer(10), 0);
    delete p;
    EXPECT_EQ(destroyed, 1);
}

TEST_F(LoopTest, DeleteLaterAfterItsThreadWasJoinedFallsToTheCaller)
{
    int destroyed = 0;
    Probe* p = probeFromAJoinedWorker(&destroyed);
    ASSERT_NE(p, nullptr);
    p->deleteLater();
    EXPECT_EQ(destroyed, 0);
    EXPECT_TRUE(loop.processEventsUntil([&] { return destroyed == 1; }, 2000));
}

TEST(ObjectOutlivesItsThreadTest, DeleteLaterLeftPendingHappensWhenTheThreadEnds)
{
    int destroyed = 0;
    probeFromAJoinedWorker(&destroyed, true);
    EXPECT_EQ(destroyed, 1);
}

} // namespace

// A thread whose dispatcher could not get an epoll instance (no descriptor
// left) must still wait for its timers instead of spinning on the CPU.
TEST(LoopWithoutEpollTest, WaitsForItsTimersInsteadOfSpinning)
{
    // Everything the starved thread constructs is first made here once: the
    // sanitizers' type checks need a descriptor the first time they meet a
    // class, and would fail for want of one.
    ASSERT_NE(CtvkAbstractEventDispatcher::instance(), nullptr);
    { Probe warm; }

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);

    bool dispatcherMade = false;
    std::size_t passes = 0;
    std::size_t fired = 0;
    std::thread worker([&] {
        rlimit none = saved;
        none.rlim_cur = static_cast<rlim_t>(lowestFree);   // no new descriptor from here on
        if (setrlimit(RLIMIT_NOFILE, &none) != 0)
            return;
        CtvkAbstractEventDispatcher* dispatcher = CtvkAbstractEventDispatcher::instance();
        setrlimit(RLIMIT_NOFILE, &saved);
        dispatcherMade = dispatcher != nullptr;
        if (!dispatcher)
            return;
        Probe probe;
        probe.startTimer(20);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (probe.timerIds.size() < 3 && std::chrono::steady_clock::now() < deadline) {
            dispatcher->processEvents(-1);
            ++passes;
        }
        fired = probe.timerIds.size();
    });
    worker.join();
    ASSERT_TRUE(dispatcherMade);
    EXPECT_EQ(fired, 3u);
    // Three 20 ms timer periods take a handful of passes when each waits.
    EXPECT_LT(passes, 100u) << "the loop spun instead of waiting";
}
