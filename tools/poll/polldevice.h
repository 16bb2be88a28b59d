// SPDX-License-Identifier: MIT
#ifndef POLL_POLLDEVICE_H
#define POLL_POLLDEVICE_H

#include "polloptions.h"

#include "tvkmodbusclient.h"

#include <memory>
#include <string>
#include <vector>

namespace Quorvan {
class CtvkModbusReply;
}

namespace tvkpoll {

// The device the options describe, asked through the library's
// asynchronous requests: the only place that knows TCP from RTU. Nothing
// here waits for the device; the replies finish on the event loop.
class PollDevice {
public:
    explicit PollDevice(const PollOptions& options);
    ~PollDevice();
    PollDevice(const PollDevice&) = delete;
    PollDevice& operator=(const PollDevice&) = delete;

    // Starts connecting unless connected or connecting already; requests
    // made meanwhile wait for the connection. False with `error` set when
    // that failed at once, saying where.
    bool connect(std::string& error);
    Quorvan::CtvkModbusClient::State state() const;

    // The table's content from the first reference, of one slave.
    Quorvan::CtvkModbusReply* sendRead(int slave);
    // One 0/1 per coil or one word per register, from the first reference.
    Quorvan::CtvkModbusReply* sendWrite(int slave, const std::vector<unsigned short>& words);

    // The slave's id and status (function 17).
    Quorvan::CtvkModbusReply* sendReportSlaveId(int slave);

    // Over TLS, OpenSSL's own words for the last failure ("" if none):
    // the library says what went wrong in words a person can act on.
    std::string tlsDetail() const;
    // Whether the last failure was a mistake of this end's own TLS files (a
    // key that does not belong to its certificate, a file it cannot read).
    bool misconfigured() const;

    // Where the device is, for messages: "host:port" or the serial port.
    std::string where() const;
    Quorvan::CtvkModbusClient& client() { return *m_client; }

private:
    bool prepare(std::string& error);
    bool applyTimeout(std::string& error);

    const PollOptions& m_options;
    std::unique_ptr<Quorvan::CtvkModbusClient> m_client;
    bool m_prepared = false;
};

// The words of a finished read: one 0/1 per bit or one word per register.
std::vector<unsigned short> wordsRead(const Quorvan::CtvkModbusReply& reply);

} // namespace tvkpoll

#endif
