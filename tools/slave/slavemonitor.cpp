#include "slavemonitor.h"

#include "tvkmodbustcpserver.h"
#include "tvksignal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace Quorvan;

namespace tvkslave {

namespace {

constexpr int kRateIntervalMs = 1000;

// "address:port" of a socket's peer.
std::string peerEndpoint(int socket)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int rc = ::getpeername(socket, reinterpret_cast<sockaddr*>(&addr), &len);
    char text[INET6_ADDRSTRLEN] = "?";
    int number = -1;
    if (rc == 0 && addr.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        number = ntohs(in->sin_port);
    } else if (rc == 0 && addr.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        number = ntohs(in6->sin6_port);
    }
    return std::string(text) + ":" + std::to_string(number);
}

} // namespace

TrafficMonitor::TrafficMonitor(CtvkModbusTcpServer* server, std::FILE* out)
    : CtvkObject(nullptr), m_server(server), m_out(out)
{
    setClassName("TrafficMonitor");
    storeherits("TrafficMonitor");
    m_counted = server->requestsAnswered();
    // The monitor is the receiver: its connections go with it.
    CtvkObject::connect<int>(server, "clientConnected(int)", this,
                             std::function<void(int)>([this](int socket) { connection(socket, true); }));
    CtvkObject::connect<int>(server, "clientDisconnected(int)", this,
                             std::function<void(int)>([this](int socket) { connection(socket, false); }));
    m_timer = startTimer(kRateIntervalMs);
}

TrafficMonitor::~TrafficMonitor()
{
    killTimer(m_timer);
}

int TrafficMonitor::listeningPort() const
{
    return m_server->listeningPort();
}

void TrafficMonitor::connection(int socket, bool connected)
{
    if (connected) {
        const std::string who = peerEndpoint(socket);
        m_peers[socket] = who;
        line("connected " + who + " (" + std::to_string(m_peers.size()) + " open)");
        return;
    }
    const auto peer = m_peers.find(socket);
    if (peer == m_peers.end())
        return;
    const std::string who = peer->second;
    m_peers.erase(peer);
    line("disconnected " + who + " (" + std::to_string(m_peers.size()) + " open)");
}

void TrafficMonitor::timerEvent(CtvkTimerEvent* e)
{
    CtvkObject::timerEvent(e);
    const std::uint64_t now = m_server->requestsAnswered();
    if (now == m_counted)
        return;
    const std::uint64_t perSecond = (now - m_counted) * 1000 / kRateIntervalMs;
    m_counted = now;
    line(std::to_string(perSecond) + " requests/s, " + std::to_string(m_peers.size()) + " connections");
}

void TrafficMonitor::line(const std::string& text)
{
    std::fprintf(m_out, "%s\n", text.c_str());
    std::fflush(m_out);
}

} // namespace tvkslave
