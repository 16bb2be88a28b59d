// SPDX-License-Identifier: MIT
// Property access by name for the widget classes under the bound spin boxes.
// The framework declares these operations with its classes and leaves their
// definitions to this library, so a panel has them whichever build of the
// framework it runs on. They reach the widgets through public operations only.
#include "tvkproperty_p.h"
#include "tvkspinbox.h"

namespace Quorvan {

namespace {

template <class T>
T& arg(void* p) { return tvkPropertyArg<T>(p); }

using W = CtvkWidget;
using Entry = CtvkPropertyEntry<CtvkWidget>;

// The widget properties; 39 names, 22 of them writable.
const Entry kWidgetProperties[] = {
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

// Both spin boxes: the text around the value, and what CtvkAbstractSpinBox
// adds (wrapping ... text).
using B = CtvkAbstractSpinBox;
const CtvkPropertyEntry<CtvkAbstractSpinBox> kSpinBoxProperties[] = {
    {"prefix", "std::string", [](B* b, void* o) { tvkPropertyReadString(o, b->prefix()); },
     [](B* b, void* i) { b->setPrefix(arg<std::string>(i)); }},
    {"suffix", "std::string", [](B* b, void* o) { tvkPropertyReadString(o, b->suffix()); },
     [](B* b, void* i) { b->setSuffix(arg<std::string>(i)); }},
    {"cleanText", "std::string", [](B* b, void* o) { tvkPropertyReadString(o, b->cleanText()); }, nullptr},
    {"wrapping", "bool", [](B* b, void* o) { arg<bool>(o) = b->wrapping(); },
     [](B* b, void* i) { b->setWrapping(arg<bool>(i)); }},
    {"frame", "bool", [](B* b, void* o) { arg<bool>(o) = b->hasFrame(); }, [](B* b, void* i) { b->setFrame(arg<bool>(i)); }},
    {"alignment", "TVK::Alignment", [](B* b, void* o) { arg<TVK::Alignment>(o) = b->alignment(); },
     [](B* b, void* i) { b->setAlignment(arg<TVK::Alignment>(i)); }},
    {"readOnly", "bool", [](B* b, void* o) { arg<bool>(o) = b->isReadOnly(); },
     [](B* b, void* i) { b->setReadOnly(arg<bool>(i)); }},
    {"buttonSymbols", "ButtonSymbols", [](B* b, void* o) { arg<B::ButtonSymbols>(o) = b->buttonSymbols(); },
     [](B* b, void* i) { b->setButtonSymbols(arg<B::ButtonSymbols>(i)); }},
    {"specialValueText", "std::string", [](B* b, void* o) { tvkPropertyReadString(o, b->specialValueText()); },
     [](B* b, void* i) { b->setSpecialValueText(arg<std::string>(i)); }},
    {"text", "std::string", [](B* b, void* o) { tvkPropertyReadString(o, b->text()); }, nullptr},
};

template <class T>
constexpr const char* kTypeName = nullptr;
template <>
constexpr const char* kTypeName<int> = "int";
template <>
constexpr const char* kTypeName<double> = "double";

// The value and its range, typed as the box holds them. The box's own
// setMaximum/setMinimum, which a subclass may hide but cannot replace;
// "value" goes through the virtual setValue().
template <class Box, class T = decltype(std::declval<Box>().value())>
const CtvkPropertyEntry<Box> kRangeProperties[] = {
    {"maximum", kTypeName<T>, [](Box* b, void* o) { arg<T>(o) = b->maximum(); },
     [](Box* b, void* i) { b->Box::setMaximum(arg<T>(i)); }},
    {"minimum", kTypeName<T>, [](Box* b, void* o) { arg<T>(o) = b->minimum(); },
     [](Box* b, void* i) { b->Box::setMinimum(arg<T>(i)); }},
    {"singleStep", kTypeName<T>, [](Box* b, void* o) { arg<T>(o) = b->singleStep(); },
     [](Box* b, void* i) { b->setSingleStep(arg<T>(i)); }},
    {"value", kTypeName<T>, [](Box* b, void* o) { arg<T>(o) = b->value(); },
     [](Box* b, void* i) { b->setValue(arg<T>(i)); }},
};

using D = CtvkDoubleSpinBox;
const CtvkPropertyEntry<CtvkDoubleSpinBox> kDecimalsProperty[] = {
    {"decimals", "int", [](D* b, void* o) { arg<int>(o) = b->decimals(); },
     [](D* b, void* i) { b->setDecimals(arg<int>(i)); }},
};

// A spin box's own names, then the widget's, then the object's one property.
template <class Box>
bool spinBoxMetacall(Box* box, CtvkMetaProperty::Call call, const char* name, void** args)
{
    if (!args || !name)
        return CtvkWidget::tvk_static_metacall(box, call, name, args);
    return tvkPropertyCall(kRangeProperties<Box>, box, call, name, args)
           || tvkPropertyCall(kSpinBoxProperties, static_cast<CtvkAbstractSpinBox*>(box), call, name, args)
           || CtvkWidget::tvk_static_metacall(box, call, name, args)
           || box->CtvkObject::tvk_metacall(call, name, args);
}

} // namespace

bool CtvkWidget::tvk_static_metacall(CtvkObject* object, CtvkMetaProperty::Call call, const char* name, void** args)
{
    if (!object || !name || !args || call < CtvkMetaProperty::ReadProperty
        || call > CtvkMetaProperty::QueryPropertyType)
        return false;
    auto* widget = dynamic_cast<CtvkWidget*>(object);
    if (!widget)
        return false;
    return tvkPropertyCall(kWidgetProperties, widget, call, name, args);
}

bool CtvkSpinBox::tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args)
{
    return spinBoxMetacall(this, call, name, args);
}

bool CtvkDoubleSpinBox::tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args)
{
    return tvkPropertyCall(kDecimalsProperty, this, call, name, args) || spinBoxMetacall(this, call, name, args);
}

} // namespace Quorvan
