// SPDX-License-Identifier: MIT
// Triggers and their condition trees.
#include "tvkparseplccommon_p.h"

#include <utility>

namespace Quorvan {

using TvkPlc::isFilledObject;
using TvkPlc::keyIs;
using TvkPlc::takeUnsigned;

CtvkParseTriggerCondition::CtvkParseTriggerCondition(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseTriggerCondition::parse(const rapidjson::Value& value)
{
    if (!isFilledObject(value))
        return;
    for (const auto& member : value.GetObject()) {
        if (keyIs(member.name, "Type"))
            takeUnsigned(member.value, m_type);
        else if (keyIs(member.name, "Params"))
            m_params = CtvkParseParamsArray(member.value);
    }
    valid = true;
}

CtvkParseTriggerParamSet::CtvkParseTriggerParamSet(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseTriggerParamSet::parse(const rapidjson::Value& value)
{
    if (!value.IsObject())
        return;
    const auto list = value.FindMember("Condition");
    if (list == value.MemberEnd() || !list->value.IsArray())
        return;
    m_conditions.reserve(m_conditions.size() + list->value.Size());
    for (const rapidjson::Value& element : list->value.GetArray()) {
        if (!element.IsObject())
            return;
        CtvkParseTriggerCondition condition(element);
        if (condition.isValid())
            m_conditions.push_back(std::move(condition));
    }
    valid = true;
}

CtvkParseTriggerFeature::CtvkParseTriggerFeature(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseTriggerFeature::parse(const rapidjson::Value& value)
{
    if (!value.IsArray())
        return;
    m_triggerParams.reserve(m_triggerParams.size() + value.Size());
    for (const rapidjson::Value& element : value.GetArray())
        m_triggerParams.emplace_back(element);   // kept valid or not
    valid = true;
}

CtvkParseTrigger::CtvkParseTrigger(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseTrigger::parse(const rapidjson::Value& value)
{
    if (!isFilledObject(value))
        return;
    for (const auto& member : value.GetObject()) {
        const rapidjson::Value& name = member.name;
        const rapidjson::Value& v = member.value;
        if (keyIs(name, "ID"))
            takeUnsigned(v, m_ID);
        else if (keyIs(name, "GroupID"))
            takeUnsigned(v, m_groupID);
        else if (keyIs(name, "OutTime"))
            takeUnsigned(v, m_outTime);
        else if (keyIs(name, "DelayTime"))
            takeUnsigned(v, m_delayTime);
        else if (keyIs(name, "SendCount"))
            takeUnsigned(v, m_sendCount);
        else if (keyIs(name, "DataIDFlag"))
            takeUnsigned(v, m_dataIDFlag);
        else if (keyIs(name, "DataIDList"))
            m_dataIDSet = CtvkParseArray(v);
        else if (keyIs(name, "StartTrigger"))
            m_startTrigger = CtvkParseTriggerFeature(v);
        else if (keyIs(name, "SendTrigger"))
            m_sendTrigger = CtvkParseTriggerFeature(v);
        else if (keyIs(name, "StopTrigger"))
            m_stopTrigger = CtvkParseTriggerFeature(v);
    }
    valid = true;
}

} // namespace Quorvan
