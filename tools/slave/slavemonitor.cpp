#include "slavemonitor.h"

#include "tvkmodbustcpserver.h"
#include "tvkmodbustcpserver_p.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace Quorvan;

namespace tvkslave {

namespace {

constexpr int RateIntervalMs = 1000;

// "address:port" of a socket's own end or of its peer; -1 for the port when
// the socket has none.
std::string endpoint(int socket, bool peer, int* port = nullptr)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int rc = peer ? ::getpeername(socket, reinterpret_cast<sockaddr*>(&addr), &len)
                        : ::getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len);
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
    if (port)
        *port = number;
    return std::string(text) + ":" + std::to_string(number);
}

} // namespace

TrafficMonitor::TrafficMonitor(CtvkModbusTcpServer* server, std::FILE* out)
    : CtvkObject(nullptr), m_server(server), m_out(out)
{
    setClassName("TrafficMonitor");
    storeherits("TrafficMonitor");
    CtvkModbusTcpServerPrivate* d = server->d_func();
    m_counted = d->requestsAnswered;
    d->connectionWatcher = [this](int socket, bool connected) { connection(socket, connected); };
    m_timer = startTimer(RateIntervalMs);
}

TrafficMonitor::~TrafficMonitor()
{
    killTimer(m_timer);
    // The server must not call into a monitor that is gone.
    m_server->d_func()->connectionWatcher = nullptr;
}

int TrafficMonitor::listeningPort() const
{
    const CtvkSocketNotifier* listening = m_server->d_func()->listenNotifier;
    if (!listening)
        return -1;
    int port = -1;
    endpoint(listening->socket(), false, &port);
    return port;
}

void TrafficMonitor::connection(int socket, bool connected)
{
    if (connected) {
        const std::string who = endpoint(socket, true);
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
    const std::uint64_t now = m_server->d_func()->requestsAnswered;
    if (now == m_counted)
        return;
    const std::uint64_t perSecond = (now - m_counted) * 1000 / RateIntervalMs;
    m_counted = now;
    line(std::to_string(perSecond) + " requests/s, " + std::to_string(m_peers.size()) + " connections");
}

void TrafficMonitor::line(const std::string& text)
{
    std::fprintf(m_out, "%s\n", text.c_str());
    std::fflush(m_out);
}

} // namespace tvkslave
