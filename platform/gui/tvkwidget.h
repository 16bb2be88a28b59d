// SPDX-License-Identifier: MIT
#ifndef TVKWIDGET_H
#define TVKWIDGET_H

#include "tvkguitypes.h"
#include "tvkobject.h"

#include <string>

namespace Quorvan {

class CtvkWidgetPrivate;

// A headless widget: nothing is drawn, but every property holds real state
// and behaves as on a screen (sizes stay within their limits, focus and the
// active window are one per process, a disabled widget gives up its focus).
// A widget is visible once shown (setVisible(true) or show()).
class TVK_GUI_EXPORT CtvkWidget : public CtvkObject, public CtvkPaintDevice {
public:
    TVK_DECLARE_PRIVATE(CtvkWidget)

    // Sizes are bounded by this on both axes.
    static constexpr int MaximumSize = 16777215;

    explicit CtvkWidget(CtvkWidget* parent = nullptr);
    ~CtvkWidget() override;

    bool tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args) override;
    // The property table every widget answers (39 names, 22 of them
    // writable); answers false for null input, for a call other than 0 to 3
    // and for an object that is no widget. Defined in libtvk_boundedit, with
    // the spin boxes' tables: a program that uses widgets loads it too.
    static bool tvk_static_metacall(CtvkObject* object, CtvkMetaProperty::Call call, const char* name, void** args);

    virtual void setVisible(bool visible);
    virtual CtvkSize sizeHint() const;          // (-1, -1): no preference
    virtual CtvkSize minimumSizeHint() const;   // (-1, -1): no preference
    // The process data a widget follows; a plain widget follows none.
    virtual void setDataID(unsigned id);
    virtual void setMaxDataID(unsigned id);
    virtual void setMinDataID(unsigned id);
    virtual unsigned dataID() const;
    virtual unsigned maxDataID() const;
    virtual unsigned minDataID() const;

    CtvkWidget* parentWidget() const;
    // The outermost widget above this one (itself when it has no parent widget).
    CtvkWidget* window() const;

    bool isModal() const;
    void setModal(bool modal);
    bool isEnabled() const;
    void setEnabled(bool enabled);

    CtvkRect geometry() const;
    void setGeometry(const CtvkRect& r);     // the size is kept within the size limits
    CtvkRect frameGeometry() const;           // no window frame here: the geometry
    int x() const;
    int y() const;
    CtvkPoint pos() const;
    void move(const CtvkPoint& p);
    CtvkSize frameSize() const;
    CtvkSize size() const;
    void resize(const CtvkSize& s);
    int width() const;
    int height() const;
    CtvkRect rect() const;
    // Geometries of the visible child widgets: their bounding rectangle, and
    // the rectangles themselves.
    CtvkRect childrenRect() const;
    CtvkRegion childrenRegion() const;

    CtvkSizePolicy sizePolicy() const;
    void setSizePolicy(const CtvkSizePolicy& p);
    // Raising the minimum above the maximum raises the maximum with it, and
    // lowering the maximum below the minimum lowers the minimum; the size
    // follows. Values are bounded to 0..MaximumSize.
    CtvkSize minimumSize() const;
    void setMinimumSize(int w, int h);
    void setMinimumWidth(int w);
    void setMinimumHeight(int h);
    CtvkSize maximumSize() const;
    void setMaximumSize(int w, int h);
    CtvkSize sizeIncrement() const;
    void setSizeIncrement(int w, int h);
    CtvkSize baseSize() const;
    void setBaseSize(int w, int h);

    CtvkPalette palette() const;
    void setPalette(const CtvkPalette& p);
    CtvkFont font() const;
    void setFont(const CtvkFont& f);
    bool testAttribute(TVK::WidgetAttribute a) const;
    void setAttribute(TVK::WidgetAttribute a, bool on = true);

    bool isActiveWindow() const;
    void activateWindow();
    TVK::FocusPolicy focusPolicy() const;
    void setFocusPolicy(TVK::FocusPolicy p);
    bool navigation() const;
    void setNavigation(bool on);
    bool hasFocus() const;
    void setFocus();       // a disabled widget does not take the focus
    void clearFocus();
    bool updateEnables() const;
    void setUpdateEnables(bool on);

    bool isVisible() const;
    void show() { setVisible(true); }
    void hide() { setVisible(false); }
    int windowState() const;                  // TVK::WindowState flags
    void setWindowState(int state);
    bool isMinimized() const;
    bool isMaximized() const;
    bool isFullScreen() const;

    std::string windowTitle() const;
    void setWindowTitle(const std::string& title);
    TVK::LayoutDirection layoutDirection() const;
    void setLayoutDirection(TVK::LayoutDirection d);

protected:
    CtvkWidget(CtvkWidgetPrivate* d, CtvkWidget* parent);

private:
    void init();
};

} // namespace Quorvan

#endif
