// SPDX-License-Identifier: MIT
#ifndef TVKPARSEPLCCOMMON_P_H
#define TVKPARSEPLCCOMMON_P_H

// Internal to libtvk_plcconfig (and the fuzz target, which compiles the
// sources in). Not installed as interface; nothing here is exported.

#include "tvkparseplccommon.h"

#include <rapidjson/document.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace Quorvan {
namespace TvkPlc {

// Exact key comparison on the stored length: a key with an embedded zero
// ("ID\u0000x") must not pass for "ID".
template <std::size_t N>
inline bool keyIs(const rapidjson::Value& name, const char (&key)[N])
{
    return name.IsString() && name.GetStringLength() == N - 1
        && std::memcmp(name.GetString(), key, N - 1) == 0;
}

// An integer literal in 0..4294967295, as the DOM classifies it. A "-0"
// literal is the integer zero and counts; 5.0 and 5e0 are doubles and do not.
inline void takeUnsigned(const rapidjson::Value& value, unsigned int& field)
{
    if (value.IsUint())
        field = value.GetUint();
}

// An object reader does nothing with a value that is not an object with at
// least one member.
inline bool isFilledObject(const rapidjson::Value& value)
{
    return value.IsObject() && !value.ObjectEmpty();
}

// One of the library's diagnostic lines: to the installed message handler,
// else to standard output.
void printLine(const std::string& line);

// Writes the word-list reader's message, or counts it while a whole script
// is read: a script that turns out not to parse must print nothing.
void reportConvertError();

class CtvkConvertErrorDeferral {
public:
    CtvkConvertErrorDeferral();
    ~CtvkConvertErrorDeferral();
    CtvkConvertErrorDeferral(const CtvkConvertErrorDeferral&) = delete;
    CtvkConvertErrorDeferral& operator=(const CtvkConvertErrorDeferral&) = delete;
    std::size_t count() const { return m_count; }

private:
    std::size_t m_count = 0;
    std::size_t* m_previous;
};

// The single-precision bit pattern of a double; beyond the float range the
// infinity of the value's sign, so the list keeps one word per element.
int floatWord(double value);

} // namespace TvkPlc

// Reads script text into a root object. Internal: the file-less entry point
// for the fuzz target; hosts go through CtvkParsePlcCommon::parse.
class CtvkPlcScriptReader {
public:
    // text[length] must be a zero byte. The text is parsed in place, so its
    // bytes are changed. Returns whether the text parsed.
    static bool readText(CtvkParsePlcCommon& target, char* text, std::size_t length);
};

} // namespace Quorvan

#endif
