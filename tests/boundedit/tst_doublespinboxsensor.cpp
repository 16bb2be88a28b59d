// SPDX-License-Identifier: MIT
#include "boundtestsupport.h"

#include "tvkspinboxsensor_p.h"

#include <limits>

using namespace Quorvan;
using namespace tvktest;

namespace {

using DoubleBoxTest = BoundBoxTest;

TEST_F(DoubleBoxTest, ToleranceDecidesWhatIsAChange)
{
    CountingBox<CtvkDoubleSpinBoxSensor> box;
    box.setDataID(3);
    box.setValue(1.0);
    ASSERT_EQ(store()->writeCount(3), 1u);
    settle();

    box.setValue(1.0 + 1e-13);
    EXPECT_EQ(box.value(), 1.0);
    EXPECT_EQ(store()->writeCount(3), 1u) << "within 1e-12 of the value: the same value";
    box.setValue(1.0 + 1e-11);
    EXPECT_EQ(box.value(), 1.0 + 1e-11);
    EXPECT_EQ(store()->writeCount(3), 2u);
    EXPECT_EQ(store()->value(3).toDouble(), 1.0 + 1e-11) << "stored unrounded";

    box.setValue(0.0);
    box.setValue(1e-300);   // nothing is near 0 but 0
    EXPECT_EQ(box.value(), 1e-300);
    EXPECT_EQ(store()->writeCount(3), 4u);
    settle();
    EXPECT_EQ(box.announcements, 4);
    EXPECT_EQ(store()->writeCount(3), 4u) << "echoes are not written again";
    EXPECT_EQ(box.value(), 1e-300);

    // An announcement within the tolerance leaves the box as it is.
    processWrites(3, CtvkVariant(1e-300 * (1 + 1e-13)));
    settle();
    EXPECT_EQ(box.value(), 1e-300);

    EXPECT_TRUE(detail::tvkFuzzyEqual(std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(detail::tvkFuzzyEqual(std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()));
}

TEST_F(DoubleBoxTest, AnnouncementsOfEveryTypeArriveAsDoubles)
{
    CtvkDoubleSpinBoxSensor box;
    box.setDataID(5);
    auto shown = [&](const CtvkVariant& v) {
        processWrites(5, v);
        settle();
        return box.value();
    };
    EXPECT_EQ(shown(CtvkVariant(2.5)), 2.5);
    EXPECT_EQ(shown(CtvkVariant(3)), 3.0);
    EXPECT_EQ(shown(CtvkVariant(false)), 0.0);
    EXPECT_EQ(shown(CtvkVariant("7.25")), 7.25);
    EXPECT_EQ(shown(CtvkVariant("x")), 7.25);
    EXPECT_EQ(shown(CtvkVariant(std::numeric_limits<double>::quiet_NaN())), 7.25);
    EXPECT_EQ(store()->writeCount(), 6u);
}

TEST_F(DoubleBoxTest, EveryBindingReadsTheStoredValueAtOnce)
{
    CtvkDoubleSpinBoxSensor box;
    store()->setValue(7, CtvkVariant(50.5), false, false);
    store()->setValue(8, CtvkVariant(-3.25), false, false);
    store()->setValue(9, CtvkVariant(12.0), false, false);
    box.setMaxDataID(7);
    box.setMinDataID(8);
    box.setDataID(9);
    EXPECT_EQ(box.maximum(), 50.5);
    EXPECT_EQ(box.minimum(), -3.25);
    EXPECT_EQ(box.value(), 12.0);
    store()->setValue(7, CtvkVariant(40.0), false, false);
    box.setMaxDataID(7);   // the same identifier again re-reads it
    EXPECT_EQ(box.maximum(), 40.0);
    EXPECT_EQ(store()->writeCount(), 4u) << "binding writes nothing";

    box.setMaximum(45.0);
    EXPECT_EQ(store()->value(7).toDouble(), 45.0);
    processWrites(8, CtvkVariant(-4.0));
    settle();
    EXPECT_EQ(box.minimum(), -4.0);
}

TEST_F(DoubleBoxTest, NotANumberIsNeverStored)
{
    CtvkDoubleSpinBoxSensor box;
    box.setDataID(4);
    box.setMaxDataID(5);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    box.setValue(nan);
    box.setMaximum(nan);
    box.setMinimum(nan);
    EXPECT_EQ(store()->writeCount(), 0u);
    EXPECT_EQ(box.value(), 0.0);
    EXPECT_EQ(box.maximum(), 99.99);
}

TEST_F(DoubleBoxTest, InfinityIsAppliedAsAnyDouble)
{
    const double inf = std::numeric_limits<double>::infinity();
    CtvkDoubleSpinBoxSensor box;
    box.setValue(50.0);
    box.setMaxDataID(7);
    box.setMinDataID(8);
    processWrites(7, CtvkVariant(inf));
    processWrites(8, CtvkVariant(-inf));
    settle();
    EXPECT_EQ(box.maximum(), inf) << "an open-ended limit";
    EXPECT_EQ(box.minimum(), -inf);
    EXPECT_EQ(box.value(), 50.0);

    // The other infinity is another value, however far both are from 0.
    processWrites(7, CtvkVariant(-inf));
    settle();
    EXPECT_EQ(box.maximum(), -inf);

    store()->setValue(9, CtvkVariant(inf), false, false);
    box.setMaxDataID(9);
    EXPECT_EQ(box.maximum(), inf) << "read at binding as well";
    EXPECT_FALSE(detail::tvkFuzzyEqual(inf, -inf));
}

} // namespace
