// SPDX-License-Identifier: MIT
#include "descriptors.h"
#include "notifiers.h"

#include "tvkabstracteventdispatcher.h"
#include "tvkeventloop.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

using namespace Quorvan;

std::string* signalBufferSeenByAnotherUnit()
{
    return tvkSignalBuffer();
}

namespace {

struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
    ~SocketPair()
    {
        for (int f : fd)
            if (f >= 0)
                ::close(f);
    }
    void send(char c = 'x') const { ASSERT_EQ(::write(fd[1], &c, 1), 1); }
    void drain() const
    {
        char buf[64];
        ASSERT_GT(::recv(fd[0], buf, sizeof buf, MSG_DONTWAIT), 0);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
};

class SocketNotifierTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        watchedBefore = tvktest::watchedNotifiers();
        descriptorsBefore = tvktest::openDescriptors();
    }
    void TearDown() override
    {
        loop.processEvents(0);   // deferred deletions of the test
        EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore) << "a notifier is still registered";
        EXPECT_EQ(tvktest::openDescriptors(), descriptorsBefore) << "a descriptor was left open";
    }
    CtvkEventLoop loop;
    int watchedBefore = 0;
    int descriptorsBefore = 0;
};

TEST_F(SocketNotifierTest, ReadableSocketEmitsActivatedWithTheSocket)
{
    SocketPair pair;
    CtvkSocketNotifier notifier(pair.fd[0], CtvkSocketNotifier::Read);
    EXPECT_TRUE(notifier.inherits("CtvkSocketNotifier"));
    EXPECT_TRUE(notifier.inherits("CtvkObject"));
    EXPECT_STREQ(notifier.className(), "CtvkSocketNotifier");
    int count = 0;
    int socket = -1;
    CtvkObject::connect<int>(&notifier, "activated", nullptr, [&](int s) {
        ++count;
        socket = s;
    });
    EXPECT_FALSE(loop.processEvents(0));
    EXPECT_EQ(count, 0);

    pair.send();
    ASSERT_TRUE(loop.processEventsUntil([&] { return count > 0; }, 2000));
    EXPECT_EQ(socket, pair.fd[0]);
    // Level-triggered: unread data is reported again at the next pass.
    ASSERT_TRUE(loop.processEventsUntil([&] { return count > 1; }, 2000));
    pair.drain();
    const int seen = count;
    EXPECT_FALSE(loop.processEvents(0));
    EXPECT_EQ(count, seen);
}

TEST_F(SocketNotifierTest, PeerHangUpIsReportedAsReadable)
{
    SocketPair pair;
    CtvkSocketNotifier notifier(pair.fd[0], CtvkSocketNotifier::Read);
    ssize_t lastRead = -1;
    CtvkObject::connect<int>(&notifier, "activated", nullptr, [&](int s) {
        char c;
        lastRead = ::read(s, &c, 1);
        if (lastRead == 0)
            notifier.setEnabled(false);   // end of stream: stop watching
    });
    ::close(pair.fd[1]);
    pair.fd[1] = -1;
    ASSERT_TRUE(loop.processEventsUntil([&] { return lastRead == 0; }, 2000));
    EXPECT_FALSE(notifier.isEnabled());
}

TEST_F(SocketNotifierTest, DisabledOrDestroyedNotifierStaysQuiet)
{
    SocketPair pair;
    int count = 0;
    auto notifier = std::make_unique<CtvkSocketNotifier>(pair.fd[0], CtvkSocketNotifier::Read);
    CtvkObject::connect<int>(notifier.get(), "activated", nullptr, [&](int) { ++count; });
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore + 1);

    notifier->setEnabled(false);
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore);
    pair.send();
    loop.processEvents(0);
    loop.processEvents(0);
    EXPECT_EQ(count, 0);

    notifier->setEnabled(true);
    notifier->setEnabled(true);   // already on: no second registration
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore + 1);
    ASSERT_TRUE(loop.processEventsUntil([&] { return count > 0; }, 2000));

    notifier.reset();
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore);
    const int seen = count;
    loop.processEvents(0);
    EXPECT_EQ(count, seen);
}

TEST_F(SocketNotifierTest, NegativeSocketIsNeverWatched)
{
    CtvkSocketNotifier notifier(-1, CtvkSocketNotifier::Read);
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore);
    notifier.setEnabled(false);
    EXPECT_TRUE(notifier.isEnabled());   // a negative socket ignores setEnabled
    notifier.setEnabled(true);
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore);
}

TEST_F(SocketNotifierTest, DispatcherToleratesRepeatedAddAndStrayRemove)
{
    SocketPair pair;
    CtvkSocketNotifier notifier(pair.fd[0], CtvkSocketNotifier::Read);
    CtvkAbstractEventDispatcher* d = CtvkAbstractEventDispatcher::instance();
    ASSERT_EQ(d, CtvkAbstractEventDispatcher::instance(notifier.thread()));
    d->addSocketNotifier(&notifier);
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore + 1);
    d->removeSocketNotifier(&notifier);
    d->removeSocketNotifier(&notifier);
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore);
    d->addSocketNotifier(&notifier);
    int count = 0;
    CtvkObject::connect<int>(&notifier, "activated", nullptr, [&](int) { ++count; });
    pair.send();
    ASSERT_TRUE(loop.processEventsUntil([&] { return count > 0; }, 2000));
}

TEST_F(SocketNotifierTest, DestroyedNotifierLeavesTheDispatcherWhateverItsState)
{
    SocketPair pair;
    CtvkAbstractEventDispatcher* d = CtvkAbstractEventDispatcher::instance();
    int count = 0;
    {
        CtvkSocketNotifier notifier(pair.fd[0], CtvkSocketNotifier::Read);
        CtvkObject::connect<int>(&notifier, "activated", nullptr, [&](int) { ++count; });
        notifier.setEnabled(false);
        // Registered behind its back: the notifier believes it is off.
        d->addSocketNotifier(&notifier);
        EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore + 1);
    }
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore) << "the dispatcher kept a dead notifier";
    pair.send();
    loop.processEvents(0);   // would deliver to freed memory
    EXPECT_EQ(count, 0);
}

TEST_F(SocketNotifierTest, NotifierDestroyedByItsOwnHandler)
{
    SocketPair pair;
    auto* notifier = new CtvkSocketNotifier(pair.fd[0], CtvkSocketNotifier::Read);
    int count = 0;
    CtvkObject::connect<int>(notifier, "activated", nullptr, [&](int) {
        ++count;
        delete notifier;
    });
    CtvkObject::connect<int>(notifier, "activated", nullptr, [&](int) { ++count; });
    pair.send();
    ASSERT_TRUE(loop.processEventsUntil([&] { return count > 0; }, 2000));
    loop.processEvents(0);
    EXPECT_EQ(count, 1);
}

TEST_F(SocketNotifierTest, NotifierDestroyedEarlierInTheSamePassIsNotCalled)
{
    SocketPair a;
    SocketPair b;
    CtvkSocketNotifier* na = new CtvkSocketNotifier(a.fd[0], CtvkSocketNotifier::Read);
    CtvkSocketNotifier* nb = new CtvkSocketNotifier(b.fd[0], CtvkSocketNotifier::Read);
    int calls = 0;
    // Whichever is delivered first deletes the other, whose readiness was
    // collected in the same pass.
    CtvkObject::connect<int>(na, "activated", nullptr, [&](int) {
        ++calls;
        delete nb;
        nb = nullptr;
    });
    CtvkObject::connect<int>(nb, "activated", nullptr, [&](int) {
        ++calls;
        delete na;
        na = nullptr;
    });
    a.send();
    b.send();
    // Both readable before the pass starts, so one pass collects both.
    ASSERT_TRUE(loop.processEvents(1000));
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE((na == nullptr) != (nb == nullptr));
    delete na;
    delete nb;
}

// Two notifiers on one socket share its epoll registration and every report
// of it, yet each is registered, checked and removed on its own.
TEST_F(SocketNotifierTest, NotifiersSharingASocketAreTrackedApart)
{
    SocketPair pair;
    auto a = std::make_unique<CtvkSocketNotifier>(pair.fd[0], CtvkSocketNotifier::Read);
    auto b = std::make_unique<CtvkSocketNotifier>(pair.fd[0], CtvkSocketNotifier::Read);
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore + 2);
    int callsA = 0;
    int callsB = 0;
    bool toggled = false;
    // Whichever comes first switches the other off and on again: the other
    // is registered anew, and the readiness collected for its old
    // registration in this pass is not delivered.
    auto toggle = [&](CtvkSocketNotifier* other) {
        if (toggled)
            return;
        toggled = true;
        other->setEnabled(false);
        other->setEnabled(true);
    };
    CtvkObject::connect<int>(a.get(), "activated", nullptr, [&](int) {
        ++callsA;
        toggle(b.get());
    });
    CtvkObject::connect<int>(b.get(), "activated", nullptr, [&](int) {
        ++callsB;
        toggle(a.get());
    });
    pair.send();
    ASSERT_TRUE(loop.processEvents(1000));
    EXPECT_EQ(callsA + callsB, 1);
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore + 2);
    ASSERT_TRUE(loop.processEventsUntil([&] { return callsA > 0 && callsB > 0; }, 2000));

    // Removing one leaves the other watched.
    a.reset();
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore + 1);
    const int seen = callsB;
    ASSERT_TRUE(loop.processEventsUntil([&] { return callsB > seen; }, 2000));
    pair.drain();
}

TEST_F(SocketNotifierTest, DescriptorAbove1024IsWatched)
{
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const rlim_t wanted = 1600;
    if (lim.rlim_cur < wanted) {
        if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < wanted)
            GTEST_SKIP() << "the hard descriptor limit is below " << wanted;
        rlimit raised = lim;
        raised.rlim_cur = wanted;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    SocketPair pair;
    const int high = 1500;
    ASSERT_EQ(dup2(pair.fd[0], high), high);
    int socket = -1;
    {
        CtvkSocketNotifier notifier(high, CtvkSocketNotifier::Read);
        CtvkObject::connect<int>(&notifier, "activated", nullptr, [&](int s) { socket = s; });
        pair.send();
        EXPECT_TRUE(loop.processEventsUntil([&] { return socket == high; }, 2000));
    }
    ::close(high);
}

// A socket closed before its notifier goes, while a dup() (or a forked
// child) keeps its file open: epoll goes on reporting the file under the old
// number, and no epoll_ctl() can reach that registration any more.
TEST_F(SocketNotifierTest, SocketClosedBeforeItsNotifierDoesNotKeepTheLoopBusy)
{
    SocketPair pair;
    const int keep = ::dup(pair.fd[0]);
    ASSERT_GE(keep, 0);
    {
        CtvkSocketNotifier notifier(pair.fd[0], CtvkSocketNotifier::Read);
        ::close(pair.fd[0]);
        pair.fd[0] = -1;
    }
    EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore);
    pair.send();   // the orphaned file is readable from now on, for good
    loop.processEvents(0);
    // The loop must wait again rather than wake up at once at every pass.
    using Clock = std::chrono::steady_clock;
    for (int i = 0; i < 3; ++i) {
        const Clock::time_point start = Clock::now();
        EXPECT_FALSE(loop.processEvents(60));
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50)) << "pass " << i << " did not wait";
    }
    ::close(keep);
}

TEST_F(SocketNotifierTest, ReusedNumberIsNotWokenByTheOrphanedFile)
{
    SocketPair old;
    const int keep = ::dup(old.fd[0]);
    ASSERT_GE(keep, 0);
    const int number = old.fd[0];
    {
        CtvkSocketNotifier notifier(number, CtvkSocketNotifier::Read);
        ::close(old.fd[0]);
        old.fd[0] = -1;
    }
    SocketPair fresh;
    // The next socket under the same number, as accept() would hand it out.
    if (fresh.fd[0] != number) {
        ASSERT_EQ(::dup2(fresh.fd[0], number), number);
        ::close(fresh.fd[0]);
        fresh.fd[0] = number;
    }
    CtvkSocketNotifier notifier(number, CtvkSocketNotifier::Read);
    int count = 0;
    CtvkObject::connect<int>(&notifier, "activated", nullptr, [&](int) { ++count; });
    old.send();
    for (int i = 0; i < 3; ++i)
        loop.processEvents(20);
    EXPECT_EQ(count, 0) << "the old file's data was reported for the new socket";
    fresh.send();
    EXPECT_TRUE(loop.processEventsUntil([&] { return count > 0; }, 2000));
    ::close(keep);
}

TEST_F(SocketNotifierTest, PauseEventRestsTheNotifierForOnePass)
{
    SocketPair pair;
    CtvkSocketNotifier notifier(pair.fd[0], CtvkSocketNotifier::Read);
    int count = 0;
    CtvkObject::connect<int>(&notifier, "activated", nullptr, [&](int) { ++count; });
    pair.send();

    CtvkEvent pause(CtvkEvent::SockPause);
    EXPECT_TRUE(CtvkObject::sendEvent(&notifier, &pause));
    EXPECT_FALSE(notifier.isEnabled());
    // This pass skips the readable socket and delivers the queued re-enable.
    EXPECT_TRUE(loop.processEvents(0));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(notifier.isEnabled());
    ASSERT_TRUE(loop.processEventsUntil([&] { return count > 0; }, 2000));

    // Every event is accepted, whether the base knows it or not; a socket
    // event sent by hand emits like one from the loop.
    const int seen = count;
    CtvkEvent custom(CtvkEvent::User + 7);
    EXPECT_TRUE(CtvkObject::sendEvent(&notifier, &custom));
    CtvkEvent ready(CtvkEvent::SockAct);
    EXPECT_TRUE(CtvkObject::sendEvent(&notifier, &ready));
    EXPECT_EQ(count, seen + 1);

    // A paused (disabled) notifier ignores another pause.
    notifier.setEnabled(false);
    EXPECT_TRUE(CtvkObject::sendEvent(&notifier, &pause));
    loop.processEvents(0);
    EXPECT_FALSE(notifier.isEnabled());
}

TEST_F(SocketNotifierTest, EnabledPropertyThroughMetacallAndQueuedWrite)
{
    SocketPair pair;
    CtvkSocketNotifier notifier(pair.fd[0], CtvkSocketNotifier::Read);
    std::string type;
    void* typeArgs[] = {&type};
    EXPECT_TRUE(notifier.tvk_metacall(CtvkMetaProperty::QueryPropertyType, "enabled", typeArgs));
    EXPECT_EQ(type, "bool");
    EXPECT_TRUE(notifier.tvk_metacall(CtvkMetaProperty::QueryPropertyType, "reregisterTimers", typeArgs));
    EXPECT_EQ(type, "void*");
    EXPECT_FALSE(notifier.tvk_metacall(CtvkMetaProperty::QueryProperty, "nosuch", typeArgs));
    EXPECT_FALSE(notifier.tvk_metacall(CtvkMetaProperty::WriteProperty, "enabled", nullptr));
    EXPECT_FALSE(notifier.tvk_metacall(CtvkMetaProperty::WriteProperty, nullptr, typeArgs));

    bool off = false;
    void* args[] = {&off};
    EXPECT_TRUE(notifier.tvk_metacall(CtvkMetaProperty::WriteProperty, "enabled", args));
    EXPECT_FALSE(notifier.isEnabled());

    EXPECT_TRUE(CtvkObject::invokeMethod(&notifier, "enabled", CtvkVariant(true)));
    EXPECT_FALSE(notifier.isEnabled());   // queued, not immediate
    loop.processEvents(0);
    EXPECT_TRUE(notifier.isEnabled());
    EXPECT_FALSE(CtvkObject::invokeMethod(nullptr, "enabled", CtvkVariant(true)));
    EXPECT_FALSE(CtvkObject::invokeMethod(&notifier, nullptr, CtvkVariant(true)));
}

TEST_F(SocketNotifierTest, DeferredDeletionWaitsForTheEndOfThePass)
{
    SocketPair a;
    SocketPair b;
    auto* na = new CtvkSocketNotifier(a.fd[0], CtvkSocketNotifier::Read);
    CtvkSocketNotifier nb(b.fd[0], CtvkSocketNotifier::Read);
    bool gone = false;
    bool started = false;
    bool usedAfterDeleteLater = false;
    CtvkObject::connect<CtvkObject*>(na, "destroyed(CtvkObject*)", nullptr, [&](CtvkObject*) { gone = true; });
    auto both = [&](int) {
        if (started)
            return;
        started = true;
        na->setEnabled(false);
        na->deleteLater();
        na->deleteLater();   // twice is still one deletion
        // A nested loop started by a handler must not delete it either.
        CtvkEventLoop nested;
        nested.processEvents(0);
        usedAfterDeleteLater = !gone && !na->isEnabled();
    };
    CtvkObject::connect<int>(na, "activated", nullptr, both);
    CtvkObject::connect<int>(&nb, "activated", nullptr, [&](int) { EXPECT_FALSE(gone); });
    a.send();
    b.send();
    ASSERT_TRUE(loop.processEvents(1000));
    EXPECT_TRUE(usedAfterDeleteLater);
    EXPECT_TRUE(gone);
}

} // namespace
