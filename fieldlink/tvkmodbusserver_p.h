// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSSERVER_P_H
#define TVKMODBUSSERVER_P_H

#include "tvkmodbusserver.h"
#include "tvkmodbusdevice_p.h"

#include "tvkvector"

#include <cstdint>

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

    // The exception code a complete request PDU must get before libmodbus
    // sees it, or 0: what libmodbus would stall on, and every request while
    // there is no map (libmodbus would read through a null pointer).
    int exceptionBeforeReply(const unsigned char* pdu) const;
    // The exception libmodbus will answer a request that passed
    // exceptionBeforeReply() with, or 0: an address outside its table, a
    // coil written with a value other than on or off. For telling what
    // happened to a request, not for answering it.
    int expectedException(const unsigned char* pdu) const;

    // An answer that could not go out whole at once is given up, never
    // waited for: the loop must not stall on one master. The master sees no
    // answer or a broken one, times out and asks again. What that leaves
    // behind is the transport's to mend: a TCP stream carrying part of an
    // answer is out of step for good (the master would read the rest as the
    // next answer), so the connection ends; on a serial line the master
    // drops a broken frame by its CRC, and the silence before its next
    // request sets the line straight by itself.
    void answerLost() { ++answersLost; }

    modbus_mapping_t* mapping = nullptr;
    std::uint64_t requestsAnswered = 0;   // sent whole, exceptions included
    std::uint64_t answersLost = 0;
};

} // namespace Quorvan

#endif
