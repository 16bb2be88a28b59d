// SPDX-License-Identifier: MIT
#include "plctestsupport.h"

#include <vector>

using namespace Quorvan;
using PlcTest::convertError;
using PlcTest::json;
using PlcTest::stdoutOf;

TEST(PlcIdentifierList, OnlyIntegerLiteralsInUnsignedRangeAreTaken)
{
    const auto doc = json("[0, 5, 4294967295, -0]");
    const CtvkParseArray list(doc);
    EXPECT_TRUE(list.isValid());
    EXPECT_EQ(list.array(), (std::vector<unsigned int>{0, 5, 4294967295u, 0}));

    // Each of these is a number that is not an unsigned 32-bit integer literal.
    for (const char* text : {"[5.0]", "[5e0]", "[-1]", "[4294967296]", "[1.0]", "[\"5\"]", "[true]"}) {
        const auto bad = json(text);
        const CtvkParseArray rejected(bad);
        EXPECT_FALSE(rejected.isValid()) << text;
        EXPECT_TRUE(rejected.array().empty()) << text;
    }
}

TEST(PlcIdentifierList, StopsAtFirstBadElementKeepingEarlierOnes)
{
    const auto doc = json("[5, 6, \"x\", 8]");
    const CtvkParseArray list(doc);
    EXPECT_FALSE(list.isValid());
    EXPECT_EQ(list.array(), (std::vector<unsigned int>{5, 6}));
}

TEST(PlcIdentifierList, NonArrayOrEmptyLeavesListUntouched)
{
    CtvkParseArray list;
    list.setArray({9});
    list.setValid(true);
    for (const char* text : {"[]", "{}", "3", "null"}) {
        list.parse(json(text));
        EXPECT_TRUE(list.isValid()) << text;
        EXPECT_EQ(list.array(), (std::vector<unsigned int>{9})) << text;
    }
    // A direct parse appends and keeps an existing flag on failure.
    list.parse(json("[1, 2]"));
    EXPECT_EQ(list.array(), (std::vector<unsigned int>{9, 1, 2}));
    list.setValid(false);
    list.parse(json("[3, -3]"));
    EXPECT_FALSE(list.isValid());
    EXPECT_EQ(list.array(), (std::vector<unsigned int>{9, 1, 2, 3}));
}

TEST(PlcWordList, IntegersKeepTwosComplementAndFractionsSinglePrecisionBits)
{
    const auto doc = json("[1, -2, 4294967295, 2147483648, -2147483648, 0.5, 1.0, -1.5, -0.0, 0, -0]");
    std::string out;
    CtvkParseParamsArray words;
    out = stdoutOf([&] { words = CtvkParseParamsArray(doc); });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(words.isValid());
    EXPECT_EQ(words.array(), (std::vector<int>{1, -2, -1, -2147483647 - 1, -2147483647 - 1, 1056964608,
                                               1065353216, -1077936128, -2147483647 - 1, 0, 0}));
}

TEST(PlcWordList, DoublesRoundToNearestEvenSinglePrecision)
{
    // 2^24 + 1 lies half way between two floats: ties to even gives 2^24.
    // 2^24 + 3 lies half way too, and the even neighbour is the upper one.
    // 0.1 rounds to the float 0x3DCCCCCD; 1e-46 is below the smallest float and gives +0.
    // The bounds themselves still give the largest finite float.
    const auto doc = json("[16777217.0, 16777219.0, 0.1, 1e-46, 3.4028234e38, -3.4028234e38]");
    const CtvkParseParamsArray words(doc);
    ASSERT_TRUE(words.isValid());
    EXPECT_EQ(words.array(), (std::vector<int>{0x4B800000, 0x4B800002, 0x3DCCCCCD, 0, 0x7F7FFFFF,
                                               static_cast<int>(0xFF7FFFFFu)}));
}

TEST(PlcWordList, BeyondFloatRangeGivesOneSignedInfinityWithoutMessage)
{
    const auto doc = json("[1e39, 7, -1e300, 3.4028236e38, 18446744073709551616]");
    CtvkParseParamsArray words;
    const std::string out = stdoutOf([&] { words.parse(doc); });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(words.isValid());
    // The integer literal beyond 64 bits is a double: 2^64 as a float.
    EXPECT_EQ(words.array(), (std::vector<int>{0x7F800000, 7, static_cast<int>(0xFF800000u), 0x7F800000,
                                               0x5F800000}));
}

TEST(PlcWordList, NonNumberOrWideIntegerWritesOneMessageAndStops)
{
    struct Case { const char* text; std::vector<int> kept; };
    const Case cases[] = {
        {"[1, \"x\", 3]", {1}},
        {"[5000000000]", {}},
        {"[-2147483649, 1]", {}},
        {"[2, null]", {2}},
        {"[true]", {}},
        {"[[1]]", {}},
        {"[{}]", {}},
    };
    for (const Case& c : cases) {
        CtvkParseParamsArray words;
        const auto doc = json(c.text);
        const std::string out = stdoutOf([&] { words.parse(doc); });
        EXPECT_EQ(out, convertError) << c.text;
        EXPECT_FALSE(words.isValid()) << c.text;
        EXPECT_EQ(words.array(), c.kept) << c.text;
    }
}

TEST(PlcWordList, NonArrayAndEmptyArrayAreSilentAndNotValid)
{
    for (const char* text : {"[]", "{}", "1", "\"a\""}) {
        CtvkParseParamsArray words;
        const auto doc = json(text);
        EXPECT_EQ(stdoutOf([&] { words.parse(doc); }), "") << text;
        EXPECT_FALSE(words.isValid()) << text;
    }
}

TEST(PlcLists, CopiesAreIndependent)
{
    CtvkParseParamsArray a(json("[1, 2]"));
    CtvkParseParamsArray b = a;
    b.setArray({7});
    b.setValid(false);
    EXPECT_EQ(a.array(), (std::vector<int>{1, 2}));
    EXPECT_TRUE(a.isValid());
}
