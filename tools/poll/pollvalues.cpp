// SPDX-License-Identifier: MIT
#include "pollvalues.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tvkpoll {

namespace {

// Beyond every table's range, and far from the ends of long long.
constexpr unsigned long long kLargestMagnitude = 1ULL << 40;

// Decimal with an optional sign, or hexadecimal after 0x. A leading zero
// does not switch to octal: "010" is ten, as an engineer reading it means.
// A number too large for any table comes back as the farthest value of
// its sign, so that it reads as out of range, not as no number at all.
bool parseInteger(const std::string& text, long long& value)
{
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+'))
        negative = text[pos++] == '-';
    int base = 10;
    if (text.size() - pos > 2 && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
        base = 16;
        pos += 2;
    }
    if (pos >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[pos])))
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long magnitude = std::strtoull(text.c_str() + pos, &end, base);
    if (*end != '\0')
        return false;
    if (errno == ERANGE || magnitude > kLargestMagnitude) {
        value = negative ? -static_cast<long long>(kLargestMagnitude) : static_cast<long long>(kLargestMagnitude);
        return true;
    }
    value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return true;
}

// Whether `text` is a number; `finite` tells whether a 32-bit float holds it.
bool parseFloat(const std::string& text, float& value, bool& finite)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtof(text.c_str(), &end);
    finite = errno == 0 && std::isfinite(value);
    return end != text.c_str() && *end == '\0';
}

void appendPair(std::uint32_t bits, bool bigEndianWords, std::vector<unsigned short>& words)
{
    const auto high = static_cast<unsigned short>(bits >> 16);
    const auto low = static_cast<unsigned short>(bits & 0xffffu);
    words.push_back(bigEndianWords ? high : low);
    words.push_back(bigEndianWords ? low : high);
}

std::uint32_t joinPair(unsigned short first, unsigned short second, bool bigEndianWords)
{
    return bigEndianWords ? (std::uint32_t(first) << 16) | second : (std::uint32_t(second) << 16) | first;
}

std::string printed(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string printed(const char* format, ...)
{
    char buffer[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

} // namespace

bool encodeValues(const std::vector<std::string>& texts, Table table, Format format, bool bigEndianWords,
                  std::vector<unsigned short>& words, std::string& message)
{
    words.clear();
    for (const std::string& text : texts) {
        long long integer = 0;
        float real = 0;
        bool fits = false;
        bool number = false;   // it reads as a number, in range or not
        if (table == Table::Coils) {
            number = parseInteger(text, integer);
            fits = number && (integer == 0 || integer == 1);
            if (fits)
                words.push_back(static_cast<unsigned short>(integer));
        } else if (format == Format::Float32) {
            bool finite = false;
            number = parseFloat(text, real, finite);
            fits = number && finite;
            if (fits) {
                std::uint32_t bits = 0;
                std::memcpy(&bits, &real, sizeof bits);
                appendPair(bits, bigEndianWords, words);
            }
        } else if (format == Format::Int32) {
            number = parseInteger(text, integer);
            fits = number && integer >= INT32_MIN && integer <= UINT32_MAX;
            if (fits)
                appendPair(static_cast<std::uint32_t>(integer), bigEndianWords, words);
        } else {
            // A negative value is taken as its 16-bit two's complement.
            number = parseInteger(text, integer);
            fits = number && integer >= INT16_MIN && integer <= UINT16_MAX;
            if (fits)
                words.push_back(static_cast<unsigned short>(integer & 0xffff));
        }
        if (!fits) {
            const char* range = table == Table::Coils  ? "0 or 1"
                : format == Format::Float32            ? "a finite 32-bit float"
                : format == Format::Int32              ? "-2147483648 to 4294967295"
                                                       : "-32768 to 65535";
            if (number)
                message = "value \"" + text + "\" is out of range (" + range + ")";
            else
                message = "value \"" + text + "\" is not a " + (format == Format::Float32 && table != Table::Coils
                                                                   ? "number" : "whole number")
                    + " (" + range + ")";
            return false;
        }
    }
    return true;
}

std::vector<ShownValue> decodeValues(const std::vector<unsigned short>& words, const PollOptions& options)
{
    std::vector<ShownValue> shown;
    const int width = options.isBitTable() ? 1 : options.width();
    for (std::size_t i = 0; i + std::size_t(width) <= words.size(); i += std::size_t(width)) {
        ShownValue v;
        v.reference = options.reference + int(i);
        const unsigned short word = words[i];
        if (options.isBitTable()) {
            v.text = v.json = word ? "1" : "0";
        } else if (options.format == Format::Hex) {
            v.text = printed("0x%04X", unsigned(word));
            v.json = std::to_string(word);
        } else if (options.format == Format::Decimal) {
            v.json = std::to_string(word);
            v.text = v.json;
            if (word > INT16_MAX)   // the signed reading too, for values meant as negative
                v.text += " (" + std::to_string(int(word) - 65536) + ")";
        } else {
            const std::uint32_t bits = joinPair(word, words[i + 1], options.bigEndianWords);
            if (options.format == Format::Int32) {
                std::int32_t integer = 0;
                std::memcpy(&integer, &bits, sizeof integer);
                v.text = v.json = std::to_string(integer);
            } else {
                float real = 0;
                std::memcpy(&real, &bits, sizeof real);
                v.text = printed("%g", double(real));
                // Nine digits bring every float back exactly; JSON has no NaN.
                v.json = std::isfinite(real) ? printed("%.9g", double(real)) : "null";
            }
        }
        shown.push_back(v);
    }
    return shown;
}

} // namespace tvkpoll
