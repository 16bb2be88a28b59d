// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSDATAUNIT_H
#define TVKMODBUSDATAUNIT_H

#include "tvkfieldlink_global.h"
#include "tvkvariant.h"
#include "tvkvector"

namespace Quorvan {

// A block of values of one register table: the carrier of the register
// map's block reads and writes. The first value belongs to startAddress,
// the next to startAddress + 1, and so on. Bit tables hold 0/1 per value,
// register tables 16-bit unsigned values.
class TVK_FIELDLINK_EXPORT CtvkModbusDataUnit {
public:
    enum RegisterType : int {
        Invalid = 0,
        DiscreteInputs = 1,
        Coils = 2,
        InputRegisters = 3,
        HoldingRegisters = 4
    };

    CtvkModbusDataUnit();
    // A unit of `count` zero values, as the asynchronous reads take it.
    CtvkModbusDataUnit(RegisterType type, int startAddress, int count);

    // Free for the host; nothing in the library reads or writes it.
    int tag;
    RegisterType registerType;
    int startAddress;
    CtvkVector<CtvkVariant> values;
};

} // namespace Quorvan

#endif
