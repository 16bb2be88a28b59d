// SPDX-License-Identifier: MIT
#include "plctestsupport.h"

using namespace Quorvan;
using PlcTest::convertError;
using PlcTest::json;
using PlcTest::stdoutOf;

namespace {
std::vector<unsigned int> keysOf(const CtvkParseMoldSet& set)
{
    std::vector<unsigned int> keys;
    for (const auto& entry : set.moldList())
        keys.push_back(entry.first);
    return keys;
}
}

TEST(PlcMoldBlock, OnlyTypeGivesValidBlockWithFreshLists)
{
    CtvkParseMoldBlock b(json(R"({"Type":4})"));
    EXPECT_TRUE(b.isValid());
    EXPECT_EQ(b.type(), 4u);
    EXPECT_FALSE(b.dataIDSet().isValid());
    EXPECT_FALSE(b.dataTypeSet().isValid());
    EXPECT_FALSE(b.dataStateSet().isValid());
    EXPECT_FALSE(b.dataValueSet().isValid());
    EXPECT_EQ(b.queryStartPos(), 0u);
    EXPECT_EQ(b.queryPackSize(), 0u);
    b.setStartPos(12);
    b.setPackSize(40);
    b.parse(json(R"({"Type":5})"));
    EXPECT_EQ(b.queryStartPos(), 12u);
    EXPECT_EQ(b.queryPackSize(), 40u);
    EXPECT_EQ(b.type(), 5u);
}

TEST(PlcMoldBlock, ListsAreIndependentAndValuesAreWords)
{
    const CtvkParseMoldBlock b(json(R"({"Type":1,"DataIDList":[1],"DataTypeList":[2,3,4],"DataStateList":[0,1],"DataValueList":[1,0.5,7]})"));
    EXPECT_EQ(b.dataIDSet().array().size(), 1u);
    EXPECT_EQ(b.dataTypeSet().array(), (std::vector<unsigned int>{2, 3, 4}));
    EXPECT_EQ(b.dataStateSet().array(), (std::vector<unsigned int>{0, 1}));
    EXPECT_EQ(b.dataValueSet().array(), (std::vector<int>{1, 1056964608, 7}));
    EXPECT_TRUE(b.dataValueSet().isValid());
}

TEST(PlcMoldSet, MissingOrEmptyMoldListGivesValidEmptySet)
{
    const CtvkParseMoldSet a(json(R"({"ID":9})"));
    EXPECT_TRUE(a.isValid());
    EXPECT_EQ(a.ID(), 9u);
    EXPECT_TRUE(a.moldList().empty());
    const CtvkParseMoldSet b(json(R"({"ID":9,"MoldList":[]})"));
    EXPECT_TRUE(b.isValid());
    EXPECT_FALSE(CtvkParseMoldSet(json("{}")).isValid());
}

TEST(PlcMoldSet, FirstBlockOfATypeWinsAndMapIsOrdered)
{
    const CtvkParseMoldSet s(json(R"({"MoldList":[{"Type":5},{"Type":3,"DataIDList":[1]},{"Type":1},{"Type":3,"DataIDList":[2]}]})"));
    EXPECT_TRUE(s.isValid());
    EXPECT_EQ(keysOf(s), (std::vector<unsigned int>{1, 3, 5}));
    EXPECT_EQ(s.moldList().at(3).dataIDSet().array(), (std::vector<unsigned int>{1}));
}

TEST(PlcMoldSet, KeyIsFirstTypeWhileBlockKeepsLastType)
{
    const CtvkParseMoldSet s(json(R"({"MoldList":[{"Type":3,"Type":4}]})"));
    ASSERT_EQ(keysOf(s), (std::vector<unsigned int>{3}));
    EXPECT_EQ(s.moldList().at(3).type(), 4u);
}

TEST(PlcMoldSet, BlockWithoutUnsignedTypeStopsTheSet)
{
    for (const char* block : {R"({"DataIDList":[1]})", R"({"Type":"2"})", R"({"Type":2.0})", "7"}) {
        const std::string text = std::string(R"({"MoldList":[{"Type":1},)") + block + R"(,{"Type":3}],"ID":9})";
        const CtvkParseMoldSet s(json(text.c_str()));
        EXPECT_FALSE(s.isValid()) << block;
        EXPECT_EQ(keysOf(s), (std::vector<unsigned int>{1})) << block;
        EXPECT_EQ(s.ID(), 0u) << block;   // the later "ID" is not read
    }
}

TEST(PlcMoldSet, MoldListNotAnArrayStopsAfterEarlierMembers)
{
    const CtvkParseMoldSet s(json(R"({"ID":9,"MoldList":{"Type":1}})"));
    EXPECT_FALSE(s.isValid());
    EXPECT_EQ(s.ID(), 9u);
    EXPECT_TRUE(s.moldList().empty());
}

TEST(PlcMoldSet, SecondMoldListAddsUnderSameRule)
{
    const CtvkParseMoldSet s(json(R"({"MoldList":[{"Type":2,"DataIDList":[1]}],"MoldList":[{"Type":2},{"Type":8}]})"));
    EXPECT_EQ(keysOf(s), (std::vector<unsigned int>{2, 8}));
    EXPECT_TRUE(s.moldList().at(2).dataIDSet().isValid());
}

TEST(PlcMoldSet, DroppedDuplicateStillReportsItsBadValueList)
{
    CtvkParseMoldSet s;
    const auto doc = json(R"({"MoldList":[{"Type":2},{"Type":2,"DataValueList":["x"]}]})");
    EXPECT_EQ(stdoutOf([&] { s.parse(doc); }), convertError);
    EXPECT_TRUE(s.isValid());
}

TEST(PlcMoldSet, CopiesAreDeep)
{
    const CtvkParseMoldSet s(json(R"({"MoldList":[{"Type":2,"DataIDList":[1]}]})"));
    CtvkParseMoldSet copy = s;
    copy.parse(json(R"({"MoldList":[{"Type":6}]})"));
    EXPECT_EQ(keysOf(s), (std::vector<unsigned int>{2}));
    EXPECT_EQ(keysOf(copy), (std::vector<unsigned int>{2, 6}));
}
