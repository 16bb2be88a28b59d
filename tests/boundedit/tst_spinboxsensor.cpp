// SPDX-License-Identifier: MIT
#include "boundtestsupport.h"

#include "tvkdatasensor.h"

#include <climits>
#include <limits>
#include <thread>

using namespace Quorvan;
using namespace tvktest;

namespace {

using IntBoxTest = BoundBoxTest;

TEST_F(IntBoxTest, ValuesStoredOnAnotherThreadArriveThroughTheLoop)
{
    CtvkSpinBoxSensor box;
    box.setRange(0, 1000);
    box.setDataID(20);
    std::thread process([] {
        for (int i = 1; i <= 100; ++i)
            processWrites(20, CtvkVariant(i));
    });
    // The loop sleeps in its dispatcher; each store from the other thread
    // must wake it.
    EXPECT_TRUE(loop.processEventsUntil([&] { return box.value() == 100; }, 5000));
    process.join();
    settle();
    EXPECT_EQ(box.value(), 100) << "the last value stored is the one shown";
    EXPECT_EQ(store()->writeCount(), 100u);
}

TEST_F(IntBoxTest, LimitsFollowAnnouncementsOnlyAndAreWrittenBackWhenSet)
{
    CtvkSpinBoxSensor box;
    processWrites(7, CtvkVariant(50));
    processWrites(8, CtvkVariant(-50));
    box.setMaxDataID(7);
    box.setMinDataID(8);
    settle();   // announced before the binding: not delivered
    EXPECT_EQ(box.maximum(), 99) << "binding a limit does not read it";
    EXPECT_EQ(box.minimum(), 0);
    processWrites(7, CtvkVariant(60));
    processWrites(8, CtvkVariant(-5));
    settle();
    EXPECT_EQ(box.maximum(), 60);
    EXPECT_EQ(box.minimum(), -5);

    const auto before = store()->writeCount();
    box.setMaximum(70);
    box.setMinimum(-6);
    box.setMaximum(70);   // unchanged: not written
    EXPECT_EQ(store()->writeCount(), before + 2);
    EXPECT_EQ(store()->value(7).toInt(), 70);
    EXPECT_EQ(store()->value(8).toInt(), -6);
    settle();
    EXPECT_EQ(store()->writeCount(), before + 2);
}

TEST_F(IntBoxTest, BindingTheValueReadsTheStoredValueEachTime)
{
    CtvkSpinBoxSensor box;
    store()->setValue(5, CtvkVariant(12), false, false);
    box.setDataID(5);
    EXPECT_EQ(box.value(), 12);
    store()->setValue(5, CtvkVariant(13), false, false);
    box.setDataID(5);   // the same identifier again
    EXPECT_EQ(box.value(), 13);
    store()->setValue(5, CtvkVariant("text"), false, false);
    box.setDataID(5);   // does not convert: ignored
    EXPECT_EQ(box.value(), 13);
    EXPECT_EQ(store()->writeCount(), 3u) << "binding writes nothing";

    store()->setValue(0, CtvkVariant(3), false, false);
    box.setDataID(0);
    EXPECT_FALSE(CtvkApplicationPlus::dataSensor()->isBound(5, &box));
    EXPECT_EQ(box.dataID(), 0u);
    EXPECT_EQ(box.value(), 3);
    processWrites(0, CtvkVariant(9));   // identifier 0 is never applied
    settle();
    EXPECT_EQ(box.value(), 3);
}

TEST_F(IntBoxTest, AnnouncementsOfEveryTypeAreTruncatedAndSaturated)
{
    CtvkSpinBoxSensor box;
    box.setRange(INT_MIN, INT_MAX);
    box.setDataID(5);
    auto shown = [&](const CtvkVariant& v) {
        processWrites(5, v);
        settle();
        return box.value();
    };
    EXPECT_EQ(shown(CtvkVariant(true)), 1);
    EXPECT_EQ(shown(CtvkVariant(2.9)), 2);
    EXPECT_EQ(shown(CtvkVariant(-2.9)), -2);
    EXPECT_EQ(shown(CtvkVariant("17")), 17);
    EXPECT_EQ(shown(CtvkVariant("seventeen")), 17) << "a variant that does not convert is ignored";
    EXPECT_EQ(shown(CtvkVariant(1e20)), INT_MAX);
    EXPECT_EQ(shown(CtvkVariant(-1e20)), INT_MIN);
    EXPECT_EQ(shown(CtvkVariant(std::numeric_limits<double>::infinity())), INT_MAX);
    EXPECT_EQ(shown(CtvkVariant(2147483647.5)), INT_MAX);
    EXPECT_EQ(shown(CtvkVariant(-2147483648.9)), INT_MIN);
    EXPECT_EQ(shown(CtvkVariant(std::numeric_limits<double>::quiet_NaN())), INT_MIN) << "NaN is ignored";
    EXPECT_EQ(store()->writeCount(), 11u);

    // An event whose class does not match its type number is not trusted.
    CtvkDataSensorEvent bare(5, CtvkDataSensorEvent::IntSensor);
    CtvkObject::sendEvent(&box, &bare);
    CtvkIntDataSensorEvent other(5, 3);
    CtvkObject::sendEvent(&box, &other);
    EXPECT_EQ(box.value(), 3);
}

TEST_F(IntBoxTest, StoredDoubleRoundsWhereAnAnnouncedDoubleIsTruncated)
{
    CtvkSpinBoxSensor box;
    box.setRange(INT_MIN, INT_MAX);
    // Read at binding, and announced as a variant: the variant's own integer.
    store()->setValue(5, CtvkVariant(2.7), false, false);
    box.setDataID(5);
    EXPECT_EQ(box.value(), 3);
    CtvkAnyDataSensorEvent any(5, CtvkVariant(-2.7));
    CtvkObject::sendEvent(&box, &any);
    EXPECT_EQ(box.value(), -3);
    // Announced as a double: truncated.
    processWrites(5, CtvkVariant(2.7));
    settle();
    EXPECT_EQ(box.value(), 2);

    // An ended edit compares with the variant's integer too: 3 is what a
    // stored 2.7 is, so an unchanged edit writes nothing.
    box.setDataID(5);
    ASSERT_EQ(box.value(), 3);
    const auto before = store()->writeCount();
    EXPECT_TRUE(box.playUserEdit("3"));
    EXPECT_EQ(store()->writeCount(), before);

    // Beyond int the variant has no integer: ignored, not clamped.
    store()->setValue(6, CtvkVariant(1e20), false, false);
    box.setDataID(6);
    EXPECT_EQ(box.value(), 3);
}

TEST_F(IntBoxTest, BoxDestroyedInsideTheSameDeliveryPassIsSkipped)
{
    // Two boxes on one identifier; whichever is delivered to first destroys
    // the other, whose announcement is already queued in this pass.
    int deliveries = 0;
    auto* a = new CountingBox<CtvkSpinBoxSensor>(&deliveries);
    auto* b = new CountingBox<CtvkSpinBoxSensor>(&deliveries);
    CountingBox<CtvkSpinBoxSensor>* survivor = nullptr;
    a->onAnnouncement = [&] { delete b; survivor = a; };
    b->onAnnouncement = [&] { delete a; survivor = b; };
    a->setDataID(5);
    b->setDataID(5);
    processWrites(5, CtvkVariant(8));
    ASSERT_TRUE(loop.processEvents(0));
    EXPECT_EQ(deliveries, 1);
    settle();
    EXPECT_EQ(deliveries, 1);
    ASSERT_NE(survivor, nullptr);
    survivor->onAnnouncement = nullptr;
    processWrites(5, CtvkVariant(9));
    settle();
    EXPECT_EQ(survivor->value(), 9);
    delete survivor;
}

} // namespace
