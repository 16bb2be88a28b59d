// SPDX-License-Identifier: MIT
// The two list readers shared by every section, and the word-list message.
#include "tvkparseplccommon_p.h"

#include "tvkmessagehandler.h"

#include <atomic>
#include <cstring>
#include <iostream>
#include <limits>

namespace Quorvan {
namespace TvkPlc {

namespace {
thread_local std::size_t* t_deferredConvertErrors = nullptr;
std::atomic<CtvkMessageHandler> messageHandler{nullptr};
} // namespace

void printLine(const std::string& line)
{
    if (const CtvkMessageHandler handler = messageHandler.load())
        handler("plcconfig", line.c_str());
    else
        std::cout << line << std::endl;
}

void reportConvertError()
{
    if (t_deferredConvertErrors) {
        ++*t_deferredConvertErrors;
        return;
    }
    printLine("Data Type Convert Error .....");
}

CtvkConvertErrorDeferral::CtvkConvertErrorDeferral() : m_previous(t_deferredConvertErrors)
{
    t_deferredConvertErrors = &m_count;
}

CtvkConvertErrorDeferral::~CtvkConvertErrorDeferral()
{
    t_deferredConvertErrors = m_previous;
}

int floatWord(double value)
{
    // The double nearest to 3.4028234e38 lies just inside the largest float,
    // so every value up to it converts to a finite float. Beyond it a cast
    // would be undefined; the infinity of the sign keeps the word count right.
    constexpr double kFloatMagnitudeLimit = 3.4028234e38;
    float f;
    if (value > kFloatMagnitudeLimit)
        f = std::numeric_limits<float>::infinity();
    else if (value < -kFloatMagnitudeLimit)
        f = -std::numeric_limits<float>::infinity();
    else
        f = static_cast<float>(value);   // nearest, ties to even
    int word;
    static_assert(sizeof word == sizeof f, "a word is 32 bits");
    std::memcpy(&word, &f, sizeof word);
    return word;
}

} // namespace TvkPlc

CtvkMessageHandler tvkInstallPlcconfigMessageHandler(CtvkMessageHandler handler)
{
    return TvkPlc::messageHandler.exchange(handler);
}

CtvkParseArray::CtvkParseArray(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseArray::parse(const rapidjson::Value& value)
{
    if (!value.IsArray() || value.Empty())
        return;
    m_array.reserve(m_array.size() + value.Size());
    for (const rapidjson::Value& element : value.GetArray()) {
        if (!element.IsUint())
            return;
        m_array.push_back(element.GetUint());
    }
    valid = true;
}

CtvkParseParamsArray::CtvkParseParamsArray(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseParamsArray::parse(const rapidjson::Value& value)
{
    if (!value.IsArray() || value.Empty())
        return;
    m_array.reserve(m_array.size() + value.Size());
    for (const rapidjson::Value& element : value.GetArray()) {
        if (element.IsInt()) {
            m_array.push_back(element.GetInt());
        } else if (element.IsUint()) {
            // 2147483648..4294967295 keep their bit pattern as a negative int.
            const unsigned int u = element.GetUint();
            int word;
            std::memcpy(&word, &u, sizeof word);
            m_array.push_back(word);
        } else if (element.IsDouble()) {
            m_array.push_back(TvkPlc::floatWord(element.GetDouble()));
        } else {
            TvkPlc::reportConvertError();
            return;
        }
    }
    valid = true;
}

} // namespace Quorvan
