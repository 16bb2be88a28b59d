// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSRTUSERIALSLAVE_H
#define TVKMODBUSRTUSERIALSLAVE_H

#include "tvkmodbusclient.h"

namespace Quorvan {

class CtvkModbusRtuSerialSlavePrivate;

// Sends Modbus RTU requests on a serial line (the requesting side, whatever
// the name says). open() builds the libmodbus context from SerialPortName,
// SerialBaudRate, SerialParity (2 even, 3 odd, anything else none),
// SerialDataBits and SerialStopBits and addresses the requests to slave().
//
// Blocking: the requests of CtvkModbusClient that fill a buffer go through
// libmodbus and block the caller until the answer or the last attempt's
// response timeout.
//
// Asynchronous: after connectDevice() (which opens the line if open() has
// not), the requests that hand out a reply are written without blocking
// and answered through the event loop, one at a time, with the silence
// between frames kept. After a timed-out or broken answer the next request
// waits for one response timeout of silence on the line and drops what came
// in before, so that a late answer is never taken for another request's.
class TVK_FIELDLINK_EXPORT CtvkModbusRtuSerialSlave : public CtvkModbusClient {
public:
    TVK_DECLARE_PRIVATE(CtvkModbusRtuSerialSlave)

    // Keeps the class name "CtvkModbusClient"; only the constructor taking a
    // private object names the class after itself.
    explicit CtvkModbusRtuSerialSlave(CtvkObject* parent = nullptr);
    CtvkModbusRtuSerialSlave(CtvkModbusRtuSerialSlavePrivate* d, CtvkObject* parent);
    ~CtvkModbusRtuSerialSlave() override;

    bool open() override;

    // How the line drives RTS: not at all (RS-232), or in RS-485 mode with
    // RTS on while sending or after sending, by the serial driver (the
    // kernel's RS-485 mode), so that nothing waits for the bytes to leave.
    enum SerialMode { Rs232 = 0, Rs485RtsOnSend = 1, Rs485RtsAfterSend = 2 };
    // Taken at open(), which fails with ConfigurationError on a line whose
    // driver has no RS-485 mode; at once when the line is open.
    bool setSerialMode(SerialMode mode);
    SerialMode serialMode() const;

    // libmodbus's RTS delay of the context in microseconds; -1 without one.
    int interFrameDelay();
    // Sets that delay. A value libmodbus refuses (negative, or no context)
    // is tried a bounded number of times, then ConfigurationError is
    // recorded with libmodbus's text and the answer is false.
    bool setInterFrameDelay(int delay);
};

} // namespace Quorvan

#endif
