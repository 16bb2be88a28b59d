// SPDX-License-Identifier: MIT
#ifndef TVKWIDGET_P_H
#define TVKWIDGET_P_H

#include "tvkobject_p.h"
#include "tvkwidget.h"

#include <set>
#include <string>

namespace Quorvan {

class TVK_GUI_EXPORT CtvkWidgetPrivate : public CtvkObjectPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkWidget)

    CtvkWidgetPrivate();
    ~CtvkWidgetPrivate() override;

    // Keeps the geometry's size within the limits.
    void boundSize();

    CtvkRect geometry{0, 0, 100, 30};
    CtvkSize minimumSize{0, 0};
    CtvkSize maximumSize{CtvkWidget::MaximumSize, CtvkWidget::MaximumSize};
    CtvkSize sizeIncrement{0, 0};
    CtvkSize baseSize{0, 0};
    CtvkSizePolicy sizePolicy;
    CtvkPalette palette;
    CtvkFont font;
    std::set<int> attributes;
    TVK::FocusPolicy focusPolicy = TVK::NoFocus;
    TVK::LayoutDirection layoutDirection = TVK::LeftToRight;
    int windowState = TVK::WindowNoState;
    std::string windowTitle;
    bool modal = false;
    bool enabled = true;
    bool navigation = false;
    bool updatesEnabled = true;
    bool visible = false;
};

} // namespace Quorvan

#endif
