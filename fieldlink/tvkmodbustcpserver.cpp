// SPDX-License-Identifier: MIT
// The connections of the TCP servers: listening, accepting in batches,
// the library's one list of accepted connections, and their ends.
#include "tvkmodbustcpserver.h"
#include "tvkmodbustcpserver_p.h"

#include "tvkmodbustcpconnection_p.h"
#include "tvksignal.h"
#include "tvkthread.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace Quorvan {

namespace {

// How long accepting rests when the process is out of descriptors, unless
// a connection ends first.
constexpr int kAcceptRetryMs = 100;
// Connections taken per wakeup of the listening socket; the loop comes back
// for more while the queue is not empty.
constexpr int kAcceptBatch = 64;

const char* const kInvalidSettings = "Invalid connection settings for TCP communication specified.";
const char* const kOtherThread = "TCP servers of one process are served from one thread, and another serves already";

// The thread that serves the TCP servers while any of them listens.
class ServingThread {
public:
    bool enter(CtvkThread* thread)
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        if (m_listening > 0 && m_thread != thread)
            return false;
        m_thread = thread;
        ++m_listening;
        return true;
    }
    void leave()
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        if (m_listening > 0)
            --m_listening;
    }

private:
    std::mutex m_lock;
    CtvkThread* m_thread = nullptr;
    int m_listening = 0;
};

ServingThread& servingThread()
{
    static auto* serving = new ServingThread;
    return *serving;
}

// One answer per request: waiting to coalesce only adds latency. (The
// socket is accepted non-blocking: a client that does not read its answers
// must never hold up the loop in a blocking send.)
void prepareClientSocket(int socket)
{
    const int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

// The listening socket's notifier, which can rest for a while when
// accepting fails for want of descriptors: the listening socket stays
// readable then, and a level-triggered loop would spin on it.
class CtvkModbusTcpListenNotifier : public CtvkSocketNotifier {
public:
    using CtvkSocketNotifier::CtvkSocketNotifier;

    void pause(int ms)
    {
        setEnabled(false);
        if (!m_timer)
            m_timer = startTimer(ms);
    }
    void resume()
    {
        if (m_timer) {
            killTimer(m_timer);
            m_timer = 0;
        }
        setEnabled(true);
    }

protected:
    void timerEvent(CtvkTimerEvent* e) override
    {
        if (e && e->timerId() == m_timer)
            resume();
    }

private:
    int m_timer = 0;
};

CtvkModbusTcpServerPrivate::CtvkModbusTcpServerPrivate()
    : security(new CtvkModbusTcpSecurity), routing(new CtvkModbusTcpRouting)
{
    setLive(this, true);
}

CtvkModbusTcpServerPrivate::~CtvkModbusTcpServerPrivate()
{
    setLive(this, false);
}

CtvkVector<CtvkSocketNotifier*>& CtvkModbusTcpServerPrivate::acceptNotifierList()
{
    // Never destroyed: a server in static storage may be destroyed after
    // this unit's own statics.
    static auto* list = new CtvkVector<CtvkSocketNotifier*>;
    return *list;
}

std::unordered_map<int, CtvkModbusTcpConnection*>& CtvkModbusTcpServerPrivate::connectionIndex()
{
    static auto* index = new std::unordered_map<int, CtvkModbusTcpConnection*>;
    return *index;
}

bool CtvkModbusTcpServerPrivate::modbusCreate()
{
    if (networkAddress.isNull() || networkPort <= 0 || networkPort > 65535 || !resolvable()) {
        // libmodbus would cut a port beyond 16 bits and listen elsewhere.
        // The line is made before the error is emitted: a handler may
        // destroy the server.
        const std::string line = std::string("(TCP server) Invalid host:")
            + networkAddress.toAscii().constData() + "or port:" + std::to_string(networkPort);
        setPrivateError(CtvkString::fromAscii(kInvalidSettings), CtvkModbusDevice::ConnectionError);
        printLine(line);
        return false;
    }
    if (modbusContext)
        return true;
    // Names and IPv6 literals as well as IPv4 ones; empty: every address.
    modbusContext = modbus_new_tcp_pi(networkAddress.toAscii().constData(), std::to_string(networkPort).c_str());
    if (!modbusContext) {
        const int err = errno;
        setErrnoError(err, CtvkModbusDevice::ConnectionError);
        return false;
    }
    std::string why;
    if (!secure(&why)) {
        releaseContext();
        setPrivateError(CtvkString::fromStdString(why), CtvkModbusDevice::ConfigurationError);
        return false;
    }
    return true;
}

bool CtvkModbusTcpServerPrivate::resolvable() const
{
    // An address that names no host must never end in a socket listening
    // somewhere else (a plain IPv4 parse takes "1.2.3.999" or a name for
    // 255.255.255.255). libmodbus listens on the first address a passive
    // lookup gives, so the same lookup judges it here.
    const std::string host = networkAddress.toStdString();
    if (host.empty())
        return true;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(networkPort).c_str(), &hints, &found) != 0)
        return false;
    ::freeaddrinfo(found);
    return true;
}

void CtvkModbusTcpServerPrivate::stopListening()
{
    if (CtvkSocketNotifier* n = listenNotifier) {
        listenNotifier = nullptr;
        n->setEnabled(false);
        delete n;
    }
    if (listenSocket >= 0) {
        ::close(listenSocket);
        listenSocket = -1;
        servingThread().leave();
    }
    acceptFailureReported = false;
}

void CtvkModbusTcpServerPrivate::resumeListening()
{
    if (listenNotifier && !listenNotifier->isEnabled())
        static_cast<CtvkModbusTcpListenNotifier*>(listenNotifier)->resume();
}

void CtvkModbusTcpServerPrivate::processNewConnection(int socket)
{
    // Readiness of a listening socket this server no longer holds.
    if (!modbusContext || socket < 0 || socket != listenSocket)
        return;
    // The whole queue is taken at each wakeup, a batch at a time: a burst of
    // masters must not wait in a backlog that overflows (each SYN it drops
    // costs its master a retransmission of a second or more), and one wakeup
    // must not hold the loop for ever either.
    std::vector<int> accepted;
    for (int i = 0; i < kAcceptBatch; ++i) {
        const int client = ::accept4(socket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client >= 0) {
            if (adopt(client))
                accepted.push_back(client);
            continue;
        }
        const int err = errno;
        if (err == EINTR || err == ECONNABORTED || err == EPROTO)
            continue;   // the connection went away before it was taken: nothing lost
        if (err != EAGAIN && err != EWOULDBLOCK)
            acceptFailed(err);
        break;
    }
    if (!accepted.empty())
        acceptFailureReported = false;
    // Last: a handler may close or destroy the server.
    for (int client : accepted) {
        if (!isLive(this) || connectionIndex().count(client) == 0)
            break;
        mm_func()->transmit<void, int>(client, "clientConnected(int)");
    }
    if (pendingAcceptError && isLive(this)) {
        const int err = pendingAcceptError;
        pendingAcceptError = 0;
        setErrnoError(err, CtvkModbusDevice::ConnectionError);
    }
}

void CtvkModbusTcpServerPrivate::acceptFailed(int err)
{
    if (listenNotifier) {
        // Out of descriptors (or worse): the socket stays readable, so rest
        // instead of spinning; the connections already open are served
        // meanwhile, and one of them ending wakes accepting.
        static_cast<CtvkModbusTcpListenNotifier*>(listenNotifier)->pause(kAcceptRetryMs);
    }
    if (acceptFailureReported)
        return;
    acceptFailureReported = true;
    pendingAcceptError = err;   // recorded once the batch is done
}

bool CtvkModbusTcpServerPrivate::adopt(int client)
{
    CtvkModbusTcpSecurity& sec = *security;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (!sec.allowed.isEmpty()
        && (::getpeername(client, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0
            || !sec.allowed.allows(reinterpret_cast<const sockaddr*>(&peer)))) {
        refuse(nullptr, client, "the address is not in the allowed networks", std::string(), false);
        ::close(client);
        return false;
    }
    prepareClientSocket(client);
    CtvkModbusTcpServer* q = mm_func();
    auto* connection = new CtvkModbusTcpConnection(client, this, q);
    // No receiver: the handler reaches the server through its private,
    // which outlives the notifier (a child of the server).
    CtvkObject::connect<int>(connection, "activated", nullptr,
                             std::function<void(int)>([this](int s) { processData(s); }));

    // A listed connection on this number has outlived its descriptor
    // (closed behind the server's back): the number now names the new
    // connection, so the stale notifier goes and the socket stays.
    std::unordered_map<int, CtvkModbusTcpConnection*>& index = connectionIndex();
    const auto stale = index.find(client);
    if (stale != index.end()) {
        CtvkModbusTcpConnection* old = stale->second;
        index.erase(stale);
        acceptNotifierList().removeOne(old);
        old->owner->leaveGate(old);
        old->setEnabled(false);
        old->abandonSocket();
        delete old;
    }
    acceptNotifierList().append(connection);
    index[client] = connection;
    if (sec.tlsOn())
        enterGate(connection);
    return true;
}

void CtvkModbusTcpServerPrivate::processData(int socket)
{
    const auto it = connectionIndex().find(socket);
    if (it == connectionIndex().end() || it->second->owner != this)
        return;   // not a connection of this server
    it->second->readable();
}

void CtvkModbusTcpServerPrivate::endConnection(CtvkModbusTcpConnection* connection)
{
    CtvkModbusTcpServerPrivate* owner = connection->owner;
    const int socket = connection->socket();
    // Unlisted first, so nothing done below can end it a second time.
    acceptNotifierList().removeOne(connection);
    connectionIndex().erase(socket);
    owner->leaveGate(connection);
    retire(connection);
    // The socket is still open for the handlers (its peer can be asked),
    // so its number cannot name a new connection yet.
    announceDisconnected(owner, socket);
    delete connection;   // and its socket with it
    if (isLive(owner))
        owner->resumeListening();   // a descriptor is free again
}

void CtvkModbusTcpServerPrivate::retire(CtvkSocketNotifier* notifier)
{
    // Out of the dispatcher before the descriptor is closed: a socket that
    // another descriptor still refers to (a child after fork) could not be
    // taken out of the epoll set once closed, and the loop would spin on it.
    notifier->setEnabled(false);
    // Ours alone from here: a handler of "clientDisconnected" may destroy
    // the server, which would take its children with it.
    notifier->setParent(nullptr);
}

void CtvkModbusTcpServerPrivate::announceDisconnected(CtvkModbusTcpServerPrivate* owner, int socket)
{
    // A server being destroyed, or destroyed by an earlier handler, announces
    // nothing more.
    if (isLive(owner))
        owner->mm_func()->transmit<void, int>(socket, "clientDisconnected(int)");
}

namespace {

// The servers not destroyed (nor being destroyed). Servers may be made and
// destroyed on any thread, so the set has a lock of its own.
struct LiveServers {
    std::mutex lock;
    std::unordered_set<const CtvkModbusTcpServerPrivate*> set;
};

LiveServers& liveServers()
{
    // Never destroyed: a server in static storage may be destroyed after
    // this unit's own statics.
    static auto* live = new LiveServers;
    return *live;
}

} // namespace

bool CtvkModbusTcpServerPrivate::isLive(const CtvkModbusTcpServerPrivate* server)
{
    LiveServers& live = liveServers();
    const std::lock_guard<std::mutex> hold(live.lock);
    return live.set.count(server) != 0;
}

void CtvkModbusTcpServerPrivate::setLive(const CtvkModbusTcpServerPrivate* server, bool alive)
{
    LiveServers& live = liveServers();
    const std::lock_guard<std::mutex> hold(live.lock);
    if (alive)
        live.set.insert(server);
    else
        live.set.erase(server);
}

void CtvkModbusTcpServerPrivate::deleteNotifier(int socket)
{
    CtvkVector<CtvkSocketNotifier*>& list = acceptNotifierList();
    for (int i = 0; i < list.size(); ++i) {
        CtvkSocketNotifier* n = list.at(i);
        if (n->socket() != socket)
            continue;
        list.removeAt(i);
        const auto indexed = connectionIndex().find(socket);
        if (indexed != connectionIndex().end() && indexed->second == n)
            connectionIndex().erase(indexed);
        n->setEnabled(false);
        if (auto* c = dynamic_cast<CtvkModbusTcpConnection*>(n)) {
            c->owner->leaveGate(c);
            c->abandonSocket();   // the caller's to close
        }
        delete n;
        return;
    }
    // Only the listening socket's own number reaches the listening
    // notifier: the end of a client never stops the server.
    if (listenNotifier && listenNotifier->socket() == socket) {
        CtvkSocketNotifier* n = listenNotifier;
        listenNotifier = nullptr;
        n->setEnabled(false);
        delete n;
    }
}

void CtvkModbusTcpServerPrivate::clearAllClient()
{
    // Every connection is unlisted and unwatched before the first is
    // announced, and announced before any socket closes: a handler may close,
    // destroy or reopen a server.
    std::vector<CtvkSocketNotifier*> ended;
    CtvkVector<CtvkSocketNotifier*>& list = acceptNotifierList();
    while (!list.isEmpty()) {
        CtvkSocketNotifier* n = list.first();
        list.removeAt(0);
        connectionIndex().erase(n->socket());
        if (auto* c = dynamic_cast<CtvkModbusTcpConnection*>(n))
            c->owner->leaveGate(c);
        retire(n);
        ended.push_back(n);
    }
    for (CtvkSocketNotifier* n : ended)
        if (auto* c = dynamic_cast<CtvkModbusTcpConnection*>(n))
            announceDisconnected(c->owner, c->socket());
    for (CtvkSocketNotifier* n : ended) {
        auto* c = dynamic_cast<CtvkModbusTcpConnection*>(n);
        CtvkModbusTcpServerPrivate* owner = c ? c->owner : nullptr;
        if (!c)
            ::close(n->socket());
        delete n;   // a connection closes its socket with it
        if (owner && isLive(owner))
            owner->resumeListening();
    }
}

CtvkModbusTcpServer::CtvkModbusTcpServer(CtvkObject* parent)
    : CtvkModbusTcpServer(new CtvkModbusTcpServerPrivate, parent)
{
}

CtvkModbusTcpServer::CtvkModbusTcpServer(CtvkModbusTcpServerPrivate* d, CtvkObject* parent)
    : CtvkModbusServer(d ? d : new CtvkModbusTcpServerPrivate, parent)
{
    setClassName("CtvkModbusTcpServer");
    storeherits("CtvkModbusTcpServer");
    [[maybe_unused]] static const bool signalsDeclared =
        tvkDeclareSignal<int>("CtvkModbusTcpServer", "clientConnected(int)")
        && tvkDeclareSignal<int>("CtvkModbusTcpServer", "clientDisconnected(int)");
}

CtvkModbusTcpServer::~CtvkModbusTcpServer()
{
    CtvkModbusTcpServerPrivate* d = d_func();
    CtvkModbusTcpServerPrivate::setLive(d, false);
    CtvkModbusTcpServer::close();
}

bool CtvkModbusTcpServer::open()
{
    return d_func()->modbusCreate();
}

void CtvkModbusTcpServer::close()
{
    CtvkModbusTcpServerPrivate* d = d_func();
    d->stopListening();
    // The client sockets are closed by this server alone: the context must
    // not close the last one it was pointed at.
    modbus_set_socket(d->modbusContext, -1);
    d->releaseContext();
    d->security->context.reset();
    d->clearAllClient();   // last: it announces, and a handler may destroy us
}

void CtvkModbusTcpServer::processRequest()
{
    CtvkModbusTcpServerPrivate* d = d_func();
    d->stopListening();
    // The list of accepted connections is the library's, not this server's:
    // a second thread serving beside the first would share it unguarded.
    if (!servingThread().enter(CtvkThread::currentThread())) {
        d->setPrivateError(CtvkString::fromAscii(kOtherThread), ConfigurationError);
        return;
    }
    const int socket = modbus_tcp_pi_listen(d->modbusContext, d->listenSocketNum);
    const int err = errno;
    if (socket == -1) {
        servingThread().leave();
        d->setErrnoError(err, ConnectionError);
        return;
    }
    if (modbus_get_socket(d->modbusContext) == socket)
        modbus_set_socket(d->modbusContext, -1);   // ours to close, not the context's
    // Accepting must not block should the connection be gone by then.
    CtvkModbusTcpServerPrivate::setNonBlocking(socket);
    ::fcntl(socket, F_SETFD, FD_CLOEXEC);

    d->listenSocket = socket;
    auto* notifier = new CtvkModbusTcpListenNotifier(socket, CtvkSocketNotifier::Read, this);
    d->listenNotifier = notifier;
    CtvkObject::connect<int>(notifier, "activated", nullptr,
                             std::function<void(int)>([d](int s) { d->processNewConnection(s); }));
}

int CtvkModbusTcpServer::listeningPort() const
{
    const int socket = d_func()->listenSocket;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (socket < 0 || ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    return CtvkNetworkList::portOf(reinterpret_cast<const sockaddr*>(&address));
}

std::uint64_t CtvkModbusTcpServer::framesDropped() const
{
    return d_func()->framesDropped;
}

void CtvkModbusTcpServer::setUnitIds(const std::vector<int>& unitIds)
{
    std::bitset<256>& served = d_func()->servedUnits;
    served.reset();
    for (int id : unitIds)
        if (id >= 0 && id <= 255)
            served.set(static_cast<std::size_t>(id));
}

std::vector<int> CtvkModbusTcpServer::unitIds() const
{
    std::vector<int> ids;
    const std::bitset<256>& served = d_func()->servedUnits;
    for (std::size_t id = 0; id < served.size(); ++id)
        if (served.test(id))
            ids.push_back(static_cast<int>(id));
    return ids;
}

void CtvkModbusTcpServer::setAnswerDelay(int ms)
{
    d_func()->answerDelayMs = ms > 0 ? ms : 0;
}

int CtvkModbusTcpServer::answerDelay() const
{
    return d_func()->answerDelayMs;
}

void CtvkModbusTcpServer::setRequestObserver(std::function<void(const Request&)> observer)
{
    d_func()->requestObserver = std::move(observer);
}

int CtvkModbusTcpServer::listenSocketNum()
{
    return d_func()->listenSocketNum;
}

void CtvkModbusTcpServer::setListenSocketNum(int number)
{
    d_func()->listenSocketNum = number;
}

} // namespace Quorvan
