// SPDX-License-Identifier: MIT
#include "tvkspinbox.h"
#include "tvkspinbox_p.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <type_traits>

namespace Quorvan {

namespace {

// The most places a double has after the point (the smallest subnormal).
constexpr int kMaxDecimals = 323;

// A number as a user types it: optional sign, digits, nothing else.
template <class T>
bool parseNumber(const std::string& text, T* out)
{
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+' && begin + 1 != end && begin[1] != '-' && begin[1] != '+')
        ++begin;
    T v{};
    std::from_chars_result r;
    if constexpr (std::is_floating_point_v<T>)
        r = std::from_chars(begin, end, v, std::chars_format::general);
    else
        r = std::from_chars(begin, end, v, 10);
    if (begin == end || r.ec != std::errc() || r.ptr != end)
        return false;
    if constexpr (std::is_floating_point_v<T>)
        if (!std::isfinite(v))
            return false;
    *out = v;
    return true;
}

} // namespace

// ---------------------------------------------------------------- CtvkSpinBox

CtvkSpinBoxPrivate::CtvkSpinBoxPrivate() = default;
CtvkSpinBoxPrivate::~CtvkSpinBoxPrivate() = default;

void CtvkSpinBoxPrivate::applyValue(int v)
{
    v = std::clamp(v, minimum, maximum);
    if (v == value)
        return;
    value = v;
    // Last: a handler may destroy the box.
    mm_func()->transmit<void, int>(v, "valueChanged(int)");
}

CtvkSpinBox::CtvkSpinBox(CtvkWidget* parent) : CtvkAbstractSpinBox(new CtvkSpinBoxPrivate, parent)
{
    init();
}

CtvkSpinBox::CtvkSpinBox(CtvkSpinBoxPrivate* d, CtvkWidget* parent)
    : CtvkAbstractSpinBox(d ? d : new CtvkSpinBoxPrivate, parent)
{
    init();
}

void CtvkSpinBox::init()
{
    setClassName("CtvkSpinBox");
    storeherits("CtvkSpinBox");
    [[maybe_unused]] static const bool signalsDeclared = tvkDeclareSignal<int>("CtvkSpinBox", "valueChanged(int)");
}

CtvkSpinBox::~CtvkSpinBox() = default;

void CtvkSpinBox::stepBy(int steps)
{
    CtvkSpinBoxPrivate* d = d_func();
    long long v = static_cast<long long>(d->value) + static_cast<long long>(steps) * d->singleStep;
    if (d->wrapping && v > d->maximum)
        v = d->minimum;
    else if (d->wrapping && v < d->minimum)
        v = d->maximum;
    d->applyValue(static_cast<int>(std::clamp<long long>(v, d->minimum, d->maximum)));
}

int CtvkSpinBox::value() const { return d_func()->value; }
int CtvkSpinBox::maximum() const { return d_func()->maximum; }

void CtvkSpinBox::setMaximum(int max)
{
    CtvkSpinBoxPrivate* d = d_func();
    d->maximum = max;
    d->minimum = std::min(d->minimum, max);
    d->applyValue(d->value);
}

int CtvkSpinBox::minimum() const { return d_func()->minimum; }

void CtvkSpinBox::setMinimum(int min)
{
    CtvkSpinBoxPrivate* d = d_func();
    d->minimum = min;
    d->maximum = std::max(d->maximum, min);
    d->applyValue(d->value);
}

void CtvkSpinBox::setRange(int min, int max)
{
    CtvkSpinBoxPrivate* d = d_func();
    d->minimum = min;
    d->maximum = std::max(min, max);
    d->applyValue(d->value);
}

int CtvkSpinBox::singleStep() const { return d_func()->singleStep; }

void CtvkSpinBox::setSingleStep(int step)
{
    if (step >= 0)
        d_func()->singleStep = step;
}

void CtvkSpinBox::setValue(int value) { d_func()->applyValue(value); }

std::string CtvkSpinBox::textFromCurrentValue() const { return std::to_string(d_func()->value); }
std::string CtvkSpinBox::textFromLimit(bool maximum) const
{
    return std::to_string(maximum ? d_func()->maximum : d_func()->minimum);
}
bool CtvkSpinBox::valueIsMinimum() const { return d_func()->value == d_func()->minimum; }

bool CtvkSpinBox::takeEditedText(const std::string& clean)
{
    int v = 0;
    if (!parseNumber(clean, &v))
        return false;
    d_func()->applyValue(v);
    return true;
}

bool CtvkSpinBox::takeMinimumFromEdit()
{
    d_func()->applyValue(d_func()->minimum);
    return true;
}

// ---------------------------------------------------------- CtvkDoubleSpinBox

CtvkDoubleSpinBoxPrivate::CtvkDoubleSpinBoxPrivate() = default;
CtvkDoubleSpinBoxPrivate::~CtvkDoubleSpinBoxPrivate() = default;

void CtvkDoubleSpinBoxPrivate::applyValue(double v)
{
    if (std::isnan(v))
        return;
    v = std::clamp(v, minimum, maximum);
    if (v == value)
        return;
    value = v;
    // Last: a handler may destroy the box.
    mm_func()->transmit<void, double>(v, "valueChanged(double)");
}

std::string CtvkDoubleSpinBoxPrivate::textOf(double v) const
{
    const int n = std::snprintf(nullptr, 0, "%.*f", decimals, v);
    if (n <= 0)
        return std::string();
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%.*f", decimals, v);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

CtvkDoubleSpinBox::CtvkDoubleSpinBox(CtvkWidget* parent) : CtvkAbstractSpinBox(new CtvkDoubleSpinBoxPrivate, parent)
{
    init();
}

CtvkDoubleSpinBox::CtvkDoubleSpinBox(CtvkDoubleSpinBoxPrivate* d, CtvkWidget* parent)
    : CtvkAbstractSpinBox(d ? d : new CtvkDoubleSpinBoxPrivate, parent)
{
    init();
}

void CtvkDoubleSpinBox::init()
{
    setClassName("CtvkDoubleSpinBox");
    storeherits("CtvkDoubleSpinBox");
    [[maybe_unused]] static const bool signalsDeclared =
        tvkDeclareSignal<double>("CtvkDoubleSpinBox", "valueChanged(double)");
}

CtvkDoubleSpinBox::~CtvkDoubleSpinBox() = default;

void CtvkDoubleSpinBox::stepBy(int steps)
{
    CtvkDoubleSpinBoxPrivate* d = d_func();
    double v = d->value + steps * d->singleStep;
    if (d->wrapping && v > d->maximum)
        v = d->minimum;
    else if (d->wrapping && v < d->minimum)
        v = d->maximum;
    d->applyValue(v);
}

double CtvkDoubleSpinBox::value() const { return d_func()->value; }
double CtvkDoubleSpinBox::maximum() const { return d_func()->maximum; }

void CtvkDoubleSpinBox::setMaximum(double max)
{
    CtvkDoubleSpinBoxPrivate* d = d_func();
    if (std::isnan(max))
        return;
    d->maximum = max;
    d->minimum = std::min(d->minimum, max);
    d->applyValue(d->value);
}

double CtvkDoubleSpinBox::minimum() const { return d_func()->minimum; }

void CtvkDoubleSpinBox::setMinimum(double min)
{
    CtvkDoubleSpinBoxPrivate* d = d_func();
    if (std::isnan(min))
        return;
    d->minimum = min;
    d->maximum = std::max(d->maximum, min);
    d->applyValue(d->value);
}

void CtvkDoubleSpinBox::setRange(double min, double max)
{
    CtvkDoubleSpinBoxPrivate* d = d_func();
    if (std::isnan(min) || std::isnan(max))
        return;
    d->minimum = min;
    d->maximum = std::max(min, max);
    d->applyValue(d->value);
}

double CtvkDoubleSpinBox::singleStep() const { return d_func()->singleStep; }

void CtvkDoubleSpinBox::setSingleStep(double step)
{
    if (step >= 0.0)   // false for not-a-number too
        d_func()->singleStep = step;
}

int CtvkDoubleSpinBox::decimals() const { return d_func()->decimals; }
void CtvkDoubleSpinBox::setDecimals(int decimals) { d_func()->decimals = std::clamp(decimals, 0, kMaxDecimals); }
void CtvkDoubleSpinBox::setValue(double value) { d_func()->applyValue(value); }
std::string CtvkDoubleSpinBox::textFromCurrentValue() const { return d_func()->textOf(d_func()->value); }
std::string CtvkDoubleSpinBox::textFromLimit(bool maximum) const
{
    return d_func()->textOf(maximum ? d_func()->maximum : d_func()->minimum);
}
bool CtvkDoubleSpinBox::valueIsMinimum() const { return d_func()->value == d_func()->minimum; }

bool CtvkDoubleSpinBox::takeEditedText(const std::string& clean)
{
    double v = 0.0;
    if (!parseNumber(clean, &v))
        return false;
    d_func()->applyValue(v);
    return true;
}

bool CtvkDoubleSpinBox::takeMinimumFromEdit()
{
    d_func()->applyValue(d_func()->minimum);
    return true;
}

} // namespace Quorvan
