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
};

} // namespace Quorvan

#endif
