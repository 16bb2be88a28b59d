// SPDX-License-Identifier: MIT
#ifndef TVKGUITYPES_H
#define TVKGUITYPES_H

#include "tvkgui_global.h"

#include <string>
#include <utility>
#include <vector>

namespace Quorvan {

// Framework-wide enumerations of the widget toolkit.
namespace TVK {

enum FocusPolicy { NoFocus = 0, TabFocus = 0x1, ClickFocus = 0x2, StrongFocus = 0xb, WheelFocus = 0xf };

enum LayoutDirection { LeftToRight = 0, RightToLeft = 1, LayoutDirectionAuto = 2 };

// Flags; a combination is stored as the enum, e.g.
// Alignment(AlignLeft | AlignVCenter).
enum Alignment {
    AlignLeft = 0x01,
    AlignRight = 0x02,
    AlignHCenter = 0x04,
    AlignJustify = 0x08,
    AlignTop = 0x20,
    AlignBottom = 0x40,
    AlignVCenter = 0x80,
    AlignCenter = AlignVCenter | AlignHCenter
};

enum WidgetAttribute { WA_Disabled = 0, WA_UnderMouse = 1, WA_MouseTracking = 2, WA_NoBackground = 4 };

// Flags of a window's state.
enum WindowState { WindowNoState = 0, WindowMinimized = 0x1, WindowMaximized = 0x2, WindowFullScreen = 0x4 };

} // namespace TVK

// What a widget may be painted on; it adds no operations of its own here.
class TVK_GUI_EXPORT CtvkPaintDevice {
public:
    CtvkPaintDevice() = default;
protected:
    ~CtvkPaintDevice() = default;
};

class CtvkPoint {
public:
    constexpr CtvkPoint() noexcept = default;
    constexpr CtvkPoint(int x, int y) noexcept : m_x(x), m_y(y) {}
    constexpr int x() const noexcept { return m_x; }
    constexpr int y() const noexcept { return m_y; }
    friend constexpr bool operator==(const CtvkPoint& a, const CtvkPoint& b) noexcept { return a.m_x == b.m_x && a.m_y == b.m_y; }
    friend constexpr bool operator!=(const CtvkPoint& a, const CtvkPoint& b) noexcept { return !(a == b); }
private:
    int m_x = 0;
    int m_y = 0;
};

// A width and a height; negative values mark a size that is not valid (a
// widget without a size hint answers (-1, -1)).
class CtvkSize {
public:
    constexpr CtvkSize() noexcept = default;
    constexpr CtvkSize(int w, int h) noexcept : m_w(w), m_h(h) {}
    constexpr int width() const noexcept { return m_w; }
    constexpr int height() const noexcept { return m_h; }
    constexpr bool isValid() const noexcept { return m_w >= 0 && m_h >= 0; }
    friend constexpr bool operator==(const CtvkSize& a, const CtvkSize& b) noexcept { return a.m_w == b.m_w && a.m_h == b.m_h; }
    friend constexpr bool operator!=(const CtvkSize& a, const CtvkSize& b) noexcept { return !(a == b); }
private:
    int m_w = -1;
    int m_h = -1;
};

class TVK_GUI_EXPORT CtvkRect {
public:
    constexpr CtvkRect() noexcept = default;
    constexpr CtvkRect(int x, int y, int w, int h) noexcept : m_x(x), m_y(y), m_w(w), m_h(h) {}
    constexpr CtvkRect(const CtvkPoint& topLeft, const CtvkSize& size) noexcept
        : m_x(topLeft.x()), m_y(topLeft.y()), m_w(size.width()), m_h(size.height()) {}
    constexpr int x() const noexcept { return m_x; }
    constexpr int y() const noexcept { return m_y; }
    constexpr int width() const noexcept { return m_w; }
    constexpr int height() const noexcept { return m_h; }
    constexpr CtvkPoint topLeft() const noexcept { return CtvkPoint(m_x, m_y); }
    constexpr CtvkSize size() const noexcept { return CtvkSize(m_w, m_h); }
    constexpr bool isEmpty() const noexcept { return m_w <= 0 || m_h <= 0; }
    // The smallest rectangle holding both; an empty one adds nothing.
    CtvkRect united(const CtvkRect& other) const noexcept;
    friend constexpr bool operator==(const CtvkRect& a, const CtvkRect& b) noexcept
    { return a.m_x == b.m_x && a.m_y == b.m_y && a.m_w == b.m_w && a.m_h == b.m_h; }
    friend constexpr bool operator!=(const CtvkRect& a, const CtvkRect& b) noexcept { return !(a == b); }
private:
    int m_x = 0;
    int m_y = 0;
    int m_w = 0;
    int m_h = 0;
};

// A set of rectangles, kept as they were added (empty ones are skipped).
class TVK_GUI_EXPORT CtvkRegion {
public:
    CtvkRegion() = default;
    explicit CtvkRegion(const CtvkRect& r) { unite(r); }
    void unite(const CtvkRect& r);
    bool isEmpty() const noexcept { return m_rects.empty(); }
    const std::vector<CtvkRect>& rects() const noexcept { return m_rects; }
    CtvkRect boundingRect() const noexcept;
    friend bool operator==(const CtvkRegion& a, const CtvkRegion& b) { return a.m_rects == b.m_rects; }
    friend bool operator!=(const CtvkRegion& a, const CtvkRegion& b) { return !(a == b); }
private:
    std::vector<CtvkRect> m_rects;
};

class CtvkSizePolicy {
public:
    enum Policy { Fixed = 0, Minimum = 1, Maximum = 4, Preferred = 5, MinimumExpanding = 3, Expanding = 7, Ignored = 13 };
    constexpr CtvkSizePolicy() noexcept = default;
    constexpr CtvkSizePolicy(Policy horizontal, Policy vertical) noexcept : m_h(horizontal), m_v(vertical) {}
    constexpr Policy horizontalPolicy() const noexcept { return m_h; }
    constexpr Policy verticalPolicy() const noexcept { return m_v; }
    void setHorizontalPolicy(Policy p) noexcept { m_h = p; }
    void setVerticalPolicy(Policy p) noexcept { m_v = p; }
    friend constexpr bool operator==(const CtvkSizePolicy& a, const CtvkSizePolicy& b) noexcept { return a.m_h == b.m_h && a.m_v == b.m_v; }
    friend constexpr bool operator!=(const CtvkSizePolicy& a, const CtvkSizePolicy& b) noexcept { return !(a == b); }
private:
    Policy m_h = Preferred;
    Policy m_v = Preferred;
};

// The colours a widget is drawn with, as 0xAARRGGBB per role.
class TVK_GUI_EXPORT CtvkPalette {
public:
    enum ColorRole { Window = 0, WindowText, Base, Text, Button, ButtonText, Highlight, HighlightedText, NColorRoles };
    CtvkPalette() noexcept;
    unsigned color(ColorRole role) const noexcept { return role >= 0 && role < NColorRoles ? m_colors[role] : 0u; }
    void setColor(ColorRole role, unsigned argb) noexcept
    {
        if (role >= 0 && role < NColorRoles)
            m_colors[role] = argb;
    }
    friend bool operator==(const CtvkPalette& a, const CtvkPalette& b) noexcept
    {
        for (int i = 0; i < NColorRoles; ++i)
            if (a.m_colors[i] != b.m_colors[i])
                return false;
        return true;
    }
    friend bool operator!=(const CtvkPalette& a, const CtvkPalette& b) noexcept { return !(a == b); }
private:
    unsigned m_colors[NColorRoles];
};

class CtvkFont {
public:
    CtvkFont() = default;
    CtvkFont(std::string family, int pointSize, bool bold = false, bool italic = false)
        : m_family(std::move(family)), m_pointSize(pointSize), m_bold(bold), m_italic(italic) {}
    const std::string& family() const noexcept { return m_family; }
    int pointSize() const noexcept { return m_pointSize; }
    bool bold() const noexcept { return m_bold; }
    bool italic() const noexcept { return m_italic; }
    void setFamily(const std::string& f) { m_family = f; }
    void setPointSize(int s) noexcept { if (s > 0) m_pointSize = s; }
    void setBold(bool b) noexcept { m_bold = b; }
    void setItalic(bool i) noexcept { m_italic = i; }
    friend bool operator==(const CtvkFont& a, const CtvkFont& b)
    { return a.m_family == b.m_family && a.m_pointSize == b.m_pointSize && a.m_bold == b.m_bold && a.m_italic == b.m_italic; }
    friend bool operator!=(const CtvkFont& a, const CtvkFont& b) { return !(a == b); }
private:
    std::string m_family = "Sans";
    int m_pointSize = 10;
    bool m_bold = false;
    bool m_italic = false;
};

} // namespace Quorvan

#endif
