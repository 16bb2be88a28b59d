#ifndef SLAVEMONITOR_H
#define SLAVEMONITOR_H

#include "tvkobject.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace Quorvan {
class CtvkModbusTcpServer;
}

namespace tvkslave {

// Tells the engineer what happens on the wire of one TCP server: a line for
// each connection as it comes and as it goes and, once a second while there
// is traffic, the requests answered per second. It rests on the server's
// own hooks (its connection watcher and count of answered requests), so
// the figures are the server's, not a guess from outside. Destroy it before
// the server.
class TrafficMonitor : public Quorvan::CtvkObject {
public:
    TrafficMonitor(Quorvan::CtvkModbusTcpServer* server, std::FILE* out);
    ~TrafficMonitor() override;

    // The port the server listens on, or -1 when it does not listen.
    int listeningPort() const;
    std::size_t connectionCount() const noexcept { return m_peers.size(); }

protected:
    void timerEvent(Quorvan::CtvkTimerEvent* e) override;

private:
    void connection(int socket, bool connected);
    void line(const std::string& text);

    Quorvan::CtvkModbusTcpServer* m_server;
    std::FILE* m_out;
    std::map<int, std::string> m_peers;   // socket -> peer address
    std::uint64_t m_counted = 0;          // requests answered at the last tick
    int m_timer = 0;
};

} // namespace tvkslave

#endif
