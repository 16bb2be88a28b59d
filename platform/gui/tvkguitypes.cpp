// SPDX-License-Identifier: MIT
#include "tvkguitypes.h"

#include <algorithm>

namespace Quorvan {

CtvkRect CtvkRect::united(const CtvkRect& other) const noexcept
{
    if (other.isEmpty())
        return *this;
    if (isEmpty())
        return other;
    // In long long: a far-off rectangle must not overflow the sums.
    const long long left = std::min(m_x, other.m_x);
    const long long top = std::min(m_y, other.m_y);
    const long long right = std::max(static_cast<long long>(m_x) + m_w, static_cast<long long>(other.m_x) + other.m_w);
    const long long bottom = std::max(static_cast<long long>(m_y) + m_h, static_cast<long long>(other.m_y) + other.m_h);
    const long long limit = 0x7fffffff;
    return CtvkRect(static_cast<int>(left), static_cast<int>(top), static_cast<int>(std::min(right - left, limit)),
                    static_cast<int>(std::min(bottom - top, limit)));
}

void CtvkRegion::unite(const CtvkRect& r)
{
    if (!r.isEmpty())
        m_rects.push_back(r);
}

CtvkRect CtvkRegion::boundingRect() const noexcept
{
    CtvkRect all;
    for (const CtvkRect& r : m_rects)
        all = all.united(r);
    return all;
}

CtvkPalette::CtvkPalette() noexcept
    : m_colors{0xffefefefu, 0xff000000u, 0xffffffffu, 0xff000000u, 0xffefefefu, 0xff000000u, 0xff308cc6u, 0xffffffffu}
{
}

} // namespace Quorvan
