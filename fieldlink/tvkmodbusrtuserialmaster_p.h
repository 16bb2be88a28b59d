#ifndef TVKMODBUSRTUSERIALMASTER_P_H
#define TVKMODBUSRTUSERIALMASTER_P_H

#include "tvkmodbusrtuserialmaster.h"
#include "tvkmodbusserver_p.h"
#include "tvkrtuframer_p.h"

#include <chrono>

namespace Quorvan {

class CtvkSocketNotifier;

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
    // Answers one request (or applies one broadcast) from the framer.
    void answer(const CtvkRtuFramer::Frame& frame);
    // Sends an exception answer for the request in `request`.
    void sendException(int code);
    // The line hung up: stop watching it and say so.
    void lineLost(const CtvkString& text);

    CtvkSocketNotifier* notifier = nullptr;
    unsigned char request[MODBUS_RTU_MAX_ADU_LENGTH] = {};   // the request being answered

    CtvkRtuFramer framer;
    std::chrono::steady_clock::time_point lastData;
};

} // namespace Quorvan

#endif
