// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSSERVER_H
#define TVKMODBUSSERVER_H

#include "tvkmodbusdataunit.h"
#include "tvkmodbusdevice.h"

#include <cstdint>

namespace Quorvan {

class CtvkModbusServerPrivate;

// The answering side: keeps the register map (coils, discrete inputs,
// holding and input registers, each with its own start address and size)
// that a transport answers remote masters from. The host reads and writes
// the same map; nothing is announced when a value changes.
class TVK_FIELDLINK_EXPORT CtvkModbusServer : public CtvkModbusDevice {
public:
    TVK_DECLARE_PRIVATE(CtvkModbusServer)

    explicit CtvkModbusServer(CtvkObject* parent = nullptr);
    CtvkModbusServer(CtvkModbusServerPrivate* d, CtvkObject* parent);
    ~CtvkModbusServer() override;

    // Builds fresh tables, all entries 0, in libmodbus's order: coils,
    // discrete inputs, holding registers, input registers, each as start
    // address then count. The tables replaced are released. A start may be
    // negative: address a is entry a - start for the host and for remote
    // masters alike, so entries below address 0 are the host's alone. A
    // negative count makes no map (ConfigurationError).
    void setStartAddressAndNum(int coilsStart, int coilsCount,
                               int discreteInputsStart, int discreteInputsCount,
                               int holdingRegistersStart, int holdingRegistersCount,
                               int inputRegistersStart, int inputRegistersCount);

    // One value. Bit tables store 1 for any nonzero value.
    bool data(CtvkModbusDataUnit::RegisterType type, int address, unsigned short* value) const;
    bool setData(CtvkModbusDataUnit::RegisterType type, int address, unsigned short value);

    // A block: setData writes the unit's values from its start address on
    // (bit tables take the low 8 bits unfolded, register tables the low 16),
    // stopping at the first address outside the table; data appends the
    // table's values from the unit's start address to the table's end.
    bool setData(const CtvkModbusDataUnit& unit);
    bool data(CtvkModbusDataUnit* unit) const;

    int socketDescriptor();
    void setSocketDescriptor(int socket);

    // What the transport did so far, for hosts that show the traffic:
    // requests answered whole (exception answers included; broadcasts are
    // applied, never answered), and answers given up because they could not
    // go out whole at once.
    std::uint64_t requestsAnswered() const;
    std::uint64_t answersLost() const;

    // Starts serving; each transport says how.
    virtual void processRequest() = 0;
};

} // namespace Quorvan

#endif
