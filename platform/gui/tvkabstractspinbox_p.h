// SPDX-License-Identifier: MIT
#ifndef TVKABSTRACTSPINBOX_P_H
#define TVKABSTRACTSPINBOX_P_H

#include "tvkabstractspinbox.h"
#include "tvkwidget_p.h"

#include <string>

namespace Quorvan {

class TVK_GUI_EXPORT CtvkAbstractSpinBoxPrivate : public CtvkWidgetPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkAbstractSpinBox)

    CtvkAbstractSpinBoxPrivate();
    ~CtvkAbstractSpinBoxPrivate() override;

    std::string prefix;
    std::string suffix;
    std::string specialValueText;
    TVK::Alignment alignment = static_cast<TVK::Alignment>(TVK::AlignLeft | TVK::AlignVCenter);
    CtvkAbstractSpinBox::ButtonSymbols buttonSymbols = CtvkAbstractSpinBox::UpDownArrows;
    bool wrapping = false;
    bool frame = true;
    bool readOnly = false;
};

} // namespace Quorvan

#endif
