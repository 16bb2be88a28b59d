#ifndef TVKMODBUSDEVICE_P_H
#define TVKMODBUSDEVICE_P_H

#include "tvkmodbusdevice.h"
#include "tvkobject_p.h"
#include "tvkhash.h"

#include <modbus.h>

namespace Quorvan {

class TVK_FIELDLINK_EXPORT CtvkModbusDevicePrivate : public CtvkObjectPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkModbusDevice)

    CtvkModbusDevicePrivate();
    ~CtvkModbusDevicePrivate() override;

    // Stores code and text, then emits "errorOccurred(CtvkModbusDevice::Error)".
    void setPrivateError(const CtvkString& text, CtvkModbusDevice::Error code);
    // Closes and frees the context and forgets it; harmless without one.
    void releaseContext();

    CtvkModbusDevice::Error error = CtvkModbusDevice::NoError;
    CtvkString errorString;
    modbus_t* modbusContext = nullptr;
    CtvkString serialPortName;
    int dataBits = 8;
    int parity = 2;
    int stopBits = 1;
    int baudRate = 19200;
    int networkPort = 502;
    int slave = 0;
    CtvkString networkAddress;
    CtvkHash<int, CtvkVariant> userParameters;
};

} // namespace Quorvan

#endif
