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

    CtvkModbusAsyncLink* createLink() override;
};

} // namespace Quorvan

#endif
