// SPDX-License-Identifier: MIT
#ifndef TVKTEST_ERRORRECORDER_H
#define TVKTEST_ERRORRECORDER_H

#include "tvkmodbusdevice.h"
#include "tvkobject.h"

#include <vector>

namespace tvktest {

// Connects to "errorOccurred(CtvkModbusDevice::Error)" of one device and
// keeps every code it receives, in order.
class ErrorRecorder : public Quorvan::CtvkObject {
public:
    explicit ErrorRecorder(Quorvan::CtvkModbusDevice* device);
    std::vector<Quorvan::CtvkModbusDevice::Error> codes;
};

} // namespace tvktest

#endif
