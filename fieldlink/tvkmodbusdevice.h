// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSDEVICE_H
#define TVKMODBUSDEVICE_H

#include "tvkfieldlink_global.h"
#include "tvkobject.h"
#include "tvkstring.h"
#include "tvkvariant.h"

namespace Quorvan {

class CtvkModbusDevicePrivate;

// Abstract base of every Modbus endpoint: owns the libmodbus context, keeps
// the connection parameters a subclass builds that context from, the slave
// id and the last error. "errorOccurred(CtvkModbusDevice::Error)" is emitted
// each time an error is recorded.
//
// Threads: the devices are not thread-safe, except where stated otherwise.
// A device, its replies and every handler it calls belong to the thread
// that made it, whose event loop serves its sockets and timers: call it
// from that thread only. Devices on different threads share nothing,
// except the TCP servers' one list of accepted connections (see
// CtvkModbusTcpServer). No call blocks the loop unless it says so (the
// blocking requests), and no call can raise SIGPIPE.
class TVK_FIELDLINK_EXPORT CtvkModbusDevice : public CtvkObject {
public:
    TVK_DECLARE_PRIVATE(CtvkModbusDevice)

    enum Error {
        NoError = 0,
        ReadError = 1,
        WriteError = 2,
        ConnectionError = 3,
        ConfigurationError = 4
    };

    // Keys of connectionParameter(); any other key is kept for the application.
    enum ConnectionParameter {
        SerialPortName = 0,
        SerialParity = 1,
        SerialBaudRate = 2,
        SerialDataBits = 3,
        SerialStopBits = 4,
        NetworkPort = 5,
        NetworkAddress = 6
    };

    // Values of SerialParity; any other value means no parity as well.
    enum Parity {
        NoParity = 0,
        EvenParity = 2,
        OddParity = 3
    };

    explicit CtvkModbusDevice(CtvkObject* parent = nullptr);
    CtvkModbusDevice(CtvkModbusDevicePrivate* d, CtvkObject* parent);
    ~CtvkModbusDevice() override;

    virtual bool open() = 0;
    virtual void close();

    CtvkVariant connectionParameter(int key) const;
    void setConnectionParameter(int key, const CtvkVariant& value);

    void setSlave(int slave);
    int slave() const;

    Error error() const;
    CtvkString errorString() const;
    void setError(const CtvkString& text, Error code);

    // The response timeout lives in the libmodbus context: set it after open().
    void timeout(unsigned* seconds, unsigned* microseconds);
    bool setTimeout(unsigned seconds, unsigned microseconds);
    int flush();
};

} // namespace Quorvan

#endif
