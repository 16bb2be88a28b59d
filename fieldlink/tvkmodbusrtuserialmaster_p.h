// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSRTUSERIALMASTER_P_H
#define TVKMODBUSRTUSERIALMASTER_P_H

#include "tvkmodbusrtuserialmaster.h"
#include "tvkmodbusserver_p.h"

#include <chrono>
#include <memory>

namespace Quorvan {

class CtvkSocketNotifier;
class CtvkRtuFramer;

class TVK_FIELDLINK_EXPORT CtvkModbusRtuSerialMasterPrivate : public CtvkModbusServerPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkModbusRtuSerialMaster)

    CtvkModbusRtuSerialMasterPrivate();
    ~CtvkModbusRtuSerialMasterPrivate() override;

    // Zeroes the request buffer and forgets any bytes read so far.
    void setup();
    // Reads what the line holds, without waiting, and answers every
    // complete request for this device.
    void processData();
    // Deletes the notifier, if any.
    void tvkClearNotifier();

    // Watches the context's descriptor; false when there is none.
    bool watchLine();
    // Answers one request (or applies one broadcast) the framer found.
    void answer(const unsigned char* frame, int length, bool broadcast);
    // Sends an exception answer for the request in `request`.
    void sendException(int code);
    // Counts an answer that went out whole; one that did not is lost.
    void answered(bool whole);
    // The line hung up (err 0) or failed with errno `err`: stop watching
    // it and say so.
    void lineLost(int err);

    CtvkSocketNotifier* notifier = nullptr;
    unsigned char request[MODBUS_RTU_MAX_ADU_LENGTH] = {};   // the request being answered

    // Finds this device's requests in what the line delivers.
    std::unique_ptr<CtvkRtuFramer> framer;
    std::chrono::steady_clock::time_point lastData;
};

} // namespace Quorvan

#endif
