// SPDX-License-Identifier: MIT
#include "tvkabstractspinbox.h"
#include "tvkabstractspinbox_p.h"

#include <algorithm>
#include <memory>

namespace Quorvan {

namespace {

// A spin box's measures on a screen, in pixels.
constexpr int kCharWidthPx = 7;
constexpr int kButtonsWidthPx = 18;
constexpr int kFrameWidthPx = 4;
constexpr int kHeightPx = 22;
// A hint counts at most this many characters, and at least room for three.
constexpr std::size_t kMaxHintChars = 1000;
constexpr int kMinHintChars = 3;

int buttonsWidthPx(const CtvkAbstractSpinBox* box)
{
    return box->buttonSymbols() == CtvkAbstractSpinBox::NoButtons ? 0 : kButtonsWidthPx;
}

int frameWidthPx(const CtvkAbstractSpinBox* box) { return box->hasFrame() ? kFrameWidthPx : 0; }

std::string trimmed(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

bool startsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

bool endsWith(const std::string& s, const std::string& p)
{
    return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

} // namespace

CtvkAbstractSpinBoxPrivate::CtvkAbstractSpinBoxPrivate() = default;
CtvkAbstractSpinBoxPrivate::~CtvkAbstractSpinBoxPrivate() = default;

CtvkAbstractSpinBox::CtvkAbstractSpinBox(CtvkWidget* parent) : CtvkWidget(new CtvkAbstractSpinBoxPrivate, parent)
{
    init();
}

CtvkAbstractSpinBox::CtvkAbstractSpinBox(CtvkAbstractSpinBoxPrivate* d, CtvkWidget* parent)
    : CtvkWidget(d ? d : new CtvkAbstractSpinBoxPrivate, parent)
{
    init();
}

void CtvkAbstractSpinBox::init()
{
    setClassName("CtvkAbstractSpinBox");
    storeherits("CtvkAbstractSpinBox");
    [[maybe_unused]] static const bool signalsDeclared = tvkDeclareSignal("CtvkAbstractSpinBox", "editingFinished()");
    setFocusPolicy(TVK::WheelFocus);
    setSizePolicy(CtvkSizePolicy(CtvkSizePolicy::Minimum, CtvkSizePolicy::Fixed));
}

CtvkAbstractSpinBox::~CtvkAbstractSpinBox() = default;

CtvkSize CtvkAbstractSpinBox::sizeHint() const
{
    // Wide enough for the longer limit with prefix and suffix, a frame, and
    // the buttons.
    const std::size_t chars = prefix().size() + suffix().size()
                              + std::max({textFromLimit(false).size(), textFromLimit(true).size(), specialValueText().size()});
    return CtvkSize(static_cast<int>(std::min(chars, kMaxHintChars)) * kCharWidthPx + buttonsWidthPx(this)
                        + frameWidthPx(this),
                    kHeightPx);
}

CtvkSize CtvkAbstractSpinBox::minimumSizeHint() const
{
    return CtvkSize(kMinHintChars * kCharWidthPx + buttonsWidthPx(this) + frameWidthPx(this), kHeightPx);
}

void CtvkAbstractSpinBox::stepBy(int) {}
std::string CtvkAbstractSpinBox::textFromCurrentValue() const { return std::string(); }
std::string CtvkAbstractSpinBox::textFromLimit(bool) const { return std::string(); }
bool CtvkAbstractSpinBox::valueIsMinimum() const { return false; }
bool CtvkAbstractSpinBox::takeEditedText(const std::string&) { return false; }
bool CtvkAbstractSpinBox::takeMinimumFromEdit() { return false; }

std::string CtvkAbstractSpinBox::prefix() const { return d_func()->prefix; }
void CtvkAbstractSpinBox::setPrefix(const std::string& p) { d_func()->prefix = p; }
std::string CtvkAbstractSpinBox::suffix() const { return d_func()->suffix; }
void CtvkAbstractSpinBox::setSuffix(const std::string& s) { d_func()->suffix = s; }
std::string CtvkAbstractSpinBox::cleanText() const { return textFromCurrentValue(); }

std::string CtvkAbstractSpinBox::text() const
{
    const CtvkAbstractSpinBoxPrivate* d = d_func();
    if (!d->specialValueText.empty() && valueIsMinimum())
        return d->specialValueText;
    return d->prefix + textFromCurrentValue() + d->suffix;
}

bool CtvkAbstractSpinBox::wrapping() const { return d_func()->wrapping; }
void CtvkAbstractSpinBox::setWrapping(bool on) { d_func()->wrapping = on; }
bool CtvkAbstractSpinBox::hasFrame() const { return d_func()->frame; }
void CtvkAbstractSpinBox::setFrame(bool on) { d_func()->frame = on; }
TVK::Alignment CtvkAbstractSpinBox::alignment() const { return d_func()->alignment; }
void CtvkAbstractSpinBox::setAlignment(TVK::Alignment a) { d_func()->alignment = a; }
bool CtvkAbstractSpinBox::isReadOnly() const { return d_func()->readOnly; }
void CtvkAbstractSpinBox::setReadOnly(bool on) { d_func()->readOnly = on; }
CtvkAbstractSpinBox::ButtonSymbols CtvkAbstractSpinBox::buttonSymbols() const { return d_func()->buttonSymbols; }
void CtvkAbstractSpinBox::setButtonSymbols(ButtonSymbols b) { d_func()->buttonSymbols = b; }
std::string CtvkAbstractSpinBox::specialValueText() const { return d_func()->specialValueText; }
void CtvkAbstractSpinBox::setSpecialValueText(const std::string& t) { d_func()->specialValueText = t; }

bool CtvkAbstractSpinBox::playUserEdit(const std::string& typed)
{
    if (isReadOnly() || !isEnabled())
        return false;
    // A handler of the value's change may destroy the box; the table's stop
    // flag, raised by the destructor, tells us to touch nothing afterwards.
    const std::shared_ptr<CtvkConnectionTable> alive = sharedConnectionTable();
    const CtvkAbstractSpinBoxPrivate* d = d_func();
    std::string clean = trimmed(typed);
    bool taken = false;
    if (!d->specialValueText.empty() && clean == trimmed(d->specialValueText)) {
        taken = takeMinimumFromEdit();
    } else {
        if (!d->prefix.empty() && startsWith(clean, d->prefix))
            clean.erase(0, d->prefix.size());
        if (!d->suffix.empty() && endsWith(clean, d->suffix))
            clean.erase(clean.size() - d->suffix.size());
        taken = takeEditedText(trimmed(clean));
    }
    if (alive && alive->stop)
        return taken;
    transmit<void>("editingFinished()");
    return taken;
}

} // namespace Quorvan
