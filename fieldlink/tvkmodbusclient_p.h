#ifndef TVKMODBUSCLIENT_P_H
#define TVKMODBUSCLIENT_P_H

#include "tvkmodbusclient.h"
#include "tvkmodbusdevice_p.h"

namespace Quorvan {

class TVK_FIELDLINK_EXPORT CtvkModbusClientPrivate : public CtvkModbusDevicePrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkModbusClient)

    CtvkModbusClientPrivate();
    ~CtvkModbusClientPrivate() override;

    virtual bool isOpen() const;
    void init();

    // One per request of CtvkModbusClient: the result of the first attempt
    // libmodbus did not fail, or -1 (errno from the last failure). They
    // record no error.
    int processReadCoils(int address, int count, unsigned char* destination);
    int processReadDiscrete(int address, int count, unsigned char* destination);
    int processReadRgisters(int address, int count, unsigned short* destination);
    int processReadMInputRegisters(int address, int count, unsigned short* destination);
    int processWriteCoils(int address, int state);
    int processWriteMultiColis(int address, int count, unsigned char* source);
    int processWriteRegisters(int address, unsigned short value);
    int processWriteMultiRegisters(int address, int count, unsigned short* source);

    int numberOfRetries = 3;

private:
    template <class Request>
    int attempt(Request request);
    // attempt() for a write, which may be a broadcast.
    template <class Request>
    int attemptWrite(Request request);
    // Records `code` with errno's text when `result` is -1; answers success.
    bool conclude(int result, CtvkModbusDevice::Error code);
};

} // namespace Quorvan

#endif
