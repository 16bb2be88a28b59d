#ifndef TVKMODBUSRTUSERIALSLAVE_H
#define TVKMODBUSRTUSERIALSLAVE_H

#include "tvkmodbusclient.h"

namespace Quorvan {

class CtvkModbusRtuSerialSlavePrivate;

// Sends Modbus RTU requests on a serial line (the requesting side, whatever
// the name says). open() builds the libmodbus context from SerialPortName,
// SerialBaudRate, SerialParity (2 even, 3 odd, anything else none),
// SerialDataBits and SerialStopBits and addresses the requests to slave();
// the requests themselves are those of CtvkModbusClient and block the caller.
class TVK_FIELDLINK_EXPORT CtvkModbusRtuSerialSlave : public CtvkModbusClient {
public:
    TVK_DECLARE_PRIVATE(CtvkModbusRtuSerialSlave)

    // Keeps the class name "CtvkModbusClient"; only the constructor taking a
    // private object names the class after itself.
    explicit CtvkModbusRtuSerialSlave(CtvkObject* parent = nullptr);
    CtvkModbusRtuSerialSlave(CtvkModbusRtuSerialSlavePrivate* d, CtvkObject* parent);
    ~CtvkModbusRtuSerialSlave() override;

    bool open() override;

    // libmodbus's RTS delay of the context in microseconds; -1 without one.
    int interFrameDelay();
    // Sets that delay. A value libmodbus refuses (negative, or no context)
    // is tried a bounded number of times, then ConfigurationError is
    // recorded with libmodbus's text and the answer is false.
    bool setInterFrameDelay(int delay);
};

} // namespace Quorvan

#endif
