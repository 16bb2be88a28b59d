// SPDX-License-Identifier: MIT
#include "tvkmodbusdataunit.h"

namespace Quorvan {

CtvkModbusDataUnit::CtvkModbusDataUnit()
    : tag(0), registerType(Invalid), startAddress(-1)
{
}

CtvkModbusDataUnit::CtvkModbusDataUnit(RegisterType type, int start, int count)
    : tag(0), registerType(type), startAddress(start)
{
    if (count > 0)
        values.reserve(count);
    for (int i = 0; i < count; ++i)
        values.append(CtvkVariant(0));
}

} // namespace Quorvan
