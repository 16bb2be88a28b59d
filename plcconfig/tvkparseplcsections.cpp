// SPDX-License-Identifier: MIT
// Protocol, endpoint, line-status and actual-data sections.
#include "tvkparseplccommon_p.h"

namespace Quorvan {

using TvkPlc::isFilledObject;
using TvkPlc::keyIs;
using TvkPlc::takeUnsigned;

CtvkParseProtocolData::CtvkParseProtocolData(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseProtocolData::parse(const rapidjson::Value& value)
{
    if (!isFilledObject(value))
        return;
    for (const auto& member : value.GetObject()) {
        if (keyIs(member.name, "IP")) {
            if (member.value.IsString())
                m_ip = member.value.GetString();   // up to the first zero character
        } else if (keyIs(member.name, "Port")) {
            takeUnsigned(member.value, m_port);
        }
    }
    valid = true;
}

CtvkParseProtocol::CtvkParseProtocol(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseProtocol::parse(const rapidjson::Value& value)
{
    if (!isFilledObject(value))
        return;
    for (const auto& member : value.GetObject()) {
        if (keyIs(member.name, "Version"))
            takeUnsigned(member.value, m_version);
        else if (keyIs(member.name, "Private"))
            takeUnsigned(member.value, m_priv);
        else if (keyIs(member.name, "Src"))
            m_source = CtvkParseProtocolData(member.value);
        else if (keyIs(member.name, "Host"))
            m_host = CtvkParseProtocolData(member.value);
    }
    valid = true;
}

CtvkParseLineStatus::CtvkParseLineStatus(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseLineStatus::parse(const rapidjson::Value& value)
{
    if (!isFilledObject(value))
        return;
    // Version and priv come from the protocol section, never from here.
    for (const auto& member : value.GetObject()) {
        if (keyIs(member.name, "ID"))
            takeUnsigned(member.value, m_ID);
        else if (keyIs(member.name, "CycleTime"))
            takeUnsigned(member.value, m_cycleTime);
    }
    valid = true;
}

CtvkParseActual::CtvkParseActual(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseActual::parse(const rapidjson::Value& value)
{
    if (!isFilledObject(value))
        return;
    for (const auto& member : value.GetObject()) {
        if (keyIs(member.name, "ID"))
            takeUnsigned(member.value, m_ID);
        else if (keyIs(member.name, "CycleTime"))
            takeUnsigned(member.value, m_cycleTime);
        else if (keyIs(member.name, "DataIDList"))
            m_dataIDSet = CtvkParseArray(member.value);
    }
    valid = true;
}

} // namespace Quorvan
