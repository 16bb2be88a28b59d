// SPDX-License-Identifier: MIT
#ifndef TVKSPINBOX_H
#define TVKSPINBOX_H

#include "tvkabstractspinbox.h"

namespace Quorvan {

class CtvkSpinBoxPrivate;
class CtvkDoubleSpinBoxPrivate;

// An integer spin box. The value always lies within [minimum, maximum]:
// a value set outside is taken to the nearer limit, and a limit set past
// the other one moves that one along (and the value with them).
//
// Signal "valueChanged(int)": the value changed, by any way.
class TVK_GUI_EXPORT CtvkSpinBox : public CtvkAbstractSpinBox {
public:
    TVK_DECLARE_PRIVATE(CtvkSpinBox)

    explicit CtvkSpinBox(CtvkWidget* parent = nullptr);
    ~CtvkSpinBox() override;

    // Defined in libtvk_boundedit, as are CtvkDoubleSpinBox::tvk_metacall and
    // CtvkWidget::tvk_static_metacall.
    bool tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args) override;
    void stepBy(int steps) override;

    int value() const;
    int maximum() const;
    void setMaximum(int max);
    int minimum() const;
    void setMinimum(int min);
    void setRange(int min, int max);
    int singleStep() const;
    void setSingleStep(int step);   // negative steps are ignored

    virtual void setValue(int value);

protected:
    CtvkSpinBox(CtvkSpinBoxPrivate* d, CtvkWidget* parent);
    std::string textFromCurrentValue() const override;
    std::string textFromLimit(bool maximum) const override;
    bool valueIsMinimum() const override;
    bool takeEditedText(const std::string& clean) override;
    bool takeMinimumFromEdit() override;

private:
    void init();
};

// A floating-point spin box, with the same range rules as CtvkSpinBox. The
// value is kept as given, unrounded; decimals() is how many places the text
// shows. Not-a-number is no value: setting it, as value or as a limit,
// changes nothing.
//
// Signal "valueChanged(double)": the value changed, by any way.
class TVK_GUI_EXPORT CtvkDoubleSpinBox : public CtvkAbstractSpinBox {
public:
    TVK_DECLARE_PRIVATE(CtvkDoubleSpinBox)

    explicit CtvkDoubleSpinBox(CtvkWidget* parent = nullptr);
    ~CtvkDoubleSpinBox() override;

    bool tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args) override;
    void stepBy(int steps) override;

    double value() const;
    double maximum() const;
    void setMaximum(double max);
    double minimum() const;
    void setMinimum(double min);
    void setRange(double min, double max);
    double singleStep() const;
    void setSingleStep(double step);   // negative steps and not-a-number are ignored
    int decimals() const;
    void setDecimals(int decimals);    // bounded to 0..323

    virtual void setValue(double value);

protected:
    CtvkDoubleSpinBox(CtvkDoubleSpinBoxPrivate* d, CtvkWidget* parent);
    std::string textFromCurrentValue() const override;
    std::string textFromLimit(bool maximum) const override;
    bool valueIsMinimum() const override;
    bool takeEditedText(const std::string& clean) override;
    bool takeMinimumFromEdit() override;

private:
    void init();
};

} // namespace Quorvan

#endif
