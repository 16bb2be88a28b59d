// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSCLIENT_P_H
#define TVKMODBUSCLIENT_P_H

#include "tvkmodbusclient.h"
#include "tvkmodbusdevice_p.h"

#include <functional>
#include <memory>

namespace Quorvan {

class CtvkModbusAsyncLink;
class CtvkModbusReply;
struct CtvkModbusRequest;

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

    // The transport of the asynchronous requests, made at first use; the
    // plain client has one that cannot connect.
    virtual CtvkModbusAsyncLink* createLink();
    CtvkModbusAsyncLink* linkToUse();
    // Ends the asynchronous connection; every open request finishes with
    // ConnectionError. Called before the context is released, since a
    // serial link watches the context's line.
    void stopLink();
    // The same, quietly, and the transport goes: for the destructors.
    void destroyLink();
    // Hands a built request to the transport, or refuses it with errno
    // `err` (the reply finishes on the loop).
    CtvkModbusReply* sendAsync(std::unique_ptr<CtvkModbusRequest> request, int err);
    // A token that lives as long as the device: replies record their
    // failure on the device only while it lives.
    std::weak_ptr<void> aliveToken();

    CtvkModbusAsyncLink* link = nullptr;
    int maximumInFlight = 1;
    int connectTimeoutMs = 0;   // 0: the response timeout
    int reconnectFirstMs = 0;   // 0: no reconnects
    int reconnectMostMs = 0;
    bool requestsWaitForReconnect = false;
    std::function<void(bool, const unsigned char*, int)> frameObserver;
    // Unit 0 is a broadcast on a serial line only; over TCP it is an
    // ordinary address.
    bool serialLine = false;

private:
    std::shared_ptr<void> m_alive;

    template <class Request>
    int attempt(Request request);
    // attempt() for a write, which may be a broadcast.
    template <class Request>
    int attemptWrite(Request request);
    // Whether a blocking request may go: not while asynchronous requests
    // are open (`code` recorded then), since one would take the other's
    // answer, and on a serial line only once what a failed asynchronous
    // attempt may still send has passed. When false, the device may be
    // gone (a line that failed meanwhile was told to the handlers).
    bool mayBlock(CtvkModbusDevice::Error code);
    // Records `code` with errno's text when `result` is -1; answers success.
    bool conclude(int result, CtvkModbusDevice::Error code);
};

} // namespace Quorvan

#endif
