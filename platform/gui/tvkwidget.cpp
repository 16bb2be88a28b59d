#include "tvkwidget.h"
#include "tvkwidget_p.h"

#include "tvkproperty_p.h"

#include <algorithm>

namespace Quorvan {

namespace {

// One focus widget and one active window per process, as on a screen.
// Widgets live on the thread of the event loop; nothing else touches these.
CtvkWidget* s_focusWidget = nullptr;
CtvkWidget* s_activeWindow = nullptr;

int boundedExtent(int v) { return std::clamp(v, 0, CtvkWidget::MaximumSize); }

using W = CtvkWidget;
using Entry = CtvkPropertyEntry<CtvkWidget>;
template <class T>
T& arg(void* p) { return tvkPropertyArg<T>(p); }

// The widget properties; 39 names, 22 of them writable.
const Entry widgetProperties[] = {
    {"modal", "bool", [](W* w, void* o) { arg<bool>(o) = w->isModal(); }, nullptr},
    {"enabled", "bool", [](W* w, void* o) { arg<bool>(o) = w->isEnabled(); },
     [](W* w, void* i) { w->setEnabled(arg<bool>(i)); }},
    {"geometry", "CtvkRect", [](W* w, void* o) { arg<CtvkRect>(o) = w->geometry(); },
     [](W* w, void* i) { w->setGeometry(arg<CtvkRect>(i)); }},
    {"frameGeometry", "CtvkRect", [](W* w, void* o) { arg<CtvkRect>(o) = w->frameGeometry(); }, nullptr},
    {"x", "int", [](W* w, void* o) { arg<int>(o) = w->x(); }, nullptr},
    {"y", "int", [](W* w, void* o) { arg<int>(o) = w->y(); }, nullptr},
    {"pos", "CtvkPoint", [](W* w, void* o) { arg<CtvkPoint>(o) = w->pos(); },
     [](W* w, void* i) { w->move(arg<CtvkPoint>(i)); }},
    {"frameSize", "CtvkSize", [](W* w, void* o) { arg<CtvkSize>(o) = w->frameSize(); }, nullptr},
    {"size", "CtvkSize", [](W* w, void* o) { arg<CtvkSize>(o) = w->size(); },
     [](W* w, void* i) { w->resize(arg<CtvkSize>(i)); }},
    {"width", "int", [](W* w, void* o) { arg<int>(o) = w->width(); }, nullptr},
    {"height", "int", [](W* w, void* o) { arg<int>(o) = w->height(); }, nullptr},
    {"rect", "CtvkRect", [](W* w, void* o) { arg<CtvkRect>(o) = w->rect(); }, nullptr},
    {"childrenRect", "CtvkRect", [](W* w, void* o) { arg<CtvkRect>(o) = w->childrenRect(); }, nullptr},
    {"childrenRegion", "CtvkRegion", [](W* w, void* o) { arg<CtvkRegion>(o) = w->childrenRegion(); }, nullptr},
    {"sizePolicy", "CtvkSizePolicy", [](W* w, void* o) { arg<CtvkSizePolicy>(o) = w->sizePolicy(); },
     [](W* w, void* i) { w->setSizePolicy(arg<CtvkSizePolicy>(i)); }},
    {"minimumSize", "CtvkSize", [](W* w, void* o) { arg<CtvkSize>(o) = w->minimumSize(); },
     [](W* w, void* i) { w->setMinimumSize(arg<CtvkSize>(i).width(), arg<CtvkSize>(i).height()); }},
    {"maximumSize", "CtvkSize", [](W* w, void* o) { arg<CtvkSize>(o) = w->maximumSize(); },
     [](W* w, void* i) { w->setMaximumSize(arg<CtvkSize>(i).width(), arg<CtvkSize>(i).height()); }},
    {"minimumWidth", "int", [](W* w, void* o) { arg<int>(o) = w->minimumSize().width(); },
     [](W* w, void* i) { w->setMinimumWidth(arg<int>(i)); }},
    {"minimumHeight", "int", [](W* w, void* o) { arg<int>(o) = w->minimumSize().height(); },
     [](W* w, void* i) { w->setMinimumHeight(arg<int>(i)); }},
    {"maximumWidth", "int", [](W* w, void* o) { arg<int>(o) = w->maximumSize().width(); },
     [](W* w, void* i) { w->setMaximumSize(arg<int>(i), w->maximumSize().height()); }},
    {"maximumHeight", "int", [](W* w, void* o) { arg<int>(o) = w->maximumSize().height(); },
     [](W* w, void* i) { w->setMaximumSize(w->maximumSize().width(), arg<int>(i)); }},
    {"sizeIncrement", "CtvkSize", [](W* w, void* o) { arg<CtvkSize>(o) = w->sizeIncrement(); },
     [](W* w, void* i) { w->setSizeIncrement(arg<CtvkSize>(i).width(), arg<CtvkSize>(i).height()); }},
    {"baseSize", "CtvkSize", [](W* w, void* o) { arg<CtvkSize>(o) = w->baseSize(); },
     [](W* w, void* i) { w->setBaseSize(arg<CtvkSize>(i).width(), arg<CtvkSize>(i).height()); }},
    {"palette", "CtvkPalette", [](W* w, void* o) { arg<CtvkPalette>(o) = w->palette(); },
     [](W* w, void* i) { w->setPalette(arg<CtvkPalette>(i)); }},
    {"font", "CtvkFont", [](W* w, void* o) { arg<CtvkFont>(o) = w->font(); },
     [](W* w, void* i) { w->setFont(arg<CtvkFont>(i)); }},
    {"mouseTracking", "bool", [](W* w, void* o) { arg<bool>(o) = w->testAttribute(TVK::WA_MouseTracking); },
     [](W* w, void* i) { w->setAttribute(TVK::WA_MouseTracking, arg<bool>(i)); }},
    {"isActiveWindow", "bool", [](W* w, void* o) { arg<bool>(o) = w->isActiveWindow(); }, nullptr},
    {"focusPolicy", "TVK::FocusPolicy", [](W* w, void* o) { arg<TVK::FocusPolicy>(o) = w->focusPolicy(); },
     [](W* w, void* i) { w->setFocusPolicy(arg<TVK::FocusPolicy>(i)); }},
    {"navigation", "bool", [](W* w, void* o) { arg<bool>(o) = w->navigation(); },
     [](W* w, void* i) { w->setNavigation(arg<bool>(i)); }},
    {"focus", "bool", [](W* w, void* o) { arg<bool>(o) = w->hasFocus(); }, nullptr},
    {"updatesEnabled", "bool", [](W* w, void* o) { arg<bool>(o) = w->updateEnables(); },
     [](W* w, void* i) { w->setUpdateEnables(arg<bool>(i)); }},
    {"visible", "bool", [](W* w, void* o) { arg<bool>(o) = w->isVisible(); },
     [](W* w, void* i) { w->setVisible(arg<bool>(i)); }},
    {"minimized", "bool", [](W* w, void* o) { arg<bool>(o) = w->isMinimized(); }, nullptr},
    {"maximized", "bool", [](W* w, void* o) { arg<bool>(o) = w->isMaximized(); }, nullptr},
    {"fullScreen", "bool", [](W* w, void* o) { arg<bool>(o) = w->isFullScreen(); }, nullptr},
    {"sizeHint", "CtvkSize", [](W* w, void* o) { arg<CtvkSize>(o) = w->sizeHint(); }, nullptr},
    {"minimumSizeHint", "CtvkSize", [](W* w, void* o) { arg<CtvkSize>(o) = w->minimumSizeHint(); }, nullptr},
    {"windowTitle", "std::string", [](W* w, void* o) { tvkPropertyReadString(o, w->windowTitle()); },
     [](W* w, void* i) { w->setWindowTitle(arg<std::string>(i)); }},
    {"layoutDirection", "TVK::LayoutDirection",
     [](W* w, void* o) { arg<TVK::LayoutDirection>(o) = w->layoutDirection(); },
     [](W* w, void* i) { w->setLayoutDirection(arg<TVK::LayoutDirection>(i)); }},
};

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

bool CtvkWidget::tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args)
{
    if (tvk_static_metacall(this, call, name, args))
        return true;
    return CtvkObject::tvk_metacall(call, name, args);
}

bool CtvkWidget::tvk_static_metacall(CtvkObject* object, CtvkMetaProperty::Call call, const char* name, void** args)
{
    if (!object || !name || !args || call < CtvkMetaProperty::ReadProperty
        || call > CtvkMetaProperty::QueryPropertyType)
        return false;
    auto* widget = dynamic_cast<CtvkWidget*>(object);
    if (!widget)
        return false;
    return tvkPropertyCall(widgetProperties, widget, call, name, args);
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
