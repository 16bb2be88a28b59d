#ifndef TVKMODBUSRTUSERIALSLAVE_P_H
#define TVKMODBUSRTUSERIALSLAVE_P_H

#include "tvkmodbusrtuserialslave.h"
#include "tvkmodbusclient_p.h"

namespace Quorvan {

class TVK_FIELDLINK_EXPORT CtvkModbusRtuSerialSlavePrivate : public CtvkModbusClientPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkModbusRtuSerialSlave)

    CtvkModbusRtuSerialSlavePrivate();
    ~CtvkModbusRtuSerialSlavePrivate() override;

    // The line could not be opened or cannot be used: the context is
    // released before the error is recorded, so a handler of
    // "errorOccurred" finds the device closed and may open it again.
    void failConnection(const CtvkString& text);
};

} // namespace Quorvan

#endif
