// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSRTUSERIALSLAVE_P_H
#define TVKMODBUSRTUSERIALSLAVE_P_H

#include "tvkmodbusrtuserialslave.h"
#include "tvkmodbusclient_p.h"

#include <string>

namespace Quorvan {

class TVK_FIELDLINK_EXPORT CtvkModbusRtuSerialSlavePrivate : public CtvkModbusClientPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkModbusRtuSerialSlave)

    CtvkModbusRtuSerialSlavePrivate();
    ~CtvkModbusRtuSerialSlavePrivate() override;

    CtvkModbusAsyncLink* createLink() override;
    // Hands the serial mode to the open line's driver; the reason when it
    // does not take it, else empty.
    std::string applySerialMode();

    int serialMode = CtvkModbusRtuSerialSlave::Rs232;
};

} // namespace Quorvan

#endif
