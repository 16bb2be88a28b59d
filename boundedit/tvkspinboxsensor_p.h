#ifndef TVKSPINBOXSENSOR_P_H
#define TVKSPINBOXSENSOR_P_H

#include <algorithm>
#include <climits>
#include <cmath>

namespace Quorvan {
namespace detail {

// Two doubles are the same value when they differ by at most 1e-12 of the
// smaller magnitude: 0 equals only 0, and not-a-number equals nothing.
// Equal infinities are the same value too (their difference is no number).
inline bool tvkFuzzyEqual(double a, double b) noexcept
{
    return a == b || std::fabs(a - b) <= std::min(std::fabs(a), std::fabs(b)) * 1e-12;
}

// A double announced to an integer box, truncated toward zero. Converting a
// value outside int would be undefined; such a value stands at the nearer
// end of the range instead. Not-a-number has no integer: answers false.
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
