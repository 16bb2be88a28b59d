// SPDX-License-Identifier: MIT
#include "tvkeventloop.h"
#include "tvkspinbox.h"
#include "tvksignal.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <limits>
#include <string>
#include <vector>

using namespace Quorvan;

namespace {

// Counts the calls that reach the virtual setValue.
class CountingSpinBox : public CtvkSpinBox {
public:
    void setValue(int v) override
    {
        ++virtualCalls;
        CtvkSpinBox::setValue(v);
    }
    int virtualCalls = 0;
};

TEST(SpinBox, ValueStaysInRangeAndALimitMovesTheOther)
{
    CtvkSpinBox box;
    EXPECT_EQ(box.minimum(), 0);
    EXPECT_EQ(box.maximum(), 99);
    box.setValue(150);
    EXPECT_EQ(box.value(), 99);
    box.setMinimum(120);   // above the maximum: the maximum and the value follow
    EXPECT_EQ(box.maximum(), 120);
    EXPECT_EQ(box.value(), 120);
    box.setMaximum(-5);    // below the minimum: the minimum and the value follow
    EXPECT_EQ(box.minimum(), -5);
    EXPECT_EQ(box.value(), -5);
    box.setRange(10, 3);   // a maximum below the minimum becomes the minimum
    EXPECT_EQ(box.maximum(), 10);
    EXPECT_EQ(box.value(), 10);

    CtvkDoubleSpinBox dbox;
    EXPECT_DOUBLE_EQ(dbox.maximum(), 99.99);
    EXPECT_EQ(dbox.decimals(), 2);
    dbox.setMaximum(2.5);
    dbox.setValue(7.0);
    EXPECT_DOUBLE_EQ(dbox.value(), 2.5);
    dbox.setMinimum(4.0);
    EXPECT_DOUBLE_EQ(dbox.maximum(), 4.0);
    EXPECT_DOUBLE_EQ(dbox.value(), 4.0);
    dbox.setValue(std::numeric_limits<double>::quiet_NaN());
    dbox.setMaximum(std::numeric_limits<double>::quiet_NaN());
    EXPECT_DOUBLE_EQ(dbox.value(), 4.0) << "not-a-number is no value";
    EXPECT_DOUBLE_EQ(dbox.maximum(), 4.0);
    // The value is kept as given; decimals only shape the text.
    dbox.setRange(0.0, 10.0);
    dbox.setValue(1.0 + 1e-11);
    EXPECT_EQ(dbox.value(), 1.0 + 1e-11);
    EXPECT_EQ(dbox.cleanText(), "1.00");
    dbox.setDecimals(400);
    EXPECT_EQ(dbox.decimals(), 323);
}

TEST(SpinBox, StepsWrapOnlyWhenWrappingIsOn)
{
    CtvkSpinBox box;
    box.setRange(0, 10);
    box.setSingleStep(4);
    box.setValue(8);
    box.stepBy(1);
    EXPECT_EQ(box.value(), 10);
    box.setWrapping(true);
    box.stepBy(1);
    EXPECT_EQ(box.value(), 0);
    box.stepBy(-1);
    EXPECT_EQ(box.value(), 10);
    box.setRange(INT_MIN, INT_MAX);
    box.setValue(INT_MAX);
    box.setWrapping(false);
    box.stepBy(INT_MAX);   // no overflow
    EXPECT_EQ(box.value(), INT_MAX);
}

TEST(SpinBox, TextIsPrefixValueSuffixOrTheSpecialValueText)
{
    CtvkSpinBox box;
    box.setPrefix("P=");
    box.setSuffix(" bar");
    box.setValue(12);
    EXPECT_EQ(box.text(), "P=12 bar");
    EXPECT_EQ(box.cleanText(), "12");
    box.setSpecialValueText("off");
    EXPECT_EQ(box.text(), "P=12 bar");
    box.setValue(0);
    EXPECT_EQ(box.text(), "off");
    EXPECT_EQ(box.cleanText(), "0");

    CtvkDoubleSpinBox dbox;
    dbox.setDecimals(3);
    dbox.setValue(2.5);
    EXPECT_EQ(dbox.text(), "2.500");
}

TEST(SpinBox, UserEditChangesTheValueWithoutSetValueThenEndsTheEdit)
{
    CtvkEventLoop loop;
    CountingSpinBox box;
    box.setPrefix("kg ");
    std::vector<int> seenAtEnd;
    CtvkObject::connect(&box, "editingFinished()", &box, std::function<void()>([&] { seenAtEnd.push_back(box.value()); }));
    int changes = 0;
    CtvkObject::connect<int>(&box, "valueChanged(int)", &box, [&](int) { ++changes; });

    EXPECT_TRUE(box.playUserEdit("  kg 12 "));
    EXPECT_EQ(box.value(), 12);
    EXPECT_EQ(box.virtualCalls, 0) << "an edit must not pass through the virtual setValue";
    EXPECT_EQ(seenAtEnd, std::vector<int>{12}) << "the signal comes once the value holds the edit";
    EXPECT_EQ(changes, 1);

    EXPECT_TRUE(box.playUserEdit("500"));   // taken into the range
    EXPECT_EQ(box.value(), 99);
    EXPECT_FALSE(box.playUserEdit("12abc"));
    EXPECT_FALSE(box.playUserEdit(""));
    EXPECT_EQ(box.value(), 99);
    EXPECT_EQ(seenAtEnd.size(), 4u) << "an edit ends whether or not the text was a number";

    box.setSpecialValueText("auto");
    EXPECT_TRUE(box.playUserEdit("auto"));
    EXPECT_EQ(box.value(), 0);

    box.setReadOnly(true);
    EXPECT_FALSE(box.playUserEdit("7"));
    box.setReadOnly(false);
    box.setEnabled(false);
    EXPECT_FALSE(box.playUserEdit("7"));
    EXPECT_EQ(box.value(), 0);
    EXPECT_EQ(seenAtEnd.size(), 5u);
    EXPECT_EQ(box.virtualCalls, 0);

    CtvkDoubleSpinBox dbox;
    EXPECT_TRUE(dbox.playUserEdit("+2.125"));
    EXPECT_DOUBLE_EQ(dbox.value(), 2.125);
    EXPECT_FALSE(dbox.playUserEdit("nan"));
    EXPECT_FALSE(dbox.playUserEdit("1e999"));
    EXPECT_DOUBLE_EQ(dbox.value(), 2.125);
}

TEST(SpinBox, BoxDestroyedByItsOwnChangeHandlerEndsTheEditQuietly)
{
    auto* box = new CtvkSpinBox;
    bool finished = false;
    CtvkObject::connect<int>(box, "valueChanged(int)", box, [box](int) { delete box; });
    CtvkObject::connect(box, "editingFinished()", box, std::function<void()>([&] { finished = true; }));
    EXPECT_TRUE(box->playUserEdit("5"));   // under ASan: no use after free
    EXPECT_FALSE(finished);
}

TEST(Widget, SizesStayWithinTheirLimits)
{
    CtvkWidget w;
    w.setGeometry(CtvkRect(1, 2, 300, 200));
    w.setMaximumSize(100, 50);
    EXPECT_EQ(w.size(), CtvkSize(100, 50));
    w.setMinimumSize(150, 20);   // above the maximum width: the maximum follows
    EXPECT_EQ(w.maximumSize(), CtvkSize(150, 50));
    EXPECT_EQ(w.size(), CtvkSize(150, 50));
    w.resize(CtvkSize(1, 1));
    EXPECT_EQ(w.size(), CtvkSize(150, 20));
    EXPECT_EQ(w.pos(), CtvkPoint(1, 2));
    w.setMinimumSize(-4, CtvkWidget::MaximumSize + 1);
    EXPECT_EQ(w.minimumSize(), CtvkSize(0, CtvkWidget::MaximumSize));
}

TEST(Widget, FocusAndActiveWindowAreOnePerProcess)
{
    CtvkWidget window;
    auto* a = new CtvkWidget(&window);
    auto* b = new CtvkWidget(&window);
    a->setFocus();
    EXPECT_TRUE(a->hasFocus());
    b->setFocus();
    EXPECT_FALSE(a->hasFocus());
    b->setEnabled(false);
    EXPECT_FALSE(b->hasFocus()) << "a disabled widget gives up its focus";
    a->setFocus();
    delete a;   // the focus goes with it
    CtvkWidget other;
    EXPECT_FALSE(other.hasFocus());
    b->activateWindow();
    EXPECT_TRUE(window.isActiveWindow());
    EXPECT_TRUE(b->isActiveWindow());
    EXPECT_FALSE(other.isActiveWindow());
    EXPECT_EQ(b->window(), &window);
}

TEST(Widget, ChildrenRectCoversTheVisibleChildWidgets)
{
    CtvkWidget parent;
    auto* a = new CtvkWidget(&parent);
    auto* b = new CtvkWidget(&parent);
    auto* hidden = new CtvkWidget(&parent);
    new CtvkObject(&parent);   // not a widget: ignored
    a->setGeometry(CtvkRect(10, 10, 20, 20));
    b->setGeometry(CtvkRect(50, 5, 10, 10));
    hidden->setGeometry(CtvkRect(500, 500, 10, 10));
    a->show();
    b->show();
    EXPECT_EQ(parent.childrenRect(), CtvkRect(10, 5, 50, 25));
    EXPECT_EQ(parent.childrenRegion().rects().size(), 2u);
}

} // namespace
