#ifndef TVKMODBUSCLIENT_H
#define TVKMODBUSCLIENT_H

#include "tvkmodbusdevice.h"

namespace Quorvan {

class CtvkModbusClientPrivate;

// The requesting side: each request is tried up to numberOfRetries() times
// on the device's context and blocks until an answer or the response
// timeout. A failure after the last attempt is recorded once (ReadError or
// WriteError); a success leaves the recorded error as it was.
class TVK_FIELDLINK_EXPORT CtvkModbusClient : public CtvkModbusDevice {
public:
    TVK_DECLARE_PRIVATE(CtvkModbusClient)

    explicit CtvkModbusClient(CtvkObject* parent = nullptr);
    CtvkModbusClient(CtvkModbusClientPrivate* d, CtvkObject* parent);
    ~CtvkModbusClient() override;

    int numberOfRetries() const;
    void setNumberOfRetries(int number);   // negative values are ignored

    bool sendReadColis(int address, int count, unsigned char* destination);
    bool sendReadDiscreteInputs(int address, int count, unsigned char* destination);
    bool sendReadHoldingRegisters(int address, int count, unsigned short* destination);
    bool sendReadInputRegisters(int address, int count, unsigned short* destination);
    bool sendWriteSingleColis(int address, int state);
    bool sendWriteMultiCoils(int address, int count, unsigned char* source);
    bool sendWriteSingleRegisters(int address, unsigned short value);
    bool sendWriteMultigisters(int address, int count, unsigned short* source);
};

} // namespace Quorvan

#endif
