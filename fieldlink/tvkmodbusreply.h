// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSREPLY_H
#define TVKMODBUSREPLY_H

#include "tvkmodbusdataunit.h"
#include "tvkmodbusdevice.h"

#include <vector>

namespace Quorvan {

class CtvkModbusReplyPrivate;

// The outcome of one asynchronous request of a CtvkModbusClient. The send
// call hands it out at once; it finishes later, on the event loop, and then
// emits "errorOccurred(CtvkModbusDevice::Error)" (on failure) and
// "finished()", exactly once and never from inside the send call.
//
// The caller owns the reply and may delete it (or deleteLater() it) at any
// time, before it finishes too: the request then goes on without it, and
// its answer is dropped.
class TVK_FIELDLINK_EXPORT CtvkModbusReply : public CtvkObject {
public:
    TVK_DECLARE_PRIVATE(CtvkModbusReply)

    ~CtvkModbusReply() override;

    bool isFinished() const;
    // What was read (a read or read-write request), or what was written,
    // with the register type and start address of the request.
    CtvkModbusDataUnit result() const;
    int serverAddress() const;

    // NoError once finished well; the same codes and texts as the
    // blocking requests give otherwise.
    CtvkModbusDevice::Error error() const;
    CtvkString errorString() const;
    // The Modbus exception code the server answered with, 0 when none.
    int exceptionCode() const;
    // The answer PDU of a raw request (function code first), as it came.
    std::vector<unsigned char> rawResult() const;

    bool event(CtvkEvent* e) override;

private:
    friend class CtvkModbusAsyncLink;
    explicit CtvkModbusReply(CtvkModbusReplyPrivate* d);
};

} // namespace Quorvan

#endif
