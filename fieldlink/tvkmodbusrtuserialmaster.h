// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSRTUSERIALMASTER_H
#define TVKMODBUSRTUSERIALMASTER_H

#include "tvkmodbusserver.h"

namespace Quorvan {

class CtvkModbusRtuSerialMasterPrivate;

// Answers Modbus RTU requests on a serial line from the register map of
// CtvkModbusServer (the answering side, whatever the name says). open()
// builds the libmodbus context from the serial parameters and answers to
// slave(); processRequest() watches the line from the event loop. Each time
// the line has data, what is there is read without waiting; every complete
// request for slave() is answered against the map, broadcast writes are
// applied without an answer, and frames for other slaves and their answers
// are passed over.
class TVK_FIELDLINK_EXPORT CtvkModbusRtuSerialMaster : public CtvkModbusServer {
public:
    TVK_DECLARE_PRIVATE(CtvkModbusRtuSerialMaster)

    explicit CtvkModbusRtuSerialMaster(CtvkObject* parent = nullptr);
    CtvkModbusRtuSerialMaster(CtvkModbusRtuSerialMasterPrivate* d, CtvkObject* parent);
    ~CtvkModbusRtuSerialMaster() override;

    bool open() override;
    void close() override;
    void processRequest() override;

    // What passed on the line so far, for hosts that show the traffic.
    struct LineCounters {
        std::uint64_t requests = 0;           // for this slave id, handed on to be answered
        std::uint64_t broadcasts = 0;         // applied, never answered
        std::uint64_t otherSlaveFrames = 0;   // requests to other slaves and their answers
        std::uint64_t noiseBytes = 0;         // noise, broken and unfinished frames
    };
    LineCounters lineCounters() const;
};

} // namespace Quorvan

#endif
