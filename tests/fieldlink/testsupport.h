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

// A loopback port that refuses connections: bound, so nobody else takes it,
// but not listening.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

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
