#ifndef POLL_POLLDEVICE_H
#define POLL_POLLDEVICE_H

#include "polloptions.h"

#include "tvkmodbusclient.h"

#include <memory>
#include <string>
#include <vector>

namespace tvkpoll {

// The requesting device the options describe, made through the library's
// clients: the only place that knows TCP from RTU. Null with `error` set
// when the device cannot be described (a host name that does not resolve).
std::unique_ptr<Quorvan::CtvkModbusClient> makeClient(const PollOptions& options, std::string& error);

// One device and the requests of a poll on it. After a failed request the
// connection is dropped, so the next poll starts on a fresh one: a device
// that went away and came back is polled again, and an answer that arrives
// after its timeout is never taken for the next one.
class PollDevice {
public:
    explicit PollDevice(const PollOptions& options);
    ~PollDevice();
    PollDevice(const PollDevice&) = delete;
    PollDevice& operator=(const PollDevice&) = delete;

    bool isOpen() const { return m_open; }
    bool open(std::string& error);
    void close();

    // The table's raw content from the first reference: one 0/1 per bit or
    // one word per register.
    bool read(std::vector<unsigned short>& words, std::string& error);
    bool write(const std::vector<unsigned short>& words, std::string& error);

private:
    bool fail(std::string& error);

    const PollOptions& m_options;
    std::unique_ptr<Quorvan::CtvkModbusClient> m_client;
    bool m_open = false;
};

} // namespace tvkpoll

#endif
