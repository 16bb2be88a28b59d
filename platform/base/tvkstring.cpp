// SPDX-License-Identifier: MIT
#include "tvkstring.h"

#include <climits>
#include <cstring>
#include <cwchar>

namespace Quorvan {

namespace {

std::size_t lengthOf(const char* str, int len)
{
    return len < 0 ? std::strlen(str) : static_cast<std::size_t>(len);
}

// Decodes UTF-8; a malformed or truncated sequence becomes U+FFFD so bad
// input can never make the decoder read past the given length.
std::u16string decodeUtf8(const unsigned char* s, std::size_t n)
{
    std::u16string out;
    out.reserve(n);
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        int extra = 0;
        char32_t cp = 0;
        char32_t minimum = 0;
        if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; minimum = 0x80; }
        else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; minimum = 0x800; }
        else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; minimum = 0x10000; }
        else { out.push_back(0xFFFD); ++i; continue; }
        if (i + static_cast<std::size_t>(extra) >= n) {   // truncated at the end
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        bool good = true;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char cc = s[i + static_cast<std::size_t>(k)];
            if ((cc & 0xC0) != 0x80) { good = false; break; }
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (!good || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

void appendCodePoint(std::u16string& out, char32_t cp)
{
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else if (cp > 0x10FFFF) {
        out.push_back(0xFFFD);
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

} // namespace

CtvkChar CtvkChar::toLower() const noexcept
{
    const char16_t c = m_unicode;
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return CtvkChar(static_cast<char16_t>(c + 0x20));
    return *this;
}

CtvkString::CtvkString() noexcept = default;

CtvkString::CtvkString(const char* latin1)
{
    if (latin1)
        *this = fromLatin1(latin1);
}

CtvkString::CtvkString(std::shared_ptr<const std::u16string> d) noexcept : m_data(std::move(d)) {}
CtvkString::CtvkString(const CtvkString&) noexcept = default;
CtvkString::CtvkString(CtvkString&&) noexcept = default;
CtvkString& CtvkString::operator=(const CtvkString&) noexcept = default;
CtvkString& CtvkString::operator=(CtvkString&&) noexcept = default;
CtvkString::~CtvkString() = default;

CtvkString CtvkString::fromAscii(const char* str, int len)
{
    return fromLatin1(str, len);
}

CtvkString CtvkString::fromLatin1(const char* str, int len)
{
    if (!str)
        return CtvkString();
    const std::size_t n = lengthOf(str, len);
    auto d = std::make_shared<std::u16string>(n, u'\0');
    for (std::size_t i = 0; i < n; ++i)
        (*d)[i] = static_cast<unsigned char>(str[i]);
    return CtvkString(std::move(d));
}

CtvkString CtvkString::fromUtf8(const char* str, int len)
{
    if (!str)
        return CtvkString();
    return CtvkString(std::make_shared<std::u16string>(
        decodeUtf8(reinterpret_cast<const unsigned char*>(str), lengthOf(str, len))));
}

CtvkString CtvkString::fromLocal8Bit(const char* str, int len)
{
    if (!str)
        return CtvkString();
    const std::size_t n = lengthOf(str, len);
    auto d = std::make_shared<std::u16string>();
    d->reserve(n);
    std::mbstate_t state{};
    std::size_t i = 0;
    while (i < n) {
        wchar_t wc = 0;
        const std::size_t used = std::mbrtowc(&wc, str + i, n - i, &state);
        if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) {
            // Unreadable, or cut off at the end: keep the byte as it is.
            d->push_back(static_cast<unsigned char>(str[i]));
            state = std::mbstate_t{};
            ++i;
            continue;
        }
        appendCodePoint(*d, static_cast<char32_t>(wc));   // wchar_t holds UCS-4 here
        i += used == 0 ? 1 : used;   // 0: an embedded zero byte
    }
    return CtvkString(std::move(d));
}

CtvkString CtvkString::fromStdString(const std::string& utf8)
{
    return CtvkString(std::make_shared<std::u16string>(
        decodeUtf8(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size())));
}

CtvkString CtvkString::number(long long n)
{
    return fromLatin1(std::to_string(n).c_str());
}

bool CtvkString::isNull() const noexcept { return !m_data; }
bool CtvkString::isEmpty() const noexcept { return !m_data || m_data->empty(); }
int CtvkString::size() const noexcept { return m_data ? static_cast<int>(m_data->size()) : 0; }

CtvkChar CtvkString::at(int i) const
{
    if (!m_data || i < 0 || i >= size())
        return CtvkChar();
    return CtvkChar((*m_data)[static_cast<std::size_t>(i)]);
}

CtvkByteArray CtvkString::toAscii() const
{
    if (!m_data)
        return CtvkByteArray();
    std::string out(m_data->size(), '\0');
    for (std::size_t i = 0; i < m_data->size(); ++i) {
        const char16_t c = (*m_data)[i];
        out[i] = c > 0x7F ? '?' : static_cast<char>(c);
    }
    return CtvkByteArray(std::move(out));
}

CtvkByteArray CtvkString::toLatin1() const
{
    if (!m_data)
        return CtvkByteArray();
    std::string out(m_data->size(), '\0');
    for (std::size_t i = 0; i < m_data->size(); ++i) {
        const char16_t c = (*m_data)[i];
        out[i] = c > 0xFF ? '?' : static_cast<char>(static_cast<unsigned char>(c));
    }
    return CtvkByteArray(std::move(out));
}

CtvkByteArray CtvkString::toUtf8() const
{
    if (!m_data)
        return CtvkByteArray();
    return CtvkByteArray(toStdString());
}

CtvkByteArray CtvkString::toLocal8Bit() const
{
    if (!m_data)
        return CtvkByteArray();
    const std::u16string& s = *m_data;
    std::string out;
    out.reserve(s.size());
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        const std::size_t written = std::wcrtomb(bytes, static_cast<wchar_t>(cp), &state);
        if (written == static_cast<std::size_t>(-1)) {
            state = std::mbstate_t{};
            out.push_back(cp <= 0xFF ? static_cast<char>(static_cast<unsigned char>(cp)) : '?');
            continue;
        }
        out.append(bytes, written);
    }
    return CtvkByteArray(std::move(out));
}

std::string CtvkString::toStdString() const
{
    std::string out;
    if (!m_data)
        return out;
    const std::u16string& s = *m_data;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;   // a lone surrogate has no UTF-8 form
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

CtvkString& CtvkString::remove(CtvkChar c, CaseSensitivity cs)
{
    if (!m_data)
        return *this;
    const char16_t wanted = cs == CaseSensitive ? c.unicode() : c.toLower().unicode();
    auto matches = [&](char16_t x) {
        return (cs == CaseSensitive ? x : CtvkChar(x).toLower().unicode()) == wanted;
    };
    bool any = false;
    for (char16_t x : *m_data)
        if (matches(x)) { any = true; break; }
    if (!any)
        return *this;
    std::u16string kept;
    kept.reserve(m_data->size());
    for (char16_t x : *m_data)
        if (!matches(x))
            kept.push_back(x);
    m_data = std::make_shared<std::u16string>(std::move(kept));
    return *this;
}

CtvkString& CtvkString::append(const CtvkString& s)
{
    if (s.isNull())
        return *this;
    if (isNull()) {
        m_data = s.m_data;
        return *this;
    }
    detach().append(*s.m_data);
    return *this;
}

bool CtvkString::operator==(const CtvkString& other) const noexcept
{
    if (m_data == other.m_data)
        return true;
    if (isNull() != other.isNull())
        return isEmpty() && other.isEmpty();
    return *m_data == *other.m_data;
}

bool CtvkString::operator==(const char* latin1) const noexcept
{
    if (!latin1)
        return isEmpty();
    const std::size_t n = std::strlen(latin1);
    if (static_cast<std::size_t>(size()) != n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if ((*m_data)[i] != static_cast<unsigned char>(latin1[i]))
            return false;
    return true;
}

// The text is shared between copies; a write first takes a private copy.
std::u16string& CtvkString::detach()
{
    if (!m_data || m_data.use_count() > 1) {
        auto own = m_data ? std::make_shared<std::u16string>(*m_data) : std::make_shared<std::u16string>();
        std::u16string& ref = *own;
        m_data = std::move(own);
        return ref;
    }
    // Every buffer is created non-const, so writing through it is sound.
    return const_cast<std::u16string&>(*m_data);
}

} // namespace Quorvan
