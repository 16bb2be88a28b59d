#include "tvkmodbusdataunit.h"

namespace Quorvan {

CtvkModbusDataUnit::CtvkModbusDataUnit()
    : tag(0), registerType(Invalid), startAddress(-1)
{
}

} // namespace Quorvan
