#ifndef TVKMODBUSSERVER_P_H
#define TVKMODBUSSERVER_P_H

#include "tvkmodbusserver.h"
#include "tvkmodbusdevice_p.h"

#include "tvkvector"

namespace Quorvan {

// Single-table access to the register map. An address `a` is in a table
// with start `s` and count `n` when s <= a < s + n. None of these records
// an error; before any map exists every one fails as for an address
// outside. The bit-table writes store the byte as given (no folding).
class TVK_FIELDLINK_EXPORT CtvkModbusServerPrivate : public CtvkModbusDevicePrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkModbusServer)

    CtvkModbusServerPrivate();
    ~CtvkModbusServerPrivate() override;

    unsigned char processReadCoilsRequest(bool* ok, int address);
    unsigned char processReadDiscreteInputsRequest(bool* ok, int address);
    unsigned short processReadHoldingRegistersRequest(bool* ok, int address);
    unsigned short processReadInputRegistersRequest(bool* ok, int address);

    bool processWriteCoilsRequest(int address, unsigned char value);
    bool processWriteDiscreteInputsRequest(int address, unsigned char value);
    bool processWriteHoldingRegistersRequest(int address, unsigned short value);
    bool processWriteInputRegistersRequest(int address, unsigned short value);

    // Element i goes to address + i; the first address outside answers
    // false with the elements before it written.
    bool processWriteMultiCoilsRequest(int address, const CtvkVector<unsigned char>& values);
    bool processWriteMultiDiscreteInputsRequest(int address, const CtvkVector<unsigned char>& values);
    bool processWriteMultiHoldingRegistersRequest(int address, const CtvkVector<unsigned short>& values);
    bool processWriteMultiInputRegistersRequest(int address, const CtvkVector<unsigned short>& values);

    // Up to `count` entries from `address` on; `*ok` false when the range
    // leaves the table (the entries before it are returned).
    CtvkVector<unsigned char> processReadMultiCoilsRequest(bool* ok, int address, int count);
    CtvkVector<unsigned char> processReadMultiDiscreteInputsRequest(bool* ok, int address, int count);
    CtvkVector<unsigned short> processReadMultiHoldingRegistersRequest(bool* ok, int address, int count);
    CtvkVector<unsigned short> processReadMultiInputRegistersRequest(bool* ok, int address, int count);

    // Frees the map and forgets it; harmless without one.
    void releaseMapping();

    modbus_mapping_t* mapping = nullptr;
};

} // namespace Quorvan

#endif
