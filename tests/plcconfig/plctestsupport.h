// SPDX-License-Identifier: MIT
#ifndef PLCTESTSUPPORT_H
#define PLCTESTSUPPORT_H

#include "tvkparseplccommon.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>

namespace PlcTest {

// A DOM of the given text; the test fails if the text itself is broken.
inline rapidjson::Document json(const char* text)
{
    rapidjson::Document doc;
    doc.Parse(text);
    EXPECT_FALSE(doc.HasParseError()) << "test text does not parse: " << text;
    return doc;
}

// Runs f and returns what it wrote to standard output.
template <class F>
std::string stdoutOf(F f)
{
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

inline std::string repeatLine(const std::string& line, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += line + "\n";
    return out;
}

const std::string convertError = "Data Type Convert Error .....\n";

} // namespace PlcTest

#endif
