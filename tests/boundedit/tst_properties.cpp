// SPDX-License-Identifier: MIT
#include "propertytestsupport.h"
#include "tvkspinbox.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace Quorvan;
using namespace tvktest;

namespace {

const std::map<std::string, std::string> kWidgetTypes = {
    {"modal", "bool"}, {"enabled", "bool"}, {"geometry", "CtvkRect"}, {"frameGeometry", "CtvkRect"},
    {"x", "int"}, {"y", "int"}, {"pos", "CtvkPoint"}, {"frameSize", "CtvkSize"}, {"size", "CtvkSize"},
    {"width", "int"}, {"height", "int"}, {"rect", "CtvkRect"}, {"childrenRect", "CtvkRect"},
    {"childrenRegion", "CtvkRegion"}, {"sizePolicy", "CtvkSizePolicy"}, {"minimumSize", "CtvkSize"},
    {"maximumSize", "CtvkSize"}, {"minimumWidth", "int"}, {"minimumHeight", "int"}, {"maximumWidth", "int"},
    {"maximumHeight", "int"}, {"sizeIncrement", "CtvkSize"}, {"baseSize", "CtvkSize"}, {"palette", "CtvkPalette"},
    {"font", "CtvkFont"}, {"mouseTracking", "bool"}, {"isActiveWindow", "bool"}, {"focusPolicy", "TVK::FocusPolicy"},
    {"navigation", "bool"}, {"focus", "bool"}, {"updatesEnabled", "bool"}, {"visible", "bool"},
    {"minimized", "bool"}, {"maximized", "bool"}, {"fullScreen", "bool"}, {"sizeHint", "CtvkSize"},
    {"minimumSizeHint", "CtvkSize"}, {"windowTitle", "std::string"}, {"layoutDirection", "TVK::LayoutDirection"}};

const std::map<std::string, std::string> kSpinBoxTypes = {
    {"prefix", "std::string"}, {"suffix", "std::string"}, {"cleanText", "std::string"}, {"maximum", "int"},
    {"minimum", "int"}, {"singleStep", "int"}, {"value", "int"}, {"wrapping", "bool"}, {"frame", "bool"},
    {"alignment", "TVK::Alignment"}, {"readOnly", "bool"}, {"buttonSymbols", "ButtonSymbols"},
    {"specialValueText", "std::string"}, {"text", "std::string"}};

// Reads `name` into an object of the type its type query names.
bool readsAsItsType(CtvkObject& o, const std::string& name, const std::string& type)
{
    auto read = [&](auto value) {
        void* args[] = {&value};
        return o.tvk_metacall(CtvkMetaProperty::ReadProperty, name.c_str(), args);
    };
    if (type == "bool") return read(false);
    if (type == "int") return read(0);
    if (type == "double") return read(0.0);
    if (type == "std::string") return read(std::string());
    if (type == "CtvkRect") return read(CtvkRect());
    if (type == "CtvkPoint") return read(CtvkPoint());
    if (type == "CtvkSize") return read(CtvkSize());
    if (type == "CtvkRegion") return read(CtvkRegion());
    if (type == "CtvkSizePolicy") return read(CtvkSizePolicy());
    if (type == "CtvkPalette") return read(CtvkPalette());
    if (type == "CtvkFont") return read(CtvkFont());
    if (type == "TVK::FocusPolicy") return read(TVK::NoFocus);
    if (type == "TVK::LayoutDirection") return read(TVK::LeftToRight);
    if (type == "TVK::Alignment") return read(TVK::AlignLeft);
    if (type == "ButtonSymbols") return read(CtvkAbstractSpinBox::UpDownArrows);
    return false;
}

void expectTable(CtvkObject& o, const std::map<std::string, std::string>& types)
{
    std::string dummy;
    void* args[] = {&dummy};
    for (const auto& [name, type] : types) {
        EXPECT_TRUE(o.tvk_metacall(CtvkMetaProperty::QueryProperty, name.c_str(), args)) << name;
        EXPECT_EQ(propertyType(o, name.c_str()), type) << name;
        EXPECT_TRUE(readsAsItsType(o, name, type)) << name;
    }
}

TEST(WidgetProperties, EveryNameIsKnownWithItsTypeAndReads)
{
    ASSERT_EQ(kWidgetTypes.size(), 39u);
    CtvkWidget w;
    expectTable(w, kWidgetTypes);
    CtvkSpinBox box;
    expectTable(box, kWidgetTypes);
    expectTable(box, kSpinBoxTypes);
    auto doubleTypes = kSpinBoxTypes;
    for (const char* n : {"maximum", "minimum", "singleStep", "value"})
        doubleTypes[n] = "double";
    doubleTypes["decimals"] = "int";
    CtvkDoubleSpinBox dbox;
    expectTable(dbox, kWidgetTypes);
    expectTable(dbox, doubleTypes);
    EXPECT_EQ(propertyType(box, "decimals"), "(none)") << "the integer box has no decimals";
}

TEST(WidgetProperties, WritableNamesWriteAndReadBack)
{
    CtvkWidget w;
    w.setFocusPolicy(TVK::StrongFocus);
    expectRoundTrip(w, "enabled", false);
    expectRoundTrip(w, "geometry", CtvkRect(5, 6, 70, 20));
    expectRoundTrip(w, "pos", CtvkPoint(3, 4));
    expectRoundTrip(w, "size", CtvkSize(80, 25));
    expectRoundTrip(w, "sizePolicy", CtvkSizePolicy(CtvkSizePolicy::Fixed, CtvkSizePolicy::Expanding));
    expectRoundTrip(w, "minimumSize", CtvkSize(10, 11));
    expectRoundTrip(w, "maximumSize", CtvkSize(500, 400));
    expectRoundTrip(w, "minimumWidth", 12);
    expectRoundTrip(w, "minimumHeight", 13);
    expectRoundTrip(w, "maximumWidth", 300);
    expectRoundTrip(w, "maximumHeight", 200);
    expectRoundTrip(w, "sizeIncrement", CtvkSize(2, 3));
    expectRoundTrip(w, "baseSize", CtvkSize(4, 5));
    CtvkPalette p;
    p.setColor(CtvkPalette::Highlight, 0xffff0000u);
    expectRoundTrip(w, "palette", p);
    expectRoundTrip(w, "font", CtvkFont("Mono", 12, true));
    expectRoundTrip(w, "mouseTracking", true);
    expectRoundTrip(w, "focusPolicy", TVK::ClickFocus);
    expectRoundTrip(w, "navigation", true);
    expectRoundTrip(w, "updatesEnabled", false);
    expectRoundTrip(w, "visible", true);
    expectRoundTrip(w, "windowTitle", std::string("Mould temperature"));
    expectRoundTrip(w, "layoutDirection", TVK::RightToLeft);
    // What the writes did, seen through the plain accessors and the derived names.
    EXPECT_TRUE(w.testAttribute(TVK::WA_MouseTracking));
    EXPECT_EQ(readProperty<int>(w, "x"), 3);
    EXPECT_EQ(readProperty<int>(w, "width"), 80);
    EXPECT_EQ(readProperty<CtvkRect>(w, "rect"), CtvkRect(0, 0, 80, 25));
    EXPECT_EQ(readProperty<CtvkSize>(w, "frameSize"), CtvkSize(80, 25));

    CtvkDoubleSpinBox dbox;
    expectRoundTrip(dbox, "prefix", std::string("T="));
    expectRoundTrip(dbox, "suffix", std::string(" C"));
    expectRoundTrip(dbox, "decimals", 4);
    expectRoundTrip(dbox, "maximum", 500.5);
    expectRoundTrip(dbox, "minimum", -20.25);
    expectRoundTrip(dbox, "singleStep", 0.5);
    expectRoundTrip(dbox, "value", 21.125);
    expectRoundTrip(dbox, "wrapping", true);
    expectRoundTrip(dbox, "frame", false);
    expectRoundTrip(dbox, "alignment", TVK::AlignRight);
    expectRoundTrip(dbox, "readOnly", true);
    expectRoundTrip(dbox, "buttonSymbols", CtvkAbstractSpinBox::NoButtons);
    expectRoundTrip(dbox, "specialValueText", std::string("min"));
    EXPECT_EQ(readProperty<std::string>(dbox, "text"), "T=21.1250 C");
    EXPECT_EQ(readProperty<std::string>(dbox, "cleanText"), "21.1250");

    CtvkSpinBox box;
    expectRoundTrip(box, "maximum", 1000);
    expectRoundTrip(box, "minimum", -1000);
    expectRoundTrip(box, "singleStep", 5);
    expectRoundTrip(box, "value", 250);
}

TEST(WidgetProperties, ReadOnlyNamesAreRefused)
{
    CtvkSpinBox box;
    box.setGeometry(CtvkRect(1, 2, 30, 40));
    expectReadOnly(box, "modal", true);
    expectReadOnly(box, "frameGeometry", CtvkRect(9, 9, 9, 9));
    expectReadOnly(box, "x", 9);
    expectReadOnly(box, "y", 9);
    expectReadOnly(box, "frameSize", CtvkSize(9, 9));
    expectReadOnly(box, "width", 9);
    expectReadOnly(box, "height", 9);
    expectReadOnly(box, "rect", CtvkRect(9, 9, 9, 9));
    expectReadOnly(box, "childrenRect", CtvkRect(9, 9, 9, 9));
    expectReadOnly(box, "childrenRegion", CtvkRegion(CtvkRect(9, 9, 9, 9)));
    expectReadOnly(box, "isActiveWindow", true);
    expectReadOnly(box, "focus", true);
    expectReadOnly(box, "minimized", true);
    expectReadOnly(box, "maximized", true);
    expectReadOnly(box, "fullScreen", true);
    expectReadOnly(box, "sizeHint", CtvkSize(9, 9));
    expectReadOnly(box, "minimumSizeHint", CtvkSize(9, 9));
    expectReadOnly(box, "text", std::string("9"));
    expectReadOnly(box, "cleanText", std::string("9"));
    EXPECT_EQ(box.geometry(), CtvkRect(1, 2, 30, 40));
}

TEST(WidgetProperties, MaximumWidthKeepsTheHeightAndTheOtherWayRound)
{
    CtvkWidget w;
    w.setMaximumSize(400, 300);
    EXPECT_TRUE(writeProperty(w, "maximumWidth", 250));
    EXPECT_EQ(w.maximumSize(), CtvkSize(250, 300));
    EXPECT_TRUE(writeProperty(w, "maximumHeight", 120));
    EXPECT_EQ(w.maximumSize(), CtvkSize(250, 120));
}

TEST(WidgetProperties, NamesAreExactAndCaseSensitive)
{
    CtvkSpinBox box;
    int v = 5;
    void* args[] = {&v};
    for (const char* name : {"Value", "VALUE", "value ", "valu", "Enabled", "geometryX", "", "ReregisterTimers"}) {
        EXPECT_FALSE(box.tvk_metacall(CtvkMetaProperty::QueryProperty, name, args)) << name;
        EXPECT_FALSE(box.tvk_metacall(CtvkMetaProperty::WriteProperty, name, args)) << name;
    }
    EXPECT_EQ(box.value(), 0);
}

TEST(WidgetProperties, ReregisterTimersIsKnownButNotReadable)
{
    CtvkDoubleSpinBox box;
    std::string type;
    void* typeArgs[] = {&type};
    EXPECT_TRUE(box.tvk_metacall(CtvkMetaProperty::QueryProperty, "reregisterTimers", typeArgs));
    EXPECT_TRUE(box.tvk_metacall(CtvkMetaProperty::QueryPropertyType, "reregisterTimers", typeArgs));
    EXPECT_EQ(type, "void*");
    void* target = nullptr;
    void* args[] = {&target};
    EXPECT_FALSE(box.tvk_metacall(CtvkMetaProperty::ReadProperty, "reregisterTimers", args));
    EXPECT_TRUE(box.tvk_metacall(CtvkMetaProperty::WriteProperty, "reregisterTimers", args));
}

TEST(WidgetProperties, NullInputAndUnknownCallsAnswerFalse)
{
    CtvkSpinBox box;
    int v = 0;
    void* args[] = {&v};
    void* empty[] = {nullptr};
    for (auto call : {CtvkMetaProperty::ReadProperty, CtvkMetaProperty::WriteProperty, CtvkMetaProperty::QueryProperty,
                      CtvkMetaProperty::QueryPropertyType}) {
        EXPECT_FALSE(box.tvk_metacall(call, "value", nullptr));
        EXPECT_FALSE(box.tvk_metacall(call, nullptr, args));
        EXPECT_FALSE(CtvkWidget::tvk_static_metacall(nullptr, call, "enabled", args));
        EXPECT_FALSE(CtvkWidget::tvk_static_metacall(&box, call, nullptr, args));
        EXPECT_FALSE(CtvkWidget::tvk_static_metacall(&box, call, "enabled", nullptr));
    }
    // A request that needs a value but is handed none.
    EXPECT_FALSE(box.tvk_metacall(CtvkMetaProperty::ReadProperty, "value", empty));
    EXPECT_FALSE(box.tvk_metacall(CtvkMetaProperty::WriteProperty, "enabled", empty));
    EXPECT_TRUE(box.tvk_metacall(CtvkMetaProperty::QueryProperty, "enabled", empty));
    CtvkObject plain;
    EXPECT_FALSE(CtvkWidget::tvk_static_metacall(&plain, CtvkMetaProperty::QueryProperty, "enabled", args));
}

} // namespace
