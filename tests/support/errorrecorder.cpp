// SPDX-License-Identifier: MIT
#include "errorrecorder.h"

#include "tvksignal.h"

#include <functional>

namespace tvktest {

ErrorRecorder::ErrorRecorder(Quorvan::CtvkModbusDevice* device)
{
    using Quorvan::CtvkModbusDevice;
    CtvkObject::connect<CtvkModbusDevice::Error>(
        device, "errorOccurred(CtvkModbusDevice::Error)", this,
        std::function<void(CtvkModbusDevice::Error)>(
            [this](CtvkModbusDevice::Error code) { codes.push_back(code); }));
}

} // namespace tvktest
