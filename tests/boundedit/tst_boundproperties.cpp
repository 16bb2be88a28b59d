// SPDX-License-Identifier: MIT
#include "boundtestsupport.h"
#include "propertytestsupport.h"

#include <string>

using namespace Quorvan;
using namespace tvktest;

namespace {

using BoundPropertiesTest = BoundBoxTest;

TEST_F(BoundPropertiesTest, ValueByNameIsStoredLimitsByNameAreNot)
{
    CtvkSpinBoxSensor box;
    box.setDataID(1);
    box.setMaxDataID(2);
    box.setMinDataID(3);
    EXPECT_TRUE(writeProperty(box, "value", 9));
    EXPECT_EQ(store()->value(1).toInt(), 9);
    EXPECT_TRUE(writeProperty(box, "maximum", 50));
    EXPECT_TRUE(writeProperty(box, "minimum", -50));
    EXPECT_EQ(box.maximum(), 50);
    EXPECT_EQ(box.minimum(), -50);
    EXPECT_EQ(store()->writeCount(), 1u);
    EXPECT_EQ(propertyType(box, "value"), "int");
    EXPECT_EQ(propertyType(box, "decimals"), "(none)");
    EXPECT_EQ(propertyType(box, "dataID"), "(none)") << "the identifiers are no properties";

    CtvkDoubleSpinBoxSensor dbox;
    dbox.setDataID(4);
    dbox.setMaxDataID(5);
    dbox.setMinDataID(6);
    EXPECT_TRUE(writeProperty(dbox, "value", 2.5));
    EXPECT_EQ(store()->value(4).toDouble(), 2.5);
    EXPECT_TRUE(writeProperty(dbox, "maximum", 10.5));
    EXPECT_TRUE(writeProperty(dbox, "minimum", -10.5));
    EXPECT_TRUE(writeProperty(dbox, "decimals", 5));
    EXPECT_EQ(dbox.maximum(), 10.5);
    EXPECT_EQ(dbox.decimals(), 5);
    EXPECT_EQ(store()->writeCount(), 2u);
    EXPECT_EQ(propertyType(dbox, "value"), "double");
}

TEST_F(BoundPropertiesTest, QueuedWritesByNameGoThroughTheLoop)
{
    CtvkSpinBoxSensor box;
    box.setDataID(1);
    EXPECT_TRUE(CtvkObject::invokeMethod(&box, "value", CtvkVariant(12)));
    EXPECT_TRUE(CtvkObject::invokeMethod(&box, "prefix", CtvkVariant("P=")));
    // A value that names no conversion to the property's type is refused,
    // never read as if it were one.
    EXPECT_TRUE(CtvkObject::invokeMethod(&box, "geometry", CtvkVariant(3)));
    EXPECT_TRUE(CtvkObject::invokeMethod(&box, "focusPolicy", CtvkVariant(0)));
    const CtvkRect geometry = box.geometry();
    settle();
    EXPECT_EQ(box.value(), 12);
    EXPECT_EQ(store()->value(1).toInt(), 12);
    EXPECT_EQ(box.prefix(), "P=");
    EXPECT_EQ(box.geometry(), geometry);
    EXPECT_EQ(box.focusPolicy(), TVK::WheelFocus);
}

} // namespace
