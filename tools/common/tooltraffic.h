// SPDX-License-Identifier: MIT
#ifndef TOOLTRAFFIC_H
#define TOOLTRAFFIC_H

#include "tvkmodbustcpserver.h"
#include "tvktimer.h"

#include <cstdint>
#include <map>
#include <string>

namespace tvktool {

class Console;

// How often the rate lines look at the counters.
constexpr int kRateIntervalMs = 1000;

// Tells the engineer what happens on the wire of one TCP server: a line for
// each connection as it comes and as it goes, with -v one for each request
// and, once a second while there is traffic, the requests answered per
// second. It rests on the server's own hooks (its connection signals, its
// request observer and its count of answered requests), so the figures are
// the server's, not a guess from outside. Destroy it before the server.
class TrafficMonitor : public Quorvan::CtvkObject {
public:
    TrafficMonitor(Quorvan::CtvkModbusTcpServer* server, Console* console);
    ~TrafficMonitor() override;

    // Connections accepted since the start.
    std::uint64_t connectionsSeen() const noexcept { return m_seen; }

private:
    void tick();
    void connection(int socket, bool connected);
    void request(const Quorvan::CtvkModbusTcpServer::Request& r);

    Quorvan::CtvkModbusTcpServer* m_server;
    Console* m_console;
    std::map<int, std::string> m_peers;   // socket -> peer address
    std::uint64_t m_seen = 0;
    std::uint64_t m_counted = 0;          // requests answered at the last tick
    Quorvan::CtvkTimer m_timer;
};

} // namespace tvktool

#endif
