// SPDX-License-Identifier: MIT
#ifndef TVKSTRING_H
#define TVKSTRING_H

#include "tvkbase_global.h"
#include "tvkbytearray.h"

#include <memory>
#include <string>

namespace Quorvan {

enum CaseSensitivity { CaseInsensitive = 0, CaseSensitive = 1 };

// One UTF-16 code unit.
class TVK_BASE_EXPORT CtvkChar {
public:
    constexpr CtvkChar() noexcept : m_unicode(0) {}
    constexpr CtvkChar(char c) noexcept : m_unicode(static_cast<unsigned char>(c)) {}
    constexpr CtvkChar(char16_t c) noexcept : m_unicode(c) {}
    constexpr char16_t unicode() const noexcept { return m_unicode; }
    CtvkChar toLower() const noexcept;
    friend constexpr bool operator==(CtvkChar a, CtvkChar b) noexcept { return a.m_unicode == b.m_unicode; }
    friend constexpr bool operator!=(CtvkChar a, CtvkChar b) noexcept { return a.m_unicode != b.m_unicode; }
private:
    char16_t m_unicode;
};

// Implicitly shared text. A default-constructed string is null, which is
// distinct from an empty one: isNull() tells them apart, isEmpty() is true
// for both.
class TVK_BASE_EXPORT CtvkString {
public:
    CtvkString() noexcept;                  // null
    CtvkString(const char* latin1);         // null for nullptr, else Latin-1 text
    CtvkString(const CtvkString&) noexcept;
    CtvkString(CtvkString&&) noexcept;
    CtvkString& operator=(const CtvkString&) noexcept;
    CtvkString& operator=(CtvkString&&) noexcept;
    ~CtvkString();

    static CtvkString fromAscii(const char* str, int len = -1);   // -1: up to the terminating zero
    static CtvkString fromLatin1(const char* str, int len = -1);
    static CtvkString fromUtf8(const char* str, int len = -1);
    // Text in the multibyte encoding of the current C locale (LC_CTYPE), as
    // strerror() and other C library calls write it after setlocale(). A
    // byte the locale cannot read is taken as Latin-1, so nothing is dropped.
    static CtvkString fromLocal8Bit(const char* str, int len = -1);
    static CtvkString fromStdString(const std::string& utf8);
    static CtvkString number(long long n);

    bool isNull() const noexcept;
    bool isEmpty() const noexcept;
    int size() const noexcept;
    int length() const noexcept { return size(); }
    CtvkChar at(int i) const;

    CtvkByteArray toAscii() const;     // code units above 0x7f become '?'
    CtvkByteArray toLatin1() const;    // code units above 0xff become '?'
    CtvkByteArray toUtf8() const;
    // The reverse of fromLocal8Bit(): what the locale cannot write becomes
    // '?', except code units up to 0xff, which become that byte.
    CtvkByteArray toLocal8Bit() const;
    std::string toStdString() const;   // UTF-8

    CtvkString& remove(CtvkChar c, CaseSensitivity cs = CaseSensitive);
    CtvkString& append(const CtvkString& s);

    bool operator==(const CtvkString& other) const noexcept;
    bool operator!=(const CtvkString& other) const noexcept { return !(*this == other); }
    bool operator==(const char* latin1) const noexcept;   // a null string equals nullptr and ""
    bool operator!=(const char* latin1) const noexcept { return !(*this == latin1); }


private:
    std::shared_ptr<const std::u16string> m_data;   // null pointer == null string
    explicit CtvkString(std::shared_ptr<const std::u16string> d) noexcept;
    std::u16string& detach();
};

} // namespace Quorvan

#endif
