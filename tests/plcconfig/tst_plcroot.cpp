// SPDX-License-Identifier: MIT
#include "plcscriptfiles.h"
#include "plctestsupport.h"

#include <iostream>

using namespace Quorvan;
using PlcTest::convertError;
using PlcTest::stdoutOf;

namespace {

class PlcRoot : public PlcTest::ScriptFiles {
protected:
    // Reads the text as a script file; returns the standard output it wrote.
    std::string read(CtvkParsePlcCommon& root, const std::string& text)
    {
        const std::string path = write(text, "s" + std::to_string(++m_count) + ".json");
        return stdoutOf([&] { root.parse(path); });
    }
    int m_count = 0;
};

const char* const lineStatus = R"({"Type":{"ID":7,"CycleTime":20}})";
const char* const protocol = R"({"Protocol":{"Version":3,"Private":8,"Src":{"IP":"1.2.3.4","Port":9}}})";

void expectFresh(const CtvkParsePlcCommon& r)
{
    EXPECT_FALSE(r.isValid());
    EXPECT_FALSE(r.protocol().isValid());
    EXPECT_FALSE(r.actual().isValid());
    EXPECT_FALSE(r.lineStatus().isValid());
    EXPECT_FALSE(r.moldSet().isValid());
    EXPECT_TRUE(r.triggers().empty());
}

} // namespace

TEST_F(PlcRoot, EmptyArrayIsValidWithFreshSectionsAndNoVersionLine)
{
    CtvkParsePlcCommon r;
    EXPECT_EQ(read(r, "  []\n"), "");
    EXPECT_TRUE(r.isValid());
    EXPECT_FALSE(r.protocol().isValid());
    EXPECT_EQ(r.actual().cycleTime(), 500u);
    EXPECT_EQ(r.lineStatus().cycleTime(), 10000u);
    EXPECT_TRUE(r.triggers().empty());
}

TEST_F(PlcRoot, UnreadableOrNonArrayInputLeavesObjectFresh)
{
    const std::vector<std::string> texts = {
        "", " \n\t", R"({"Protocol":{"Version":1}})", "5", "\"[]\"", "[", "[1,]", "[] []", "[] x",
        "/* c */ []", "[NaN]", "[1e400]", std::string("[]\0", 3), std::string("[]\0[1]", 6),
        std::string("[\"a\0b\"]", 7), std::string("\0[]", 3)};
    for (const std::string& text : texts) {
        CtvkParsePlcCommon r;
        EXPECT_EQ(read(r, text), "") << text;
        expectFresh(r);
    }
    CtvkParsePlcCommon missing(dir() + "/does-not-exist.json");
    expectFresh(missing);
    CtvkParsePlcCommon directory(dir());
    expectFresh(directory);
}

TEST_F(PlcRoot, ByteOrderMarkFullOrPartialFailsTheParse)
{
    for (const char* bom : {"\xEF\xBB\xBF", "\xEF\xBB", "\xEF"}) {
        CtvkParsePlcCommon r;
        EXPECT_EQ(read(r, std::string(bom) + "[" + protocol + "]"), "");
        expectFresh(r);
    }
}

TEST_F(PlcRoot, PathWithZeroByteNamesNoFile)
{
    const std::string path = write(std::string("[") + protocol + "]", "real.json");
    CtvkParsePlcCommon r;
    EXPECT_EQ(stdoutOf([&] { r.parse(path + std::string("\0.other", 7)); }), "");
    expectFresh(r);
    EXPECT_EQ(stdoutOf([&] { r.parse(path); }), "parse version: 3\n");
}

TEST_F(PlcRoot, FullScriptFillsEverySectionAndCopiesVersionAfterwards)
{
    CtvkParsePlcCommon r;
    const std::string out = read(r, std::string("[") + lineStatus + R"(,
        {"Type":{"ID":1,"CycleTime":100,"DataIDList":[11,12]}},
        {"Type":{"ID":9,"MoldList":[{"Type":2,"DataIDList":[1]}]}},
        {"Type":{"ID":17,"GroupID":1}}, {"Type":{"ID":17,"GroupID":2}}, {"Type":{"ID":17,"GroupID":3}},
        )" + protocol + "]");
    EXPECT_EQ(out, "parse version: 3\n");
    EXPECT_TRUE(r.isValid());
    EXPECT_EQ(r.protocol().source().ip(), "1.2.3.4");
    EXPECT_EQ(r.lineStatus().ID(), 7u);
    EXPECT_EQ(r.lineStatus().cycleTime(), 20u);
    EXPECT_EQ(r.lineStatus().version(), 3u);
    EXPECT_EQ(r.lineStatus().priv(), 8u);
    EXPECT_EQ(r.actual().ID(), 1u);
    EXPECT_EQ(r.actual().dataIDSet().array(), (std::vector<unsigned int>{11, 12}));
    EXPECT_EQ(r.moldSet().ID(), 9u);
    EXPECT_EQ(r.moldSet().moldList().size(), 1u);
    ASSERT_EQ(r.triggers().size(), 3u);
    for (unsigned int i = 0; i < 3; ++i) {
        EXPECT_EQ(r.triggers()[i].ID(), 17u);
        EXPECT_EQ(r.triggers()[i].groupID(), i + 1);
    }
}

TEST_F(PlcRoot, NonObjectElementStopsKeepingEarlierSections)
{
    for (const char* bad : {"5", "[]", "\"x\"", "null"}) {
        CtvkParsePlcCommon r;
        const std::string out = read(r, std::string("[") + protocol + "," + lineStatus + "," + bad +
                                            R"(,{"Type":{"ID":1}},{"Type":{"ID":17}}])");
        EXPECT_EQ(out, "") << bad;
        EXPECT_FALSE(r.isValid());
        EXPECT_TRUE(r.protocol().isValid());
        EXPECT_TRUE(r.lineStatus().isValid());
        EXPECT_EQ(r.lineStatus().version(), 0u);
        EXPECT_EQ(r.lineStatus().priv(), 0u);
        EXPECT_FALSE(r.actual().isValid());   // after the stop: not read
        EXPECT_TRUE(r.triggers().empty());
    }
}

TEST_F(PlcRoot, BadTypeOrIdStopsTheArray)
{
    for (const char* bad : {R"({"Type":[]})", R"({"Type":{"CycleTime":1}})", R"({"Type":{"ID":"7"}})",
                            R"({"Type":{"ID":7.0}})", R"({"Type":{"ID":-7}})", R"({"Type":5,"Protocol":{}})"}) {
        CtvkParsePlcCommon r;
        EXPECT_EQ(read(r, std::string("[") + lineStatus + "," + bad + "," + protocol + "]"), "") << bad;
        EXPECT_FALSE(r.isValid()) << bad;
        EXPECT_TRUE(r.lineStatus().isValid());
        EXPECT_FALSE(r.protocol().isValid());
    }
}

TEST_F(PlcRoot, SelectingKeysUseTheirFirstMember)
{
    CtvkParsePlcCommon r;
    read(r, R"([{"Type":{"ID":1,"ID":7},"Type":{"ID":9},"Protocol":{"Version":1}},
                {"Protocol":{"Version":5},"Protocol":{"Version":6}}])");
    EXPECT_TRUE(r.isValid());
    EXPECT_TRUE(r.actual().isValid());
    EXPECT_EQ(r.actual().ID(), 7u);   // inside the section the later "ID" wins
    EXPECT_FALSE(r.moldSet().isValid());
    EXPECT_EQ(r.protocol().version(), 5u);
}

TEST_F(PlcRoot, ElementWithTypeNeverReadsItsProtocol)
{
    CtvkParsePlcCommon r;
    EXPECT_EQ(read(r, R"([{"Protocol":{"Version":2},"Type":{"ID":7}},{"Type":{"ID":2},"Protocol":{"Version":6}}])"), "");
    EXPECT_TRUE(r.isValid());
    EXPECT_TRUE(r.lineStatus().isValid());
    EXPECT_FALSE(r.protocol().isValid());
    EXPECT_EQ(r.lineStatus().version(), 0u);
}

TEST_F(PlcRoot, StoppedFirstParseThenCompleteSecondUsesProtocolHeldFromFirst)
{
    CtvkParsePlcCommon r;
    EXPECT_EQ(read(r, std::string("[") + protocol + R"(,{"Type":{"ID":17,"GroupID":1}},"stop",{"Type":{"ID":17}}])"), "");
    EXPECT_FALSE(r.isValid());
    EXPECT_EQ(r.triggers().size(), 1u);
    // The second text holds no protocol: the one kept from the stopped read
    // is what the complete read copies into its new line status.
    EXPECT_EQ(read(r, R"([{"Type":{"ID":7,"CycleTime":3}},{"Type":{"ID":17,"GroupID":2}}])"), "parse version: 3\n");
    EXPECT_TRUE(r.isValid());
    EXPECT_EQ(r.lineStatus().cycleTime(), 3u);
    EXPECT_EQ(r.lineStatus().version(), 3u);
    EXPECT_EQ(r.lineStatus().priv(), 8u);
    ASSERT_EQ(r.triggers().size(), 2u);
    EXPECT_EQ(r.triggers()[1].groupID(), 2u);
}

TEST_F(PlcRoot, UnknownCodesAndPlainObjectsAreSkipped)
{
    CtvkParsePlcCommon r;
    EXPECT_EQ(read(r, R"([{"Type":{"ID":2}},{},{"Other":1},{"type":{"ID":1}},{"Type":{"ID":4294967295}}])"), "");
    EXPECT_TRUE(r.isValid());
    EXPECT_FALSE(r.actual().isValid());
}

TEST_F(PlcRoot, LaterSectionReplacesEarlierCompletely)
{
    CtvkParsePlcCommon r;
    read(r, R"([{"Type":{"ID":1,"CycleTime":100,"DataIDList":[1,2]}},{"Type":{"ID":1}},
                {"Type":{"ID":9,"MoldList":[{"Type":1}]}},{"Type":{"ID":9,"MoldList":{}}},
                {"Protocol":{"Version":2,"Src":{"IP":"a"}}},{"Protocol":{}}])");
    EXPECT_TRUE(r.isValid());
    EXPECT_TRUE(r.actual().isValid());
    EXPECT_EQ(r.actual().cycleTime(), 500u);
    EXPECT_TRUE(r.actual().dataIDSet().array().empty());
    EXPECT_FALSE(r.actual().dataIDSet().isValid());
    EXPECT_FALSE(r.moldSet().isValid());
    EXPECT_TRUE(r.moldSet().moldList().empty());
    EXPECT_FALSE(r.protocol().isValid());
    EXPECT_EQ(r.protocol().source().ip(), "");
    EXPECT_EQ(r.protocol().version(), 0u);
}

TEST_F(PlcRoot, EmptyProtocolObjectWritesNoVersionLine)
{
    CtvkParsePlcCommon r;
    EXPECT_EQ(read(r, std::string("[") + lineStatus + R"(,{"Protocol":{}},{"Protocol":7}])"), "");
    EXPECT_TRUE(r.isValid());
    EXPECT_FALSE(r.protocol().isValid());
    EXPECT_EQ(r.lineStatus().version(), 0u);
    EXPECT_EQ(r.lineStatus().priv(), 0u);
}

TEST_F(PlcRoot, InvalidTriggerIsDroppedValidOnesKeepOrder)
{
    CtvkParsePlcCommon r;
    read(r, R"([{"Type":{"ID":17,"GroupID":1,"StartTrigger":{}}},{"Type":{"ID":17,"GroupID":2}}])");
    ASSERT_EQ(r.triggers().size(), 2u);
    EXPECT_FALSE(r.triggers()[0].startTrigger().isValid());
    EXPECT_EQ(r.triggers()[1].groupID(), 2u);
}

TEST_F(PlcRoot, WordListMessagesAppearBeforeVersionLineAndOnlyForReadElements)
{
    CtvkParsePlcCommon r;
    const char* badCondition = R"({"Type":{"ID":17,"StartTrigger":[{"Condition":[{"Type":1,"Params":[true]}]}]}})";
    EXPECT_EQ(read(r, std::string("[") + protocol + "," + badCondition + "," + badCondition + "]"),
              convertError + convertError + "parse version: 3\n");
    EXPECT_TRUE(r.isValid());

    CtvkParsePlcCommon stopped;
    EXPECT_EQ(read(stopped, std::string("[") + protocol + "," + badCondition + ",1," + badCondition + "]"),
              convertError);
    EXPECT_FALSE(stopped.isValid());
    EXPECT_EQ(stopped.triggers().size(), 1u);
}

TEST_F(PlcRoot, ParseErrorAnywhereLeavesObjectUntouchedAndSilent)
{
    CtvkParsePlcCommon r;
    EXPECT_EQ(read(r, std::string("[") + protocol + "," + lineStatus + "]"), "parse version: 3\n");
    const char* badCondition = R"({"Type":{"ID":17,"StartTrigger":[{"Condition":[{"Params":["x"]}]}]}})";
    const std::vector<std::string> broken = {
        std::string("[") + badCondition + R"(,{"Type":{"ID":7}},{"Protocol":{"Version":9}}] ,)",
        std::string("[") + badCondition + R"(,{"Type":{"ID":1}},4,{"Protocol":{"Version":9} ])",
        std::string("[") + badCondition + R"(,{"Type":{"ID":1}}])" + std::string("\0", 1),
    };
    for (const std::string& text : broken) {
        EXPECT_EQ(read(r, text), "") << text;
        EXPECT_TRUE(r.isValid());
        EXPECT_EQ(r.protocol().version(), 3u);
        EXPECT_EQ(r.lineStatus().cycleTime(), 20u);
        EXPECT_FALSE(r.actual().isValid());
        EXPECT_TRUE(r.triggers().empty());
    }
}

TEST_F(PlcRoot, SecondParseReadsOverFirstAndAppendsTriggers)
{
    CtvkParsePlcCommon r;
    read(r, std::string("[") + protocol + R"(,{"Type":{"ID":17,"GroupID":1}},{"Type":{"ID":1,"CycleTime":5}}])");
    EXPECT_EQ(read(r, R"([{"Type":{"ID":17,"GroupID":2}},{"Type":{"ID":7}},3])"), "");
    EXPECT_TRUE(r.isValid());   // never cleared
    ASSERT_EQ(r.triggers().size(), 2u);
    EXPECT_EQ(r.triggers()[0].groupID(), 1u);
    EXPECT_EQ(r.triggers()[1].groupID(), 2u);
    EXPECT_EQ(r.actual().cycleTime(), 5u);
    EXPECT_EQ(r.lineStatus().version(), 0u);   // stopped: no copy into the new line status
    // A complete second read copies the version of the protocol held from the first.
    EXPECT_EQ(read(r, std::string("[") + lineStatus + "]"), "parse version: 3\n");
    EXPECT_EQ(r.lineStatus().version(), 3u);
}

TEST_F(PlcRoot, CopiesOfTheRootAreDeep)
{
    CtvkParsePlcCommon r;
    read(r, R"([{"Type":{"ID":17,"StartTrigger":[{"Condition":[{"Type":1,"Params":[2]}]}]}}])");
    CtvkParsePlcCommon copy = r;
    read(copy, R"([{"Type":{"ID":17}}])");
    EXPECT_EQ(r.triggers().size(), 1u);
    EXPECT_EQ(copy.triggers().size(), 2u);
    EXPECT_EQ(copy.triggers()[0].startTrigger().triggerParams()[0].conditions()[0].params().array(),
              (std::vector<int>{2}));
}

TEST_F(PlcRoot, VersionLineIsUnsignedDecimal)
{
    CtvkParsePlcCommon r;
    EXPECT_EQ(read(r, R"([{"Protocol":{"Version":4294967295}}])"), "parse version: 4294967295\n");
    // Decimal whatever format the host left the stream in.
    std::cout << std::hex << std::showbase;
    CtvkParsePlcCommon hexHost;
    const std::string line = read(hexHost, R"([{"Protocol":{"Version":26}}])");
    std::cout << std::dec << std::noshowbase;
    EXPECT_EQ(line, "parse version: 26\n");
    CtvkParsePlcCommon other(write(R"([{"Protocol":{"Version":3}}])", "ctor.json"));
    EXPECT_TRUE(other.isValid());
    EXPECT_EQ(other.protocol().version(), 3u);
}
