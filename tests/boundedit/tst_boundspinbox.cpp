// SPDX-License-Identifier: MIT
// What the integer and the double bound box share, run on both.
#include "boundtestsupport.h"

#include "tvkdatasensor.h"
#include "tvksignal.h"

#include <cstdint>

using namespace Quorvan;
using namespace tvktest;

namespace {

template <class Box>
struct BoxNames;

template <>
struct BoxNames<CtvkSpinBoxSensor> {
    static constexpr const char* kClass = "CtvkSpinBoxSensor";
    static constexpr const char* kBase = "CtvkSpinBox";
    static constexpr const char* kValueChanged = "valueChanged(int)";
    // A user's edit and the value it gives.
    static constexpr const char* kEdit = "15";
    static constexpr int kEdited = 15;
};

template <>
struct BoxNames<CtvkDoubleSpinBoxSensor> {
    static constexpr const char* kClass = "CtvkDoubleSpinBoxSensor";
    static constexpr const char* kBase = "CtvkDoubleSpinBox";
    static constexpr const char* kValueChanged = "valueChanged(double)";
    static constexpr const char* kEdit = "12.5";
    static constexpr double kEdited = 12.5;
};

template <class Box>
class BoundSpinBoxTest : public BoundBoxTest {
protected:
    using ValueType = decltype(std::declval<Box>().value());
    using NamesType = BoxNames<Box>;

    static ValueType stored(unsigned id) { return static_cast<ValueType>(store()->value(id).toDouble()); }

    // Counts the box's "valueChanged" emissions into `count`.
    static void countChanges(Box* box, int* count)
    {
        CtvkObject::connect<ValueType>(box, NamesType::kValueChanged, box, [count](ValueType) { ++*count; });
    }
};

using BoundBoxes = ::testing::Types<CtvkSpinBoxSensor, CtvkDoubleSpinBoxSensor>;
TYPED_TEST_SUITE(BoundSpinBoxTest, BoundBoxes);

TYPED_TEST(BoundSpinBoxTest, ConstructedUnboundWithItsEditHandlerUnderTheMethodName)
{
    using Names = typename TestFixture::NamesType;
    TypeParam box;
    EXPECT_STREQ(box.className(), Names::kClass);
    for (const char* name : {Names::kClass, Names::kBase, "CtvkAbstractSpinBox", "CtvkWidget", "CtvkObject"})
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

TYPED_TEST(BoundSpinBoxTest, AnnouncedValueIsShownAndNeverWrittenBack)
{
    CountingBox<TypeParam> box;
    box.setDataID(11);
    processWrites(11, CtvkVariant(42));
    EXPECT_EQ(box.value(), 0) << "announcements arrive through the event loop, not inside setValue";
    this->settle();
    EXPECT_EQ(box.value(), 42);
    EXPECT_EQ(box.announcements, 1);
    EXPECT_EQ(store()->writeCount(), 1u) << "only the process wrote";
}

TYPED_TEST(BoundSpinBoxTest, ApplicationChangeIsStoredOnceAndItsEchoChangesNothing)
{
    CountingBox<TypeParam> box;
    box.setDataID(11);
    int changes = 0;
    TestFixture::countChanges(&box, &changes);

    box.setValue(7);
    EXPECT_EQ(store()->writeCount(11), 1u);
    EXPECT_EQ(TestFixture::stored(11), 7);
    this->settle();
    EXPECT_EQ(box.announcements, 1) << "the echo came back";
    EXPECT_EQ(changes, 1) << "and changed nothing";
    EXPECT_EQ(store()->writeCount(), 1u) << "no echo was written, nothing loops";

    // Equal to what the box shows: nothing, even with another value stored.
    store()->setValue(11, CtvkVariant(3), false, false);
    box.setValue(7);
    EXPECT_EQ(store()->writeCount(), 2u);
    EXPECT_EQ(TestFixture::stored(11), 3);

    // The argument is stored as given, even when the range cuts what is shown;
    // the echo of the cut value finds the box at its maximum and stops there.
    const auto maximum = box.maximum();
    box.setValue(1000);
    EXPECT_EQ(box.value(), maximum);
    EXPECT_EQ(TestFixture::stored(11), 1000);
    this->settle();
    EXPECT_EQ(box.value(), maximum);
    EXPECT_EQ(store()->writeCount(), 3u);

    TypeParam unbound;
    unbound.setValue(5);
    EXPECT_EQ(unbound.value(), 5);
    EXPECT_EQ(store()->writeCount(), 3u);
}

TYPED_TEST(BoundSpinBoxTest, UserEditIsStoredOnceAndAnUnchangedEditWritesNothing)
{
    using Names = typename TestFixture::NamesType;
    CountingBox<TypeParam> box;
    box.setDataID(11);
    EXPECT_TRUE(box.playUserEdit(Names::kEdit));
    EXPECT_EQ(store()->writeCount(11), 1u);
    EXPECT_EQ(TestFixture::stored(11), Names::kEdited);
    this->settle();
    EXPECT_EQ(box.announcements, 1);
    EXPECT_EQ(box.value(), Names::kEdited);
    EXPECT_EQ(store()->writeCount(), 1u);

    EXPECT_TRUE(box.playUserEdit(Names::kEdit));   // stored value equals the shown one
    EXPECT_EQ(store()->writeCount(), 1u);

    // The process changed the value without announcing it: ending even an
    // unchanged edit puts the shown value back.
    store()->setValue(11, CtvkVariant(4), false, false);
    EXPECT_FALSE(box.playUserEdit("not a number"));
    EXPECT_EQ(TestFixture::stored(11), Names::kEdited);
    EXPECT_EQ(store()->writeCount(), 3u);
}

TYPED_TEST(BoundSpinBoxTest, EditInOneBoxIsFollowedByAnotherBoxOnTheSameIdentifier)
{
    CountingBox<TypeParam> edited;
    CountingBox<TypeParam> follower;
    edited.setDataID(11);
    follower.setDataID(11);
    EXPECT_TRUE(edited.playUserEdit("33"));
    this->settle();
    EXPECT_EQ(follower.value(), 33);
    EXPECT_EQ(follower.announcements, 1);
    EXPECT_EQ(store()->writeCount(), 1u) << "the follower shows it without writing";
}

TYPED_TEST(BoundSpinBoxTest, IdentifierBoundTwiceMovesTheFirstOfValueMaximumMinimum)
{
    TypeParam box;
    box.setRange(-100, 100);
    box.setDataID(105);
    box.setMaxDataID(105);
    processWrites(105, CtvkVariant(50));
    this->settle();
    EXPECT_EQ(box.value(), 50);
    EXPECT_EQ(box.maximum(), 100) << "the value only";
    EXPECT_EQ(store()->writeCount(), 1u) << "nothing is written back";

    // Moving the maximum away must not cut the value off from 105.
    box.setMaxDataID(106);
    EXPECT_TRUE(CtvkApplicationPlus::dataSensor()->isBound(105, &box));
    processWrites(105, CtvkVariant(41));
    processWrites(106, CtvkVariant(80));
    this->settle();
    EXPECT_EQ(box.value(), 41);
    EXPECT_EQ(box.maximum(), 80);

    // The maximum comes before the minimum.
    box.setMinDataID(106);
    const auto minimum = box.minimum();
    processWrites(106, CtvkVariant(90));
    this->settle();
    EXPECT_EQ(box.maximum(), 90);
    EXPECT_EQ(box.minimum(), minimum);

    // An identifier of 0 is never bound, though every unbound field holds 0.
    TypeParam unbound;
    unbound.setDataValue(0, 5);
    EXPECT_EQ(unbound.value(), 0);
    EXPECT_EQ(unbound.minimum(), 0);
}

TYPED_TEST(BoundSpinBoxTest, DestroyedBoxIsNeverAnnouncedToAgain)
{
    int deliveries = 0;
    auto* box = new CountingBox<TypeParam>(&deliveries);
    box->setDataID(5);
    box->setMaxDataID(6);
    processWrites(5, CtvkVariant(1.5));
    delete box;   // with an announcement pending, never unbound by hand
    processWrites(5, CtvkVariant(2.5));
    processWrites(6, CtvkVariant(3));
    this->settle();
    EXPECT_EQ(deliveries, 0);
}

TYPED_TEST(BoundSpinBoxTest, BoxDestroyedByItsOwnChangeHandlerIsNotTouchedAgain)
{
    auto* box = new TypeParam;
    box->setDataID(5);
    CtvkObject::connect<typename TestFixture::ValueType>(box, TestFixture::NamesType::kValueChanged, box,
                                                     [box](auto) { delete box; });
    box->setValue(4);   // under ASan: no use after free
    EXPECT_EQ(TestFixture::stored(5), 4) << "the change is still stored";
    this->settle();

    // An announcement that the value's handler answers by destroying the box.
    box = new TypeParam;
    box->setValue(50);
    box->setDataID(6);
    box->setMaxDataID(6);
    int deleted = 0;
    CtvkObject::connect<typename TestFixture::ValueType>(box, TestFixture::NamesType::kValueChanged, box, [box, &deleted](auto) {
        ++deleted;
        delete box;
    });
    processWrites(6, CtvkVariant(10));
    this->settle();
    EXPECT_EQ(deleted, 1);
}

} // namespace
