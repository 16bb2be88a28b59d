// SPDX-License-Identifier: MIT
// The mold data set and its blocks.
#include "tvkparseplccommon_p.h"

#include <utility>

namespace Quorvan {

using TvkPlc::isFilledObject;
using TvkPlc::keyIs;
using TvkPlc::takeUnsigned;

CtvkParseMoldBlock::CtvkParseMoldBlock(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseMoldBlock::parse(const rapidjson::Value& value)
{
    if (!isFilledObject(value))
        return;
    // The start position and pack size belong to the host; never touched here.
    for (const auto& member : value.GetObject()) {
        if (keyIs(member.name, "Type"))
            takeUnsigned(member.value, m_type);
        else if (keyIs(member.name, "DataIDList"))
            m_dataIDSet = CtvkParseArray(member.value);
        else if (keyIs(member.name, "DataTypeList"))
            m_dataTypeSet = CtvkParseArray(member.value);
        else if (keyIs(member.name, "DataStateList"))
            m_dataStateSet = CtvkParseArray(member.value);
        else if (keyIs(member.name, "DataValueList"))
            m_dataValueSet = CtvkParseParamsArray(member.value);
    }
    valid = 1;
}

CtvkParseMoldSet::CtvkParseMoldSet(const rapidjson::Value& value)
{
    parse(value);
}

void CtvkParseMoldSet::parse(const rapidjson::Value& value)
{
    if (!isFilledObject(value))
        return;
    for (const auto& member : value.GetObject()) {
        if (keyIs(member.name, "ID")) {
            takeUnsigned(member.value, m_ID);
        } else if (keyIs(member.name, "MoldList")) {
            if (!member.value.IsArray())
                return;
            for (const rapidjson::Value& element : member.value.GetArray()) {
                if (!element.IsObject())
                    return;
                // The first "Type" is the key; the block reader itself lets
                // a later one win for the block's own type field.
                const auto type = element.FindMember("Type");
                if (type == element.MemberEnd() || !type->value.IsUint())
                    return;
                // Read before the key check: a dropped block still reports
                // a bad value list, as it was read.
                CtvkParseMoldBlock block(element);
                m_moldList.emplace(type->value.GetUint(), std::move(block));
            }
        }
    }
    valid = 1;
}

} // namespace Quorvan
