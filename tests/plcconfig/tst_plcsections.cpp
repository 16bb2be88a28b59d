// SPDX-License-Identifier: MIT
#include "plctestsupport.h"

#include <type_traits>
#include <vector>

using namespace Quorvan;
using PlcTest::json;

TEST(PlcEndpoint, FreshAndPartialValues)
{
    const CtvkParseProtocolData fresh;
    EXPECT_EQ(fresh.ip(), "");
    EXPECT_EQ(fresh.port(), 65535u);
    EXPECT_FALSE(fresh.isValid());

    const CtvkParseProtocolData onlyIp(json(R"({"IP":"10.0.0.2"})"));
    EXPECT_TRUE(onlyIp.isValid());
    EXPECT_EQ(onlyIp.ip(), "10.0.0.2");
    EXPECT_EQ(onlyIp.port(), 65535u);

    const CtvkParseProtocolData widePort(json(R"({"Port":70000})"));
    EXPECT_EQ(widePort.port(), 70000u);
}

TEST(PlcEndpoint, WrongTypesAreIgnoredAndLaterMemberWins)
{
    const CtvkParseProtocolData e(json(R"({"IP":"a","Port":1,"IP":5,"Port":-1,"Port":"2","Port":2.0,"Port":502,"ip":"b"})"));
    EXPECT_TRUE(e.isValid());
    EXPECT_EQ(e.ip(), "a");
    EXPECT_EQ(e.port(), 502u);
    const CtvkParseProtocolData second(json(R"({"IP":"a","IP":"b"})"));
    EXPECT_EQ(second.ip(), "b");
}

TEST(PlcEndpoint, IpStopsAtEmbeddedZeroAndKeyMustMatchWhole)
{
    const CtvkParseProtocolData e(json(R"({"IP":"1.2\u00003.4","Port\u0000":9})"));
    EXPECT_EQ(e.ip(), "1.2");
    EXPECT_EQ(e.port(), 65535u);
}

TEST(PlcProtocol, EmptyObjectOrNonObjectIsNotValid)
{
    for (const char* text : {"{}", "[]", "3", "null"}) {
        const CtvkParseProtocol p(json(text));
        EXPECT_FALSE(p.isValid()) << text;
        EXPECT_FALSE(p.source().isValid());
        EXPECT_EQ(p.source().port(), 65535u);
    }
}

TEST(PlcProtocol, OnlyVersionIsValidWithFreshEndpoints)
{
    const CtvkParseProtocol p(json(R"({"Version":2})"));
    EXPECT_TRUE(p.isValid());
    EXPECT_EQ(p.version(), 2u);
    EXPECT_EQ(p.priv(), 0u);
    EXPECT_FALSE(p.source().isValid());
    EXPECT_FALSE(p.host().isValid());
}

TEST(PlcProtocol, SecondSrcReplacesFirstCompletely)
{
    const CtvkParseProtocol p(json(R"({"Src":{"IP":"1.1.1.1","Port":1},"Src":{"Port":2},"Host":{"IP":"h"},"Host":7,"Private":9})"));
    EXPECT_TRUE(p.isValid());
    EXPECT_EQ(p.source().ip(), "");     // not kept from the first "Src"
    EXPECT_EQ(p.source().port(), 2u);
    EXPECT_TRUE(p.source().isValid());
    EXPECT_FALSE(p.host().isValid());   // a number leaves a fresh endpoint
    EXPECT_EQ(p.host().ip(), "");
    EXPECT_EQ(p.priv(), 9u);
}

TEST(PlcLineStatus, ReadsIdAndCycleTimeButNeverVersion)
{
    const CtvkParseLineStatus fresh;
    EXPECT_EQ(fresh.cycleTime(), 10000u);
    const CtvkParseLineStatus s(json(R"({"ID":7,"Version":4,"Private":3,"CycleTime":250})"));
    EXPECT_TRUE(s.isValid());
    EXPECT_EQ(s.ID(), 7u);
    EXPECT_EQ(s.cycleTime(), 250u);
    EXPECT_EQ(s.version(), 0u);
    EXPECT_EQ(s.priv(), 0u);
    CtvkParseLineStatus copy = s;
    copy.setVersion(5);
    copy.setPriv(6);
    EXPECT_EQ(copy.version(), 5u);
    EXPECT_EQ(copy.priv(), 6u);
    EXPECT_TRUE(copy.isValid());
    EXPECT_EQ(s.version(), 0u);
}

TEST(PlcActual, EmptyIdentifierListIsNotValidSectionIs)
{
    const CtvkParseActual a(json(R"({"ID":1,"DataIDList":[]})"));
    EXPECT_TRUE(a.isValid());
    EXPECT_EQ(a.ID(), 1u);
    EXPECT_EQ(a.cycleTime(), 500u);
    EXPECT_TRUE(a.dataIDSet().array().empty());
    EXPECT_FALSE(a.dataIDSet().isValid());
}

TEST(PlcActual, LaterListReplacesEarlierAndBadListLeavesFreshOne)
{
    const CtvkParseActual a(json(R"({"DataIDList":[1,2,3],"DataIDList":[5,6,"x",8],"CycleTime":5e0})"));
    EXPECT_TRUE(a.isValid());
    EXPECT_EQ(a.cycleTime(), 500u);
    EXPECT_EQ(a.dataIDSet().array(), (std::vector<unsigned int>{5, 6}));
    EXPECT_FALSE(a.dataIDSet().isValid());

    const CtvkParseActual b(json(R"({"DataIDList":[1,2],"DataIDList":{}})"));
    EXPECT_TRUE(b.dataIDSet().array().empty());
    EXPECT_FALSE(b.dataIDSet().isValid());

    const CtvkParseActual c(json(R"({"DataIDList":[1.0]})"));
    EXPECT_TRUE(c.dataIDSet().array().empty());
    EXPECT_FALSE(c.dataIDSet().isValid());
}

// Every reader is a converting constructor: a host writes
// `CtvkParseActual actual = body;` as well as `CtvkParseActual actual(body);`.
template <class... Reader>
constexpr bool convertFromDomValue = (std::is_convertible_v<const rapidjson::Value&, Reader> && ...);
static_assert(convertFromDomValue<CtvkParseArray, CtvkParseParamsArray, CtvkParseProtocolData, CtvkParseProtocol,
                                  CtvkParseLineStatus, CtvkParseActual, CtvkParseMoldBlock, CtvkParseMoldSet,
                                  CtvkParseTriggerCondition, CtvkParseTriggerParamSet, CtvkParseTriggerFeature,
                                  CtvkParseTrigger>);

TEST(PlcSections, CopyInitialisedReaderReadsTheValue)
{
    const rapidjson::Document body = json(R"({"ID":1,"CycleTime":20,"DataIDList":[4,5]})");
    const CtvkParseActual actual = body;
    EXPECT_TRUE(actual.isValid());
    EXPECT_EQ(actual.cycleTime(), 20u);
    EXPECT_EQ(actual.dataIDSet().array(), (std::vector<unsigned int>{4, 5}));
}
