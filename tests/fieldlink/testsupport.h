#ifndef FIELDLINK_TESTSUPPORT_H
#define FIELDLINK_TESTSUPPORT_H

#include "tvkmodbusdevice.h"
#include "tvkobject.h"

#include <chrono>
#include <functional>
#include <vector>

namespace tvktest {

// Number of descriptors this process holds open right now.
int openDescriptors();

// Polls `done` until it answers true or `timeoutMs` have passed.
bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000);

// Connects to "errorOccurred(CtvkModbusDevice::Error)" of one device and
// keeps every code it receives, in order.
class ErrorRecorder : public Quorvan::CtvkObject {
public:
    explicit ErrorRecorder(Quorvan::CtvkModbusDevice* device);
    std::vector<Quorvan::CtvkModbusDevice::Error> codes;
};

} // namespace tvktest

#endif
