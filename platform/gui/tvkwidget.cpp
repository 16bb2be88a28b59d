// SPDX-License-Identifier: MIT
#include "tvkwidget.h"
#include "tvkwidget_p.h"

#include <algorithm>

namespace Quorvan {

namespace {

// One focus widget and one active window per process, as on a screen.
// Widgets live on the thread of the event loop; nothing else touches these.
CtvkWidget* s_focusWidget = nullptr;
CtvkWidget* s_activeWindow = nullptr;

int boundedExtent(int v) { return std::clamp(v, 0, CtvkWidget::MaximumSize); }

} // namespace

CtvkWidgetPrivate::CtvkWidgetPrivate() = default;
CtvkWidgetPrivate::~CtvkWidgetPrivate() = default;

void CtvkWidgetPrivate::boundSize()
{
    geometry = CtvkRect(geometry.topLeft(),
                        CtvkSize(std::clamp(geometry.width(), minimumSize.width(), maximumSize.width()),
                                 std::clamp(geometry.height(), minimumSize.height(), maximumSize.height())));
}

CtvkWidget::CtvkWidget(CtvkWidget* parent) : CtvkObject(new CtvkWidgetPrivate, parent)
{
    init();
}

CtvkWidget::CtvkWidget(CtvkWidgetPrivate* d, CtvkWidget* parent)
    : CtvkObject(d ? d : new CtvkWidgetPrivate, parent)
{
    init();
}

void CtvkWidget::init()
{
    setClassName("CtvkWidget");
    storeherits("CtvkWidget");
}

CtvkWidget::~CtvkWidget()
{
    if (s_focusWidget == this)
        s_focusWidget = nullptr;
    if (s_activeWindow == this)
        s_activeWindow = nullptr;
}

// The table itself, tvk_static_metacall, is built into libtvk_boundedit.
bool CtvkWidget::tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args)
{
    if (tvk_static_metacall(this, call, name, args))
        return true;
    return CtvkObject::tvk_metacall(call, name, args);
}

void CtvkWidget::setVisible(bool visible) { d_func()->visible = visible; }
CtvkSize CtvkWidget::sizeHint() const { return CtvkSize(-1, -1); }
CtvkSize CtvkWidget::minimumSizeHint() const { return CtvkSize(-1, -1); }
void CtvkWidget::setDataID(unsigned) {}
void CtvkWidget::setMaxDataID(unsigned) {}
void CtvkWidget::setMinDataID(unsigned) {}
unsigned CtvkWidget::dataID() const { return 0; }
unsigned CtvkWidget::maxDataID() const { return 0; }
unsigned CtvkWidget::minDataID() const { return 0; }

CtvkWidget* CtvkWidget::parentWidget() const
{
    CtvkObject* p = parent();
    return p && p->inherits("CtvkWidget") ? dynamic_cast<CtvkWidget*>(p) : nullptr;
}

CtvkWidget* CtvkWidget::window() const
{
    const CtvkWidget* w = this;
    while (CtvkWidget* p = w->parentWidget())
        w = p;
    return const_cast<CtvkWidget*>(w);
}

bool CtvkWidget::isModal() const { return d_func()->modal; }
void CtvkWidget::setModal(bool modal) { d_func()->modal = modal; }
bool CtvkWidget::isEnabled() const { return d_func()->enabled; }

void CtvkWidget::setEnabled(bool enabled)
{
    d_func()->enabled = enabled;
    if (!enabled)
        clearFocus();
}

CtvkRect CtvkWidget::geometry() const { return d_func()->geometry; }

void CtvkWidget::setGeometry(const CtvkRect& r)
{
    d_func()->geometry = r;
    d_func()->boundSize();
}

CtvkRect CtvkWidget::frameGeometry() const { return d_func()->geometry; }
int CtvkWidget::x() const { return d_func()->geometry.x(); }
int CtvkWidget::y() const { return d_func()->geometry.y(); }
CtvkPoint CtvkWidget::pos() const { return d_func()->geometry.topLeft(); }
void CtvkWidget::move(const CtvkPoint& p) { d_func()->geometry = CtvkRect(p, d_func()->geometry.size()); }
CtvkSize CtvkWidget::frameSize() const { return d_func()->geometry.size(); }
CtvkSize CtvkWidget::size() const { return d_func()->geometry.size(); }
void CtvkWidget::resize(const CtvkSize& s) { setGeometry(CtvkRect(pos(), s)); }
int CtvkWidget::width() const { return d_func()->geometry.width(); }
int CtvkWidget::height() const { return d_func()->geometry.height(); }
CtvkRect CtvkWidget::rect() const { return CtvkRect(CtvkPoint(0, 0), size()); }

CtvkRect CtvkWidget::childrenRect() const { return childrenRegion().boundingRect(); }

CtvkRegion CtvkWidget::childrenRegion() const
{
    CtvkRegion region;
    for (CtvkObject* child : children())
        if (child && child->inherits("CtvkWidget"))
            if (auto* w = dynamic_cast<CtvkWidget*>(child); w && w->isVisible())
                region.unite(w->geometry());
    return region;
}

CtvkSizePolicy CtvkWidget::sizePolicy() const { return d_func()->sizePolicy; }
void CtvkWidget::setSizePolicy(const CtvkSizePolicy& p) { d_func()->sizePolicy = p; }
CtvkSize CtvkWidget::minimumSize() const { return d_func()->minimumSize; }

void CtvkWidget::setMinimumSize(int w, int h)
{
    CtvkWidgetPrivate* d = d_func();
    w = boundedExtent(w);
    h = boundedExtent(h);
    d->minimumSize = CtvkSize(w, h);
    d->maximumSize = CtvkSize(std::max(w, d->maximumSize.width()), std::max(h, d->maximumSize.height()));
    d->boundSize();
}

void CtvkWidget::setMinimumWidth(int w) { setMinimumSize(w, minimumSize().height()); }
void CtvkWidget::setMinimumHeight(int h) { setMinimumSize(minimumSize().width(), h); }
CtvkSize CtvkWidget::maximumSize() const { return d_func()->maximumSize; }

void CtvkWidget::setMaximumSize(int w, int h)
{
    CtvkWidgetPrivate* d = d_func();
    w = boundedExtent(w);
    h = boundedExtent(h);
    d->maximumSize = CtvkSize(w, h);
    d->minimumSize = CtvkSize(std::min(w, d->minimumSize.width()), std::min(h, d->minimumSize.height()));
    d->boundSize();
}

CtvkSize CtvkWidget::sizeIncrement() const { return d_func()->sizeIncrement; }
void CtvkWidget::setSizeIncrement(int w, int h) { d_func()->sizeIncrement = CtvkSize(boundedExtent(w), boundedExtent(h)); }
CtvkSize CtvkWidget::baseSize() const { return d_func()->baseSize; }
void CtvkWidget::setBaseSize(int w, int h) { d_func()->baseSize = CtvkSize(boundedExtent(w), boundedExtent(h)); }
CtvkPalette CtvkWidget::palette() const { return d_func()->palette; }
void CtvkWidget::setPalette(const CtvkPalette& p) { d_func()->palette = p; }
CtvkFont CtvkWidget::font() const { return d_func()->font; }
void CtvkWidget::setFont(const CtvkFont& f) { d_func()->font = f; }
bool CtvkWidget::testAttribute(TVK::WidgetAttribute a) const { return d_func()->attributes.count(a) != 0; }

void CtvkWidget::setAttribute(TVK::WidgetAttribute a, bool on)
{
    if (on)
        d_func()->attributes.insert(a);
    else
        d_func()->attributes.erase(a);
}

bool CtvkWidget::isActiveWindow() const { return s_activeWindow && s_activeWindow == window(); }
void CtvkWidget::activateWindow() { s_activeWindow = window(); }
TVK::FocusPolicy CtvkWidget::focusPolicy() const { return d_func()->focusPolicy; }
void CtvkWidget::setFocusPolicy(TVK::FocusPolicy p) { d_func()->focusPolicy = p; }
bool CtvkWidget::navigation() const { return d_func()->navigation; }
void CtvkWidget::setNavigation(bool on) { d_func()->navigation = on; }
bool CtvkWidget::hasFocus() const { return s_focusWidget == this; }

void CtvkWidget::setFocus()
{
    if (isEnabled())
        s_focusWidget = this;
}

void CtvkWidget::clearFocus()
{
    if (s_focusWidget == this)
        s_focusWidget = nullptr;
}

bool CtvkWidget::updateEnables() const { return d_func()->updatesEnabled; }
void CtvkWidget::setUpdateEnables(bool on) { d_func()->updatesEnabled = on; }
bool CtvkWidget::isVisible() const { return d_func()->visible; }
int CtvkWidget::windowState() const { return d_func()->windowState; }

void CtvkWidget::setWindowState(int state)
{
    d_func()->windowState = state & (TVK::WindowMinimized | TVK::WindowMaximized | TVK::WindowFullScreen);
}

bool CtvkWidget::isMinimized() const { return (d_func()->windowState & TVK::WindowMinimized) != 0; }
bool CtvkWidget::isMaximized() const { return (d_func()->windowState & TVK::WindowMaximized) != 0; }
bool CtvkWidget::isFullScreen() const { return (d_func()->windowState & TVK::WindowFullScreen) != 0; }
std::string CtvkWidget::windowTitle() const { return d_func()->windowTitle; }
void CtvkWidget::setWindowTitle(const std::string& title) { d_func()->windowTitle = title; }
TVK::LayoutDirection CtvkWidget::layoutDirection() const { return d_func()->layoutDirection; }
void CtvkWidget::setLayoutDirection(TVK::LayoutDirection d) { d_func()->layoutDirection = d; }

} // namespace Quorvan
