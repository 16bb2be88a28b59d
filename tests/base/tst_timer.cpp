// SPDX-License-Identifier: MIT
#include "tvkepolldispatcher_p.h"
#include "tvkeventloop.h"
#include "tvksignal.h"
#include "tvktimer.h"

#include <gtest/gtest.h>

#include <memory>

using namespace Quorvan;

namespace {

constexpr int kWaitMs = 5000;

// Counts the timer's shots, then runs `then`.
void counting(CtvkTimer* timer, int* count, std::function<void()> then = nullptr)
{
    CtvkObject::connect(timer, "timeout()", nullptr, std::function<void()>([count, then] {
                            ++*count;
                            if (then)
                                then();
                        }));
}

class TimerTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        loop.processEvents(0);
        // Every timer of the test went with its owner.
        auto* d = static_cast<CtvkEpollDispatcher*>(CtvkAbstractEventDispatcher::instance());
        EXPECT_EQ(d->registeredTimerCount(), 0);
    }
    // A periodic timer firing five times proves that time passed for the
    // timers under test.
    void letTimePass()
    {
        CtvkTimer clock;
        int ticks = 0;
        counting(&clock, &ticks);
        clock.start(2);
        ASSERT_TRUE(loop.processEventsUntil([&] { return ticks >= 5; }, kWaitMs));
    }
    CtvkEventLoop loop;
};

} // namespace

TEST_F(TimerTest, SingleShotFiresOnceAndMayBeStartedAgainFromItsHandler)
{
    CtvkTimer timer;
    timer.setSingleShot(true);
    int fired = 0;
    bool activeInHandler = true;
    counting(&timer, &fired, [&] {
        activeInHandler = timer.isActive();
        if (fired == 1)
            timer.start(1);   // once more, from inside
    });
    timer.start(1);
    EXPECT_TRUE(timer.isActive());
    ASSERT_TRUE(loop.processEventsUntil([&] { return fired == 2; }, kWaitMs));
    EXPECT_FALSE(activeInHandler);
    EXPECT_FALSE(timer.isActive());

    letTimePass();
    EXPECT_EQ(fired, 2);   // no third shot
}

TEST_F(TimerTest, PeriodicFiresUntilStoppedOrDestroyedByItsOwnHandler)
{
    CtvkTimer timer;
    int fired = 0;
    counting(&timer, &fired, [&] {
        if (fired == 3)
            timer.stop();
    });
    timer.start(1);
    ASSERT_TRUE(loop.processEventsUntil([&] { return !timer.isActive(); }, kWaitMs));
    EXPECT_EQ(fired, 3);

    auto* doomed = new CtvkTimer;
    int doomedFired = 0;
    counting(doomed, &doomedFired, [&] { delete doomed; });
    doomed->start(1);
    letTimePass();
    EXPECT_EQ(doomedFired, 1);
}

TEST_F(TimerTest, StaticSingleShotCallsOnceAndNeverAfterItsContextWent)
{
    int called = 0;
    CtvkTimer::singleShot(1, nullptr, [&] { ++called; });
    auto context = std::make_unique<CtvkObject>();
    int late = 0;
    CtvkTimer::singleShot(1, context.get(), [&] { ++late; });
    context.reset();
    // A handler that deletes the context its timer belongs to.
    auto* owner = new CtvkObject;
    bool ownerGone = false;
    CtvkTimer::singleShot(1, owner, [&] {
        delete owner;
        ownerGone = true;
    });
    ASSERT_TRUE(loop.processEventsUntil([&] { return called == 1 && ownerGone; }, kWaitMs));
    letTimePass();
    EXPECT_EQ(called, 1);
    EXPECT_EQ(late, 0);
}
