#include "boundtestsupport.h"

#include "tvkdatasensor.h"
#include "tvksignal.h"

#include <climits>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

using namespace Quorvan;
using namespace tvktest;

namespace {

using IntBoxTest = BoundBoxTest;

TEST_F(IntBoxTest, ConstructedUnboundWithItsEditHandlerUnderTheMethodName)
{
    CtvkSpinBoxSensor box;
    EXPECT_STREQ(box.className(), "CtvkSpinBoxSensor");
    for (const char* name : {"CtvkSpinBoxSensor", "CtvkSpinBox", "CtvkAbstractSpinBox", "CtvkWidget", "CtvkObject"})
        EXPECT_TRUE(box.inherits(name)) << name;
    EXPECT_EQ(box.dataID(), 0u);
    EXPECT_EQ(box.maxDataID(), 0u);
    EXPECT_EQ(box.minDataID(), 0u);

    CtvkConnectionTable* table = box.connectionTable();
    ASSERT_EQ(table->handlers.count("editingFinishedSt8functionIFvvEE"), 1u);
    const std::int64_t id = table->handlers.find("editingFinishedSt8functionIFvvEE")->second.id;
    EXPECT_EQ(static_cast<std::uint32_t>(static_cast<std::uint64_t>(id) >> 32),
              static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&box)))
        << "the id stands for the receiver, not for the table's counter";
}

TEST_F(IntBoxTest, AnnouncedValueIsShownAndNeverWrittenBack)
{
    CountingBox<CtvkSpinBoxSensor> box;
    box.setDataID(11);
    processWrites(11, CtvkVariant(42));
    EXPECT_EQ(box.value(), 0) << "announcements arrive through the event loop, not inside setValue";
    settle();
    EXPECT_EQ(box.value(), 42);
    EXPECT_EQ(box.announcements, 1);
    EXPECT_EQ(store()->writeCount(), 1u) << "only the process wrote";
}

TEST_F(IntBoxTest, ApplicationChangeIsStoredOnceAndItsEchoChangesNothing)
{
    CountingBox<CtvkSpinBoxSensor> box;
    box.setDataID(11);
    int changes = 0;
    CtvkObject::connect<int>(&box, "valueChanged(int)", &box, [&](int) { ++changes; });

    box.setValue(7);
    EXPECT_EQ(store()->writeCount(11), 1u);
    EXPECT_EQ(store()->value(11).toInt(), 7);
    settle();
    EXPECT_EQ(box.announcements, 1) << "the echo came back";
    EXPECT_EQ(changes, 1) << "and changed nothing";
    EXPECT_EQ(store()->writeCount(), 1u) << "no echo was written, nothing loops";

    // Equal to what the box shows: nothing, even with another value stored.
    store()->setValue(11, CtvkVariant(3), false, false);
    box.setValue(7);
    EXPECT_EQ(store()->writeCount(), 2u);
    EXPECT_EQ(store()->value(11).toInt(), 3);

    // The argument is stored as given, even when the range cuts what is shown;
    // the echo of the cut value finds the box at its maximum and stops there.
    box.setValue(1000);
    EXPECT_EQ(box.value(), 99);
    EXPECT_EQ(store()->value(11).toInt(), 1000);
    settle();
    EXPECT_EQ(box.value(), 99);
    EXPECT_EQ(store()->writeCount(), 3u);

    CtvkSpinBoxSensor unbound;
    unbound.setValue(5);
    EXPECT_EQ(unbound.value(), 5);
    EXPECT_EQ(store()->writeCount(), 3u);
}

TEST_F(IntBoxTest, UserEditIsStoredOnceAndAnUnchangedEditWritesNothing)
{
    CountingBox<CtvkSpinBoxSensor> box;
    box.setDataID(11);
    EXPECT_TRUE(box.playUserEdit("15"));
    EXPECT_EQ(store()->writeCount(11), 1u);
    EXPECT_EQ(store()->value(11).toInt(), 15);
    settle();
    EXPECT_EQ(box.announcements, 1);
    EXPECT_EQ(box.value(), 15);
    EXPECT_EQ(store()->writeCount(), 1u);

    EXPECT_TRUE(box.playUserEdit("15"));   // stored value equals the shown one
    EXPECT_EQ(store()->writeCount(), 1u);

    // The process changed the value without announcing it: ending even an
    // unchanged edit puts the shown value back.
    store()->setValue(11, CtvkVariant(4), false, false);
    EXPECT_FALSE(box.playUserEdit("not a number"));
    EXPECT_EQ(store()->value(11).toInt(), 15);
    EXPECT_EQ(store()->writeCount(), 3u);
}

TEST_F(IntBoxTest, EditInOneBoxIsFollowedByAnotherBoxOnTheSameIdentifier)
{
    CountingBox<CtvkSpinBoxSensor> edited;
    CountingBox<CtvkSpinBoxSensor> follower;
    edited.setDataID(11);
    follower.setDataID(11);
    EXPECT_TRUE(edited.playUserEdit("33"));
    settle();
    EXPECT_EQ(follower.value(), 33);
    EXPECT_EQ(follower.announcements, 1);
    EXPECT_EQ(store()->writeCount(), 1u) << "the follower shows it without writing";
}

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

TEST_F(IntBoxTest, OneIdentifierAsValueAndMaximumRoutesToTheValue)
{
    CtvkSpinBoxSensor box;
    box.setDataID(5);
    box.setMaxDataID(5);
    processWrites(5, CtvkVariant(40));
    settle();
    EXPECT_EQ(box.value(), 40);
    EXPECT_EQ(box.maximum(), 99);

    // Moving the maximum away must not cut the value off from 5.
    box.setMaxDataID(6);
    EXPECT_TRUE(CtvkApplicationPlus::dataSensor()->isBound(5, &box));
    processWrites(5, CtvkVariant(41));
    processWrites(6, CtvkVariant(80));
    settle();
    EXPECT_EQ(box.value(), 41);
    EXPECT_EQ(box.maximum(), 80);
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

TEST_F(IntBoxTest, DestroyedBoxIsNeverAnnouncedToAgain)
{
    int deliveries = 0;
    auto* box = new CountingBox<CtvkSpinBoxSensor>(&deliveries);
    box->setDataID(5);
    box->setMaxDataID(6);
    processWrites(5, CtvkVariant(1));
    delete box;   // with an announcement pending, never unbound by hand
    processWrites(5, CtvkVariant(2));
    processWrites(6, CtvkVariant(3));
    settle();
    EXPECT_EQ(deliveries, 0);
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

TEST_F(IntBoxTest, BoxDestroyedByItsOwnChangeHandlerStillStoresTheChange)
{
    auto* box = new CtvkSpinBoxSensor;
    box->setDataID(5);
    CtvkObject::connect<int>(box, "valueChanged(int)", box, [box](int) { delete box; });
    box->setValue(4);   // under ASan: no use after free
    EXPECT_EQ(store()->value(5).toInt(), 4);
    settle();
}

} // namespace
