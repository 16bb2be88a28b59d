// SPDX-License-Identifier: MIT
#include "tooltraffic.h"

#include "toolconsole.h"
#include "toollisten.h"

#include "tvksignal.h"

#include <sys/socket.h>

#include <functional>

using namespace Quorvan;

namespace tvktool {

namespace {

constexpr int kNotAnswered = -1;   // the observer's outcome for a unit id not served

std::string peerEndpoint(int socket)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "?:-1";
    return endpointText(reinterpret_cast<const sockaddr*>(&address));
}

} // namespace

TrafficMonitor::TrafficMonitor(CtvkModbusTcpServer* server, Console* console)
    : CtvkObject(nullptr), m_server(server), m_console(console)
{
    setClassName("TrafficMonitor");
    storeherits("TrafficMonitor");
    m_counted = server->requestsAnswered();
    // The monitor is the receiver: its connections go with it.
    CtvkObject::connect<int>(server, "clientConnected(int)", this,
                             std::function<void(int)>([this](int socket) { connection(socket, true); }));
    CtvkObject::connect<int>(server, "clientDisconnected(int)", this,
                             std::function<void(int)>([this](int socket) { connection(socket, false); }));
    if (console->verbosity() == Verbosity::Verbose)
        server->setRequestObserver([this](const CtvkModbusTcpServer::Request& r) { request(r); });
    CtvkObject::connect(&m_timer, "timeout()", this, std::function<void()>([this] { tick(); }));
    m_timer.start(kRateIntervalMs);
}

TrafficMonitor::~TrafficMonitor()
{
    m_server->setRequestObserver(nullptr);
}

void TrafficMonitor::connection(int socket, bool connected)
{
    if (connected) {
        ++m_seen;
        const std::string who = peerEndpoint(socket);
        m_peers[socket] = who;
        m_console->info("connected " + who + " (" + std::to_string(m_peers.size()) + " open)");
        return;
    }
    const auto peer = m_peers.find(socket);
    if (peer == m_peers.end())
        return;
    const std::string who = peer->second;
    m_peers.erase(peer);
    m_console->info("disconnected " + who + " (" + std::to_string(m_peers.size()) + " open)");
}

void TrafficMonitor::request(const CtvkModbusTcpServer::Request& r)
{
    const auto peer = m_peers.find(r.socket);
    std::string line = (peer == m_peers.end() ? std::string("?") : peer->second)
        + (r.role.empty() ? std::string() : " role " + r.role) + " unit " + std::to_string(r.unit)
        + " function " + std::to_string(r.function) + " address " + std::to_string(r.address) + " count "
        + std::to_string(r.count) + ": ";
    if (r.exceptionCode == 0)
        line += "answered";
    else if (r.exceptionCode == kNotAnswered)
        line += "not answered (unit id not served)";
    else
        line += "exception " + std::to_string(r.exceptionCode) + (r.refused ? " (not granted)" : "");
    m_console->info(line);
}

void TrafficMonitor::tick()
{
    const std::uint64_t now = m_server->requestsAnswered();
    if (now == m_counted)
        return;
    const std::uint64_t perSecond = (now - m_counted) * 1000 / kRateIntervalMs;
    m_counted = now;
    m_console->info(std::to_string(perSecond) + " requests/s, " + std::to_string(m_peers.size()) + " connections"
                    + droppedNote(*m_console));
}

} // namespace tvktool
