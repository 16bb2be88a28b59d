// SPDX-License-Identifier: MIT
#include "tvkmodbustcpserver.h"
#include "tvkmodbustcpserver_p.h"

#include "tvkmodbusaccess_p.h"
#include "tvkmodbuspdu_p.h"
#include "tvkmodbustls_p.h"

#include <openssl/err.h>

#include <fcntl.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace Quorvan {

namespace {

// Read per readiness; the loop comes back while more is waiting.
constexpr int kReadChunkBytes = 4096;
// modbus_reply reads the address field of every request, also of the
// two-byte ones, so a frame at the very end of the buffer needs room after it.
constexpr int kSlackBytes = 8;
// How long accepting rests when the process is out of descriptors, unless
// a connection ends first.
constexpr int kAcceptRetryMs = 100;
// Connections taken per wakeup of the listening socket; the loop comes back
// for more while the queue is not empty.
constexpr int kAcceptBatch = 64;

const char* const kInvalidSettings = "Invalid connection settings for TCP communication specified.";

enum class FrameState { Incomplete, Complete, Malformed };

// Judges what has arrived of the frame at `p` (`available` bytes): a bad
// header is refused as soon as it is seen, a length that does not fit the
// function code as soon as the code (and, for the writes of several
// values, the byte count) has arrived.
FrameState inspectFrame(const std::uint8_t* p, int available, int* frameLength)
{
    if (available >= 4 && mbap::protocolId(p) != 0)
        return FrameState::Malformed;   // not Modbus: protocol id 0 only
    if (available < mbap::kLengthFieldEnd)
        return FrameState::Incomplete;
    const int length = mbap::length(p);
    if (length < mbap::kMinLength || length > mbap::kMaxLength)
        return FrameState::Malformed;
    if (available <= mbap::kHeaderBytes)
        return FrameState::Incomplete;

    *frameLength = mbap::kLengthFieldEnd + length;
    const bool complete = available >= *frameLength;
    // Only what belongs to this frame is judged, never the next one's bytes.
    const std::uint8_t* pdu = p + mbap::kHeaderBytes;
    const int pduLength = length - 1;
    if (pdu::isServed(pdu[0])) {
        const int expected = pdu::requestLength(pdu, std::min(available, *frameLength) - mbap::kHeaderBytes);
        if (expected == pdu::kNeedMore ? complete : expected != pduLength)
            return FrameState::Malformed;
    }
    return complete ? FrameState::Complete : FrameState::Incomplete;
}

// One answer per request: waiting to coalesce only adds latency. (The
// socket is accepted non-blocking: a client that does not read its answers
// must never hold up the loop in a blocking send.)
void prepareClientSocket(int socket)
{
    const int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The port of an IPv4 or IPv6 socket address; -1 for another family.
int portOf(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return -1;
}

// "address:port", an IPv6 address in brackets so that its colons do not
// run into the port's.
std::string endpointText(const sockaddr_storage& address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, host, sizeof host);
    else if (address.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, host, sizeof host);
    const std::string shown = address.ss_family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host);
    return shown + ":" + std::to_string(std::max(portOf(address), 0));
}

} // namespace

// The notifier of one accepted connection; it carries what has arrived of
// a request that is not complete yet.
class CtvkModbusTcpConnection : public CtvkSocketNotifier {
public:
    using Clock = std::chrono::steady_clock;

    CtvkModbusTcpConnection(int socket, CtvkModbusTcpServerPrivate* server, CtvkObject* parent)
        : CtvkSocketNotifier(socket, Read, parent), owner(server)
    {
    }
    ~CtvkModbusTcpConnection() override
    {
        if (ssl) {
            if (!handshaking)
                SSL_shutdown(ssl);   // close_notify, once; nothing is waited for
            SSL_free(ssl);
        }
    }

    CtvkModbusTcpServerPrivate* owner;
    std::string pending;   // always less than one frame
    // Requests held back by the answer delay, in their order, with when
    // each is due; and the timer that comes back for the first.
    std::deque<std::pair<Clock::time_point, std::string>> delayed;
    int delayTimer = 0;
    // Over TLS: the session, whether its handshake is still running (and
    // the time limit it has), the role of the client's certificate, and a
    // notifier for when the handshake waits to write.
    SSL* ssl = nullptr;
    bool handshaking = false;
    int handshakeTimer = 0;
    std::string role;
    CtvkSocketNotifier* writer = nullptr;

protected:
    void timerEvent(CtvkTimerEvent* e) override
    {
        if (!e)
            return;
        if (e->timerId() == delayTimer)
            owner->answerDelayed(this);
        else if (e->timerId() == handshakeTimer)
            owner->refuse(this, socket(), "the TLS handshake did not finish within the response timeout", false);
    }
};

// What makes the server more than plain Modbus/TCP: TLS with the roles'
// rights, the networks masters may come from, read-only tables.
struct CtvkModbusTcpSecurity {
    CtvkModbusTlsConfiguration configuration;
    tls::Context context;              // made at open() when TLS is on
    CtvkModbusRoleRules roles;
    CtvkNetworkList allowed;
    bool readOnly[5] = {};             // by register type, plain TCP
    // libmodbus answers a TLS connection's request into this pair; the
    // answer is taken from the other end and encrypted.
    int answerPair[2] = {-1, -1};
    std::function<void(const CtvkModbusTcpServer::Refusal&)> refusalObserver;
    std::uint64_t refusedConnections = 0;
    std::uint64_t refusedRequests = 0;
    std::map<std::string, std::uint64_t> refusedByRole;

    bool tlsOn() const { return context != nullptr; }
    void closePair()
    {
        for (int& fd : answerPair) {
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        }
    }
    ~CtvkModbusTcpSecurity() { closePair(); }
};

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

CtvkModbusTcpServerPrivate::CtvkModbusTcpServerPrivate() : security(new CtvkModbusTcpSecurity)
{
    liveServers().insert(this);
}

CtvkModbusTcpServerPrivate::~CtvkModbusTcpServerPrivate()
{
    liveServers().erase(this);
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

bool CtvkModbusTcpServerPrivate::secure(std::string* why)
{
    CtvkModbusTcpSecurity& s = *security;
    s.context.reset();
    s.roles = CtvkModbusRoleRules();
    s.closePair();
    if (!s.configuration.isEnabled())
        return true;
    s.context = tls::serverContext(s.configuration, why);
    if (!s.context)
        return false;
    // The rules are read once, here: a bad line keeps the server from
    // serving at all rather than granting what it did not mean.
    if (!s.configuration.roleRulesFile.isEmpty()
        && !s.roles.load(s.configuration.roleRulesFile.toStdString(), why)) {
        s.context.reset();
        return false;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, s.answerPair) != 0) {
        *why = std::string("no socket pair for the answers: ") + std::strerror(errno);
        s.context.reset();
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
        if (liveServers().count(this) == 0 || connectionIndex().count(client) == 0)
            break;
        mm_func()->transmit<void, int>(client, "clientConnected(int)");
    }
    if (pendingAcceptError && liveServers().count(this) != 0) {
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
        refuse(nullptr, client, "the address is not in the allowed networks", false);
        ::close(client);
        return false;
    }
    SSL* ssl = nullptr;
    if (sec.tlsOn()) {
        ssl = SSL_new(sec.context.get());
        if (!ssl || SSL_set_fd(ssl, client) != 1) {
            SSL_free(ssl);
            refuse(nullptr, client, tls::errorText("no TLS session"), false);
            ::close(client);
            return false;
        }
        SSL_set_accept_state(ssl);
    }
    prepareClientSocket(client);
    CtvkModbusTcpServer* q = mm_func();
    auto* connection = new CtvkModbusTcpConnection(client, this, q);
    // No receiver: the handler reaches the server through its private,
    // which outlives the notifier (a child of the server).
    CtvkObject::connect<int>(connection, "activated", nullptr,
                             std::function<void(int)>([this](int s) { processData(s); }));
    if (ssl) {
        connection->ssl = ssl;
        connection->handshaking = true;
        // A master that stalls its handshake costs the others nothing and
        // is given up after the response timeout.
        connection->handshakeTimer = connection->startTimer(responseTimeoutMs());
    }

    // A listed connection on this number has outlived its descriptor
    // (closed behind the server's back): the number now names the new
    // connection, so the stale notifier goes and the socket stays.
    std::unordered_map<int, CtvkModbusTcpConnection*>& index = connectionIndex();
    const auto stale = index.find(client);
    if (stale != index.end()) {
        CtvkModbusTcpConnection* old = stale->second;
        index.erase(stale);
        acceptNotifierList().removeOne(old);
        old->setEnabled(false);
        delete old;
    }
    acceptNotifierList().append(connection);
    index[client] = connection;
    return true;
}

void CtvkModbusTcpServerPrivate::processData(int socket)
{
    const auto it = connectionIndex().find(socket);
    if (it == connectionIndex().end() || it->second->owner != this)
        return;   // not a connection of this server
    CtvkModbusTcpConnection* connection = it->second;
    if (connection->ssl) {
        processTls(connection);
        return;
    }

    std::uint8_t buffer[mbap::kMaxFrameBytes + kReadChunkBytes + kSlackBytes];
    const int kept = static_cast<int>(connection->pending.size());
    std::memcpy(buffer, connection->pending.data(), static_cast<std::size_t>(kept));
    const ssize_t received = ::recv(socket, buffer + kept, kReadChunkBytes, MSG_DONTWAIT);
    const int err = errno;
    if (received == 0) {
        endConnection(connection);   // the peer closed
        return;
    }
    if (received < 0) {
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
            return;
        endConnection(connection);
        return;
    }
    consume(connection, buffer, kept + static_cast<int>(received));
}

void CtvkModbusTcpServerPrivate::processTls(CtvkModbusTcpConnection* connection)
{
    if (connection->handshaking && !continueHandshake(connection))
        return;   // still shaking hands, or refused
    // OpenSSL may hold bytes the socket no longer signals (the rest of a
    // record, or records read ahead): read while it has any, then leave the
    // rest to the socket's next readiness.
    for (;;) {
        std::uint8_t buffer[mbap::kMaxFrameBytes + kReadChunkBytes + kSlackBytes];
        const int kept = static_cast<int>(connection->pending.size());
        std::memcpy(buffer, connection->pending.data(), static_cast<std::size_t>(kept));
        ERR_clear_error();
        const int received = SSL_read(connection->ssl, buffer + kept, kReadChunkBytes);
        switch (tls::stepOf(connection->ssl, received)) {
        case tls::Step::Done:
            if (!consume(connection, buffer, kept + received)) {
                drainAnswers();   // the connection has ended: its answers go with it
                return;
            }
            if (SSL_has_pending(connection->ssl))
                continue;
            flushAnswers(connection);
            return;
        case tls::Step::WantRead:
        case tls::Step::WantWrite:
            flushAnswers(connection);
            return;
        default:
            drainAnswers();
            endConnection(connection);   // closed, or broken
            return;
        }
    }
}

void CtvkModbusTcpServerPrivate::flushAnswers(CtvkModbusTcpConnection* connection)
{
    // The answers of one pass, in their order, go out as few records.
    const int from = security->answerPair[1];
    std::uint8_t out[16384];
    ssize_t n = sizeof out;
    // A read that does not fill the buffer took all there was: no read is
    // spent on learning that the pair is empty.
    while (n == static_cast<ssize_t>(sizeof out)) {
        n = ::read(from, out, sizeof out);
        if (n <= 0)
            return;
        ERR_clear_error();
        if (SSL_write(connection->ssl, out, static_cast<int>(n)) != n) {
            // The master does not read (or the session broke): as over
            // plain TCP, it is dropped, not waited for.
            answerLost();
            drainAnswers();
            endConnection(connection);
            return;
        }
    }
}

void CtvkModbusTcpServerPrivate::drainAnswers()
{
    std::uint8_t out[16384];
    while (::read(security->answerPair[1], out, sizeof out) > 0) {
    }
}

bool CtvkModbusTcpServerPrivate::continueHandshake(CtvkModbusTcpConnection* connection)
{
    const tls::Step step = tls::stepOf(connection->ssl, tls::clean(SSL_do_handshake, connection->ssl));
    if (step == tls::Step::WantRead || step == tls::Step::WantWrite) {
        // Waiting to write: the socket says when it takes more.
        const bool write = step == tls::Step::WantWrite;
        if (write && !connection->writer) {
            connection->writer = new CtvkSocketNotifier(connection->socket(), CtvkSocketNotifier::Write, connection);
            CtvkObject::connect<int>(connection->writer, "activated", nullptr,
                                     std::function<void(int)>([this](int s) { processData(s); }));
        } else if (connection->writer) {
            connection->writer->setEnabled(write);
        }
        return false;
    }
    if (step != tls::Step::Done) {
        refuse(connection, connection->socket(),
               "TLS handshake refused: " + tls::handshakeFailure(connection->ssl, "the peer closed the connection"),
               false);
        return false;
    }
    connection->handshaking = false;
    connection->killTimer(connection->handshakeTimer);
    connection->handshakeTimer = 0;
    if (connection->writer)
        connection->writer->setEnabled(false);
    connection->role = tls::peerRole(connection->ssl);
    return true;
}

bool CtvkModbusTcpServerPrivate::consume(CtvkModbusTcpConnection* connection, std::uint8_t* buffer, int total)
{
    std::memset(buffer + total, 0, kSlackBytes);
    int at = 0;
    while (at < total) {
        int frameLength = 0;
        const FrameState state = inspectFrame(buffer + at, total - at, &frameLength);
        if (state == FrameState::Malformed) {
            ++framesDropped;
            endConnection(connection);
            return false;
        }
        if (state == FrameState::Incomplete)
            break;
        if (answerDelayMs > 0 || !connection->delayed.empty()) {
            // Held back in order; the loop is never held meanwhile.
            connection->delayed.emplace_back(
                CtvkModbusTcpConnection::Clock::now() + std::chrono::milliseconds(answerDelayMs),
                std::string(reinterpret_cast<const char*>(buffer + at), static_cast<std::size_t>(frameLength)));
            if (!connection->delayTimer)
                connection->delayTimer = connection->startTimer(answerDelayMs);
        } else if (!answer(connection, buffer + at, frameLength)) {
            return false;   // the connection has ended
        }
        at += frameLength;
    }
    connection->pending.assign(reinterpret_cast<const char*>(buffer + at), static_cast<std::size_t>(total - at));
    return true;
}

bool CtvkModbusTcpServerPrivate::deliver(CtvkModbusTcpConnection* connection, const std::uint8_t* bytes, int length)
{
    // Over TLS the answer joins those libmodbus wrote into the answer pair,
    // in order; they are encrypted together (flushAnswers()).
    const int to = connection->ssl ? security->answerPair[0] : connection->socket();
    return ::send(to, bytes, std::size_t(length), MSG_DONTWAIT | MSG_NOSIGNAL) == length;
}

bool CtvkModbusTcpServerPrivate::permitted(CtvkModbusTcpConnection* connection, const std::uint8_t* frame)
{
    const CtvkModbusTcpSecurity& sec = *security;
    const std::uint8_t* request = frame + mbap::kHeaderBytes;
    if (connection->ssl) {
        if (sec.roles.allows(connection->role, request))
            return true;
    } else {
        pdu::Access reached[2];
        const int n = pdu::accesses(request, reached);
        bool writable = true;
        for (int i = 0; i < n; ++i)
            if (reached[i].write && reached[i].table > 0 && reached[i].table < 5 && sec.readOnly[reached[i].table])
                writable = false;
        if (writable)
            return true;
    }
    char what[96];
    std::snprintf(what, sizeof what, "function %d is not granted (address %d)", request[0],
                  request[0] == pdu::ReadWriteMultipleRegisters ? pdu::word(request + 5) : pdu::word(request + 1));
    refuse(connection, connection->socket(), what, true);
    return false;
}

void CtvkModbusTcpServerPrivate::refuse(CtvkModbusTcpConnection* connection, int socket, const std::string& reason,
                                        bool request)
{
    CtvkModbusTcpSecurity& sec = *security;
    CtvkModbusTcpServer::Refusal refusal;
    refusal.socket = socket;
    refusal.reason = reason;
    if (connection)
        refusal.role = connection->role;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
        refusal.peer = endpointText(peer);
    if (request) {
        ++sec.refusedRequests;
        ++sec.refusedByRole[refusal.role];
    } else {
        ++sec.refusedConnections;
    }
    if (sec.refusalObserver)
        sec.refusalObserver(refusal);
    // A refused connection ends here; a refused request gets exception 1.
    if (!request && connection)
        endConnection(connection);
}

void CtvkModbusTcpServerPrivate::answerDelayed(CtvkModbusTcpConnection* connection)
{
    connection->killTimer(connection->delayTimer);
    connection->delayTimer = 0;
    const auto now = CtvkModbusTcpConnection::Clock::now();
    while (!connection->delayed.empty() && connection->delayed.front().first <= now) {
        const std::string frame = std::move(connection->delayed.front().second);
        connection->delayed.pop_front();
        std::uint8_t buffer[mbap::kMaxFrameBytes + kSlackBytes] = {};
        std::memcpy(buffer, frame.data(), frame.size());
        if (!answer(connection, buffer, static_cast<int>(frame.size()))) {
            if (connection->ssl)
                drainAnswers();
            return;   // the connection has ended
        }
    }
    if (connection->ssl)
        flushAnswers(connection);
    if (!connection->delayed.empty()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(connection->delayed.front().first - now);
        connection->delayTimer = connection->startTimer(static_cast<int>(wait.count()));
    }
}

bool CtvkModbusTcpServerPrivate::answer(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int length)
{
    if (!modbusContext) {
        endConnection(connection);
        return false;
    }
    const std::uint8_t* pduStart = frame + mbap::kHeaderBytes;
    const int unit = mbap::unitId(frame);
    if (servedUnits.any() && !servedUnits.test(static_cast<std::size_t>(unit))) {
        // No such device behind this address: as a gateway, no answer.
        observe(connection, frame, -1);
        return true;
    }
    if (!permitted(connection, frame)) {
        const bool whole = sendException(connection, frame, pdu::IllegalFunction);
        if (whole)
            observe(connection, frame, pdu::IllegalFunction, true);
        return whole;
    }
    if (const int exception = exceptionBeforeReply(pduStart)) {
        const bool whole = sendException(connection, frame, exception);
        if (whole)
            observe(connection, frame, exception);
        return whole;
    }
    // Told before libmodbus answers, which changes the map a write reaches.
    const int outcome = requestObserver ? expectedException(pduStart) : 0;

    // The one context is pointed at this connection for this request only;
    // over TLS at the answer pair, whose other end hands the answer over to
    // be encrypted.
    modbus_set_socket(modbusContext, connection->ssl ? security->answerPair[0] : connection->socket());
    const int sent = modbus_reply(modbusContext, frame, length, mapping);
    modbus_set_socket(modbusContext, -1);
    if (!answered(connection, sent != -1))
        return false;
    observe(connection, frame, outcome);
    return true;
}

void CtvkModbusTcpServerPrivate::observe(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int outcome,
                                         bool refused)
{
    if (!requestObserver)
        return;
    CtvkModbusTcpServer::Request request;
    request.socket = connection->socket();
    request.unit = mbap::unitId(frame);
    request.function = frame[mbap::kHeaderBytes];
    pdu::Access reached[2];
    if (pdu::accesses(frame + mbap::kHeaderBytes, reached) > 0) {
        request.address = reached[0].first;
        request.count = reached[0].count;
    }
    request.exceptionCode = outcome;
    request.refused = refused;
    request.role = connection->role;
    requestObserver(request);
}

bool CtvkModbusTcpServerPrivate::sendException(CtvkModbusTcpConnection* connection, const std::uint8_t* frame,
                                               int code)
{
    std::uint8_t response[mbap::kHeaderBytes + pdu::kExceptionPduBytes];
    const int length = mbap::exceptionFrame(response, frame, static_cast<pdu::ExceptionCode>(code));
    return answered(connection, deliver(connection, response, length));
}

bool CtvkModbusTcpServerPrivate::answered(CtvkModbusTcpConnection* connection, bool whole)
{
    if (whole) {
        ++requestsAnswered;
        return true;
    }
    answerLost();
    endConnection(connection);
    return false;
}

void CtvkModbusTcpServerPrivate::endConnection(CtvkModbusTcpConnection* connection)
{
    CtvkModbusTcpServerPrivate* owner = connection->owner;
    const int socket = connection->socket();
    // Unlisted first, so nothing done below can end it a second time.
    acceptNotifierList().removeOne(connection);
    connectionIndex().erase(socket);
    retire(connection);
    // The socket is still open for the handlers (its peer can be asked),
    // so its number cannot name a new connection yet.
    announceDisconnected(owner, socket);
    delete connection;
    ::close(socket);
    if (liveServers().count(owner) != 0)
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
    if (liveServers().count(owner) != 0)
        owner->mm_func()->transmit<void, int>(socket, "clientDisconnected(int)");
}

std::unordered_set<const CtvkModbusTcpServerPrivate*>& CtvkModbusTcpServerPrivate::liveServers()
{
    static auto* live = new std::unordered_set<const CtvkModbusTcpServerPrivate*>;
    return *live;
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
        retire(n);
        ended.push_back(n);
    }
    for (CtvkSocketNotifier* n : ended)
        if (auto* c = dynamic_cast<CtvkModbusTcpConnection*>(n))
            announceDisconnected(c->owner, c->socket());
    for (CtvkSocketNotifier* n : ended) {
        const int socket = n->socket();
        auto* c = dynamic_cast<CtvkModbusTcpConnection*>(n);
        CtvkModbusTcpServerPrivate* owner = c ? c->owner : nullptr;
        delete n;
        ::close(socket);
        if (owner && liveServers().count(owner) != 0)
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
    CtvkModbusTcpServerPrivate::liveServers().erase(d);
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
    d->security->closePair();
    d->clearAllClient();   // last: it announces, and a handler may destroy us
}

void CtvkModbusTcpServer::processRequest()
{
    CtvkModbusTcpServerPrivate* d = d_func();
    d->stopListening();
    const int socket = modbus_tcp_pi_listen(d->modbusContext, d->listenSocketNum);
    const int err = errno;
    if (socket == -1) {
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
    return portOf(address);
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

void CtvkModbusTcpServer::setTlsConfiguration(const CtvkModbusTlsConfiguration& configuration)
{
    d_func()->security->configuration = configuration;
}

CtvkModbusTlsConfiguration CtvkModbusTcpServer::tlsConfiguration() const
{
    return d_func()->security->configuration;
}

bool CtvkModbusTcpServer::setAllowedNetworks(const std::vector<CtvkString>& networks)
{
    CtvkNetworkList list;
    for (const CtvkString& n : networks)
        if (!list.add(n.toStdString()))
            return false;
    d_func()->security->allowed = list;
    return true;
}

void CtvkModbusTcpServer::setReadOnly(CtvkModbusDataUnit::RegisterType type, bool readOnly)
{
    if (type > CtvkModbusDataUnit::Invalid && type <= CtvkModbusDataUnit::HoldingRegisters)
        d_func()->security->readOnly[type] = readOnly;
}

bool CtvkModbusTcpServer::isReadOnly(CtvkModbusDataUnit::RegisterType type) const
{
    return type > CtvkModbusDataUnit::Invalid && type <= CtvkModbusDataUnit::HoldingRegisters
        && d_func()->security->readOnly[type];
}

void CtvkModbusTcpServer::setRefusalObserver(std::function<void(const Refusal&)> observer)
{
    d_func()->security->refusalObserver = std::move(observer);
}

std::uint64_t CtvkModbusTcpServer::refusedConnections() const
{
    return d_func()->security->refusedConnections;
}

std::uint64_t CtvkModbusTcpServer::refusedRequests() const
{
    return d_func()->security->refusedRequests;
}

std::map<std::string, std::uint64_t> CtvkModbusTcpServer::refusedRequestsByRole() const
{
    return d_func()->security->refusedByRole;
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
