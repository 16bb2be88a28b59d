// SPDX-License-Identifier: MIT
#ifndef TVKSPINBOXSENSOR_P_H
#define TVKSPINBOXSENSOR_P_H

#include "tvkspinbox_p.h"
#include "tvkspinboxsensor.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace Quorvan {

// What a bound box holds beyond its spin box: the three identifiers it
// follows (0: not bound).
template <class SpinBoxPrivate>
class CtvkBoundSpinBoxPrivate : public SpinBoxPrivate {
public:
    unsigned valueId = 0;
    unsigned maxId = 0;
    unsigned minId = 0;
};

class CtvkSpinBoxSensorPrivate : public CtvkBoundSpinBoxPrivate<CtvkSpinBoxPrivate> {
public:
    TVK_DECLARE_PUBLIC(CtvkSpinBoxSensor)
};

class CtvkDoubleSpinBoxSensorPrivate : public CtvkBoundSpinBoxPrivate<CtvkDoubleSpinBoxPrivate> {
public:
    TVK_DECLARE_PUBLIC(CtvkDoubleSpinBoxSensor)
};

namespace detail {

// Two doubles are the same value when they differ by at most this share of
// the smaller magnitude.
constexpr double kSameValueRelativeTolerance = 1e-12;

// 0 equals only 0, and not-a-number equals nothing. An infinity equals only
// itself: measured against an infinite magnitude, even the distance from
// the other infinity would pass as small.
inline bool tvkFuzzyEqual(double a, double b) noexcept
{
    if (a == b)
        return true;
    if (std::isinf(a) || std::isinf(b))
        return false;
    return std::fabs(a - b) <= std::min(std::fabs(a), std::fabs(b)) * kSameValueRelativeTolerance;
}

// A double for an integer box, truncated toward zero. Converting a value
// outside int would be undefined; such a value stands at the nearer end of
// the range instead. Not-a-number has no integer: answers false.
inline bool tvkTruncatedInt(double v, int* out) noexcept
{
    if (std::isnan(v))
        return false;
    const double t = std::trunc(v);
    if (t >= static_cast<double>(INT_MAX))
        *out = INT_MAX;
    else if (t <= static_cast<double>(INT_MIN))
        *out = INT_MIN;
    else
        *out = static_cast<int>(t);
    return true;
}

} // namespace detail
} // namespace Quorvan

#endif
