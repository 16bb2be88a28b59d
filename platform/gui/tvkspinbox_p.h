// SPDX-License-Identifier: MIT
#ifndef TVKSPINBOX_P_H
#define TVKSPINBOX_P_H

#include "tvkabstractspinbox_p.h"
#include "tvkspinbox.h"

namespace Quorvan {

class TVK_GUI_EXPORT CtvkSpinBoxPrivate : public CtvkAbstractSpinBoxPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkSpinBox)

    CtvkSpinBoxPrivate();
    ~CtvkSpinBoxPrivate() override;

    // Takes `v` into the range and announces a change; every way the value
    // changes ends here.
    void applyValue(int v);

    int value = 0;
    int minimum = 0;
    int maximum = 99;
    int singleStep = 1;
};

class TVK_GUI_EXPORT CtvkDoubleSpinBoxPrivate : public CtvkAbstractSpinBoxPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkDoubleSpinBox)

    CtvkDoubleSpinBoxPrivate();
    ~CtvkDoubleSpinBoxPrivate() override;

    void applyValue(double v);
    std::string textOf(double v) const;

    double value = 0.0;
    double minimum = 0.0;
    double maximum = 99.99;
    double singleStep = 1.0;
    int decimals = 2;
};

} // namespace Quorvan

#endif
