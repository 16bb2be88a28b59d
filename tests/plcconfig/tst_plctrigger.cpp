// SPDX-License-Identifier: MIT
#include "plctestsupport.h"

using namespace Quorvan;
using PlcTest::convertError;
using PlcTest::json;
using PlcTest::stdoutOf;

TEST(PlcTriggerFeature, ArrayOfAnyElementsIsValidOtherValuesAreNot)
{
    const CtvkParseTriggerFeature empty(json("[]"));
    EXPECT_TRUE(empty.isValid());
    EXPECT_TRUE(empty.triggerParams().empty());
    EXPECT_FALSE(CtvkParseTriggerFeature(json("{}")).isValid());

    const CtvkParseTriggerFeature mixed(json(R"([5, {"Other":[]}])"));
    EXPECT_TRUE(mixed.isValid());
    ASSERT_EQ(mixed.triggerParams().size(), 2u);
    for (const auto& set : mixed.triggerParams()) {
        EXPECT_FALSE(set.isValid());
        EXPECT_TRUE(set.conditions().empty());
    }
}

TEST(PlcTriggerParamSet, FirstConditionMemberCountsAndEmptyArrayIsValid)
{
    const CtvkParseTriggerParamSet empty(json(R"({"Condition":[]})"));
    EXPECT_TRUE(empty.isValid());
    EXPECT_TRUE(empty.conditions().empty());

    const CtvkParseTriggerParamSet first(json(R"({"Condition":{},"Condition":[{"Type":1}]})"));
    EXPECT_FALSE(first.isValid());
    EXPECT_TRUE(first.conditions().empty());

    const CtvkParseTriggerParamSet firstArray(json(R"({"Condition":[{"Type":1}],"Condition":[{"Type":2},{"Type":3}]})"));
    EXPECT_TRUE(firstArray.isValid());
    ASSERT_EQ(firstArray.conditions().size(), 1u);
    EXPECT_EQ(firstArray.conditions()[0].type(), 1u);
}

TEST(PlcTriggerParamSet, EmptyConditionDroppedNonObjectStops)
{
    const CtvkParseTriggerParamSet dropped(json(R"({"Condition":[{"Type":1},{},{"Type":3}]})"));
    EXPECT_TRUE(dropped.isValid());
    ASSERT_EQ(dropped.conditions().size(), 2u);
    EXPECT_EQ(dropped.conditions()[1].type(), 3u);

    const CtvkParseTriggerParamSet stopped(json(R"({"Condition":[{"Type":1},"x",{"Type":3}]})"));
    EXPECT_FALSE(stopped.isValid());
    ASSERT_EQ(stopped.conditions().size(), 1u);
    EXPECT_EQ(stopped.conditions()[0].type(), 1u);
}

TEST(PlcTriggerCondition, TypeAndParamsWithMessageForBadWord)
{
    const CtvkParseTriggerCondition c(json(R"({"Type":2,"Params":[10,1.0]})"));
    EXPECT_TRUE(c.isValid());
    EXPECT_EQ(c.type(), 2u);
    EXPECT_EQ(c.params().array(), (std::vector<int>{10, 1065353216}));

    CtvkParseTriggerCondition bad;
    const auto doc = json(R"({"Type":2,"Params":["s"]})");
    EXPECT_EQ(stdoutOf([&] { bad.parse(doc); }), convertError);
    EXPECT_TRUE(bad.isValid());
    EXPECT_FALSE(bad.params().isValid());
}

TEST(PlcTrigger, OnlyIdGivesValidTriggerWithEverythingFresh)
{
    const CtvkParseTrigger t(json(R"({"ID":17})"));
    EXPECT_TRUE(t.isValid());
    EXPECT_EQ(t.ID(), 17u);
    EXPECT_EQ(t.groupID() + t.outTime() + t.delayTime() + t.sendCount() + t.dataIDFlag(), 0u);
    EXPECT_FALSE(t.dataIDSet().isValid());
    EXPECT_FALSE(t.startTrigger().isValid());
    EXPECT_FALSE(t.sendTrigger().isValid());
    EXPECT_FALSE(t.stopTrigger().isValid());
    EXPECT_FALSE(CtvkParseTrigger(json("{}")).isValid());
}

TEST(PlcTrigger, EveryKeyIsReadIntoItsOwnField)
{
    const CtvkParseTrigger t(json(R"({"ID":17,"GroupID":1,"OutTime":2,"DelayTime":3,"SendCount":4,"DataIDFlag":5,
        "DataIDList":[9],"StartTrigger":[],"SendTrigger":[{"Condition":[{"Type":6,"Params":[1]}]}],"StopTrigger":{},
        "GroupID":11,"OutTime":-2})"));
    EXPECT_EQ(t.groupID(), 11u);
    EXPECT_EQ(t.outTime(), 2u);
    EXPECT_EQ(t.delayTime(), 3u);
    EXPECT_EQ(t.sendCount(), 4u);
    EXPECT_EQ(t.dataIDFlag(), 5u);
    EXPECT_EQ(t.dataIDSet().array(), (std::vector<unsigned int>{9}));
    EXPECT_TRUE(t.startTrigger().isValid());
    EXPECT_TRUE(t.sendTrigger().isValid());
    ASSERT_EQ(t.sendTrigger().triggerParams().size(), 1u);
    EXPECT_EQ(t.sendTrigger().triggerParams()[0].conditions().at(0).type(), 6u);
    EXPECT_FALSE(t.stopTrigger().isValid());
}

TEST(PlcTrigger, CopyIsDeepAndSettersTouchOnlyTheCopy)
{
    const CtvkParseTrigger original(json(R"({"ID":17,"GroupID":3,"DataIDList":[4],
        "StartTrigger":[{"Condition":[{"Type":1,"Params":[7]}]}]})"));
    CtvkParseTrigger copy = original;
    copy.setGroupID(99);
    copy.setStartTrigger(CtvkParseTriggerFeature());
    copy.setDataIDSet(CtvkParseArray());
    EXPECT_EQ(original.groupID(), 3u);
    ASSERT_EQ(original.startTrigger().triggerParams().size(), 1u);
    EXPECT_EQ(original.startTrigger().triggerParams()[0].conditions()[0].params().array(), (std::vector<int>{7}));
    EXPECT_TRUE(original.startTrigger().isValid());
    EXPECT_TRUE(original.dataIDSet().isValid());
    EXPECT_FALSE(copy.startTrigger().isValid());
    EXPECT_FALSE(copy.dataIDSet().isValid());
}

TEST(PlcTrigger, NestedSettersCopyFlagListSettersDoNot)
{
    CtvkParseArray notValid;
    notValid.setArray({1, 2});
    CtvkParseTrigger t(json(R"({"ID":17,"DataIDList":[1]})"));
    t.setDataIDSet(notValid);
    EXPECT_FALSE(t.dataIDSet().isValid());
    EXPECT_EQ(t.dataIDSet().array().size(), 2u);

    CtvkParseTriggerParamSet set(json(R"({"Condition":[]})"));
    std::vector<CtvkParseTriggerCondition> conditions(2);
    set.setConditions(conditions);
    EXPECT_TRUE(set.isValid());
    EXPECT_EQ(set.conditions().size(), 2u);
    EXPECT_EQ(conditions.size(), 2u);

    CtvkParseTriggerFeature feature;
    feature.setTriggerParams({set});
    EXPECT_FALSE(feature.isValid());
    EXPECT_EQ(feature.triggerParams().size(), 1u);

    CtvkParseParamsArray params;
    params.setValid(true);
    CtvkParseTriggerCondition condition;
    condition.setParams(params);
    condition.setType(3);
    EXPECT_TRUE(condition.params().isValid());
    EXPECT_FALSE(condition.isValid());
    EXPECT_EQ(condition.type(), 3u);
}
