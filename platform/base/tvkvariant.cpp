// SPDX-License-Identifier: MIT
#include "tvkvariant.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

namespace Quorvan {

namespace {

// Cuts surrounding blanks; numbers typed into a panel often carry them.
std::string trimmed(const CtvkString& s)
{
    std::string t = s.toAscii().toStdString();
    const auto first = t.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const auto last = t.find_last_not_of(" \t\r\n");
    return t.substr(first, last - first + 1);
}

bool textToInt(const CtvkString& s, int* out)
{
    std::string t = trimmed(s);
    if (t.empty())
        return false;
    const char* begin = t.c_str();
    // from_chars takes no '+'; skip one, but not one followed by a sign.
    if (*begin == '+' && begin[1] != '-' && begin[1] != '+')
        ++begin;
    long long v = 0;
    const char* end = t.c_str() + t.size();
    auto r = std::from_chars(begin, end, v, 10);
    if (r.ec != std::errc() || r.ptr != end || v < INT_MIN || v > INT_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool textToDouble(const CtvkString& s, double* out)
{
    std::string t = trimmed(s);
    if (t.empty())
        return false;
    const char* begin = t.c_str();
    // from_chars takes no '+'; skip one, but not one followed by a sign.
    if (*begin == '+' && begin[1] != '-' && begin[1] != '+')
        ++begin;
    double v = 0;
    const char* end = t.c_str() + t.size();
    auto r = std::from_chars(begin, end, v, std::chars_format::general);
    // "nan" and "inf" are not numbers a user meant to enter.
    if (r.ec != std::errc() || r.ptr != end || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

CtvkString doubleText(double d)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return CtvkString::fromLatin1(buf, static_cast<int>(r.ptr - buf));
}

} // namespace

CtvkVariant::CtvkVariant() noexcept : m_type(Invalid) { m_value.p = nullptr; }
CtvkVariant::CtvkVariant(bool b) noexcept : m_type(Bool) { m_value.p = nullptr; m_value.b = b; }
CtvkVariant::CtvkVariant(int i) noexcept : m_type(Int) { m_value.p = nullptr; m_value.i = i; }

CtvkVariant::CtvkVariant(unsigned int u) noexcept
{
    m_value.p = nullptr;
    if (u <= static_cast<unsigned int>(INT_MAX)) {
        m_type = Int;
        m_value.i = static_cast<int>(u);
    } else {
        m_type = Double;
        m_value.d = static_cast<double>(u);
    }
}

CtvkVariant::CtvkVariant(double d) noexcept : m_type(Double) { m_value.d = d; }
CtvkVariant::CtvkVariant(const CtvkString& s) : m_type(String), m_string(s) { m_value.p = nullptr; }
CtvkVariant::CtvkVariant(const char* latin1) : m_type(String), m_string(latin1) { m_value.p = nullptr; }
CtvkVariant::CtvkVariant(void* p) noexcept : m_type(VoidStar) { m_value.p = p; }
CtvkVariant::CtvkVariant(const CtvkVariant&) = default;
CtvkVariant::CtvkVariant(CtvkVariant&&) noexcept = default;
CtvkVariant& CtvkVariant::operator=(const CtvkVariant&) = default;
CtvkVariant& CtvkVariant::operator=(CtvkVariant&&) noexcept = default;
CtvkVariant::~CtvkVariant() = default;

bool CtvkVariant::canConvert(int type) const noexcept
{
    switch (type) {
    case Bool:
        return m_type == Bool || m_type == Int || m_type == Double || m_type == String;
    case Int: {
        bool ok = false;
        toInt(&ok);
        return ok;
    }
    case Double: {
        bool ok = false;
        toDouble(&ok);
        return ok;
    }
    case String:
        return m_type == Bool || m_type == Int || m_type == Double || m_type == String;
    case VoidStar:
        return m_type == VoidStar;
    default:
        return false;
    }
}

bool CtvkVariant::toBool() const noexcept
{
    switch (m_type) {
    case Bool: return m_value.b;
    case Int: return m_value.i != 0;
    case Double: return m_value.d != 0.0;
    case String: {
        if (m_string.isEmpty())
            return false;
        const std::string t = trimmed(m_string);
        return !(t == "0" || t == "false" || t == "False" || t == "FALSE");
    }
    case VoidStar: return m_value.p != nullptr;
    default: return false;
    }
}

int CtvkVariant::toInt(bool* ok) const noexcept
{
    bool good = false;
    int v = 0;
    switch (m_type) {
    case Bool: v = m_value.b ? 1 : 0; good = true; break;
    case Int: v = m_value.i; good = true; break;
    case Double:
        // Rounds to the nearest integer; a value outside int has no answer.
        if (std::isfinite(m_value.d) && m_value.d > static_cast<double>(INT_MIN) - 0.5
            && m_value.d < static_cast<double>(INT_MAX) + 0.5) {
            v = static_cast<int>(std::lround(m_value.d));
            good = true;
        }
        break;
    case String:
        try {
            good = textToInt(m_string, &v);
        } catch (...) {
            good = false;
        }
        if (!good)
            v = 0;
        break;
    default: break;
    }
    if (ok)
        *ok = good;
    return v;
}

double CtvkVariant::toDouble(bool* ok) const noexcept
{
    bool good = false;
    double v = 0.0;
    switch (m_type) {
    case Bool: v = m_value.b ? 1.0 : 0.0; good = true; break;
    case Int: v = m_value.i; good = true; break;
    case Double: v = m_value.d; good = true; break;
    case String:
        try {
            good = textToDouble(m_string, &v);
        } catch (...) {
            good = false;
        }
        if (!good)
            v = 0.0;
        break;
    default: break;
    }
    if (ok)
        *ok = good;
    return v;
}

CtvkString CtvkVariant::toString() const
{
    switch (m_type) {
    case Bool: return CtvkString(m_value.b ? "true" : "false");
    case Int: return CtvkString::number(m_value.i);
    case Double: return doubleText(m_value.d);
    case String: return m_string;
    default: return CtvkString();
    }
}

void* CtvkVariant::toVoidStar() const noexcept
{
    return m_type == VoidStar ? m_value.p : nullptr;
}

bool CtvkVariant::operator==(const CtvkVariant& other) const
{
    auto numeric = [](Type t) { return t == Bool || t == Int || t == Double; };
    if (numeric(m_type) && numeric(other.m_type))
        return toDouble() == other.toDouble();
    if (m_type != other.m_type)
        return false;
    switch (m_type) {
    case Invalid: return true;
    case String: return m_string == other.m_string;
    case VoidStar: return m_value.p == other.m_value.p;
    default: return false;
    }
}

} // namespace Quorvan
