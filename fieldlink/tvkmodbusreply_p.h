// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSREPLY_P_H
#define TVKMODBUSREPLY_P_H

#include "tvkmodbusreply.h"
#include "tvkobject_p.h"

#include <memory>
#include <vector>

namespace Quorvan {

class CtvkModbusAsyncLink;
class CtvkModbusClient;
struct CtvkModbusRequest;

class CtvkModbusReplyPrivate : public CtvkObjectPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkModbusReply)

    // How a request ended, applied to the reply when the loop delivers it.
    struct Outcome {
        CtvkModbusDevice::Error error = CtvkModbusDevice::NoError;
        CtvkString errorString;
        int exceptionCode = 0;
        CtvkModbusDataUnit result;
        std::vector<unsigned char> raw;   // a raw request's answer PDU
    };

    // The event that delivers the outcome.
    static constexpr int kFinishEvent = CtvkEvent::User + 0x4D;

    CtvkModbusReplyPrivate(int serverAddress, CtvkModbusClient* device, std::weak_ptr<void> deviceAlive);
    ~CtvkModbusReplyPrivate() override;

    // Takes the outcome and has the loop deliver it: the reply finishes on
    // the loop, never inside the call that ended the request.
    void finishLater(Outcome outcome);

    int serverAddress = 0;
    bool finished = false;
    Outcome outcome;
    Outcome pending;
    // The device whose error is recorded too when the request fails, while
    // it lives.
    CtvkModbusClient* device = nullptr;
    std::weak_ptr<void> deviceAlive;
    // The request while it is the link's; reset when it ends.
    CtvkModbusAsyncLink* link = nullptr;
    CtvkModbusRequest* request = nullptr;
    // False once the reply is gone: a handler may delete it.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace Quorvan

#endif
