#include "tvkmodbustcpserver.h"
#include "tvkmodbustcpserver_p.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

namespace Quorvan {

namespace {

// A Modbus TCP frame is the MBAP header (transaction id, protocol id,
// length, unit id) and the PDU; the length field counts the unit id and
// the PDU, so a whole frame is 6 + length bytes, at most 260.
constexpr int kLengthFieldEnd = 6;
constexpr int kPduOffset = 7;
constexpr int kMinLength = 2;     // unit id and function code
constexpr int kMaxLength = 254;
constexpr int kMaxFrame = kLengthFieldEnd + kMaxLength;
// Read per readiness; the loop comes back while more is waiting.
constexpr int kReadChunk = 4096;
// modbus_reply reads the address field of every request, also of the
// two-byte ones, so a frame at the very end of the buffer needs room after it.
constexpr int kSlack = 8;
// How long accepting rests when the process is out of descriptors, unless
// a connection ends first.
constexpr int kAcceptRetryMs = 100;

constexpr int kIllegalFunction = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
constexpr int kIllegalDataValue = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
constexpr int kServerDeviceFailure = MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;

const char* const kInvalidSettings = "Invalid connection settings for TCP communication specified.";

int word(const unsigned char* p)
{
    return (p[0] << 8) | p[1];
}

enum class FrameState { Incomplete, Complete, Malformed };

// Judges what has arrived of the frame at `p` (`available` bytes): a bad
// header is refused as soon as it is seen, a length that does not fit the
// function code as soon as the code (and, for the writes of several
// values, the byte count) has arrived.
FrameState inspectFrame(const unsigned char* p, int available, int* frameLength)
{
    if (available >= 4 && word(p + 2) != 0)
        return FrameState::Malformed;   // not Modbus: protocol id 0 only
    if (available < kLengthFieldEnd)
        return FrameState::Incomplete;
    const int length = word(p + 4);
    if (length < kMinLength || length > kMaxLength)
        return FrameState::Malformed;
    if (available <= kPduOffset)
        return FrameState::Incomplete;

    // The length this function code implies: fixed, or 0 while the byte
    // count that decides it has not arrived, or -1 for any length.
    const unsigned char* pdu = p + kPduOffset;
    const int pduAvailable = available - kPduOffset;
    int expected = -1;
    switch (pdu[0]) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
        expected = 6;
        break;
    case MODBUS_FC_READ_EXCEPTION_STATUS:
    case MODBUS_FC_REPORT_SLAVE_ID:
        expected = 2;
        break;
    case MODBUS_FC_MASK_WRITE_REGISTER:
        expected = 8;
        break;
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        if (length < 7)
            return FrameState::Malformed;
        expected = pduAvailable > 5 ? 7 + pdu[5] : 0;
        break;
    case MODBUS_FC_WRITE_AND_READ_REGISTERS:
        if (length < 11)
            return FrameState::Malformed;
        expected = pduAvailable > 9 ? 11 + pdu[9] : 0;
        break;
    default:
        break;   // answered with "illegal function", whatever its length
    }
    if (expected > 0 && expected != length)
        return FrameState::Malformed;
    *frameLength = kLengthFieldEnd + length;
    return available >= *frameLength ? FrameState::Complete : FrameState::Incomplete;
}

// The exception to answer a complete frame with before libmodbus sees it,
// or 0. libmodbus answers an illegal quantity or an unknown function only
// after sleeping its response timeout and flushing the socket (which would
// also swallow the requests queued behind), and function 0x07 not at all;
// the event loop must never wait on either.
int exceptionBeforeReply(const unsigned char* frame)
{
    const unsigned char* pdu = frame + kPduOffset;
    switch (pdu[0]) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS: {
        const int count = word(pdu + 3);
        return count < 1 || count > MODBUS_MAX_READ_BITS ? kIllegalDataValue : 0;
    }
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS: {
        const int count = word(pdu + 3);
        return count < 1 || count > MODBUS_MAX_READ_REGISTERS ? kIllegalDataValue : 0;
    }
    case MODBUS_FC_WRITE_MULTIPLE_COILS: {
        const int count = word(pdu + 3);
        const int bytes = pdu[5];
        return count < 1 || count > MODBUS_MAX_WRITE_BITS || bytes * 8 < count ? kIllegalDataValue : 0;
    }
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
        const int count = word(pdu + 3);
        const int bytes = pdu[5];
        return count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || bytes != count * 2 ? kIllegalDataValue : 0;
    }
    case MODBUS_FC_WRITE_AND_READ_REGISTERS: {
        const int readCount = word(pdu + 3);
        const int writeCount = word(pdu + 7);
        const int bytes = pdu[9];
        const bool bad = readCount < 1 || readCount > MODBUS_MAX_WR_READ_REGISTERS || writeCount < 1
            || writeCount > MODBUS_MAX_WR_WRITE_REGISTERS || bytes != writeCount * 2;
        return bad ? kIllegalDataValue : 0;
    }
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_MASK_WRITE_REGISTER:
    case MODBUS_FC_REPORT_SLAVE_ID:
        return 0;
    default:
        return kIllegalFunction;
    }
}

// Answers at once or not at all: a client that does not read its answers
// must never hold up the loop in a blocking send.
void prepareClientSocket(int socket)
{
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags != -1)
        ::fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    // One answer per request: waiting to coalesce only adds latency.
    const int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

// The notifier of one accepted connection; it carries what has arrived of
// a request that is not complete yet.
class CtvkModbusTcpConnection : public CtvkSocketNotifier {
public:
    CtvkModbusTcpConnection(int socket, CtvkModbusTcpServerPrivate* server, CtvkObject* parent)
        : CtvkSocketNotifier(socket, Read, parent), owner(server)
    {
    }

    CtvkModbusTcpServerPrivate* owner;
    std::string pending;   // always less than one frame
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

CtvkModbusTcpServerPrivate::CtvkModbusTcpServerPrivate() = default;
CtvkModbusTcpServerPrivate::~CtvkModbusTcpServerPrivate() = default;

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
    if (networkAddress.isNull() || networkPort <= 0 || networkPort > 65535) {
        // libmodbus would cut a port beyond 16 bits and listen elsewhere.
        // The line is made before the error is emitted: a handler may
        // destroy the server.
        const std::string line = std::string("(TCP server) Invalid host:")
            + networkAddress.toAscii().constData() + "or port:" + std::to_string(networkPort) + "\n";
        setPrivateError(CtvkString::fromAscii(kInvalidSettings), CtvkModbusDevice::ConnectionError);
        std::cout << line << std::flush;
        return false;
    }
    if (modbusContext)
        return true;
    modbusContext = modbus_new_tcp(networkAddress.toAscii().constData(), networkPort);
    if (!modbusContext) {
        const int err = errno;
        setPrivateError(CtvkString::fromAscii(modbus_strerror(err)), CtvkModbusDevice::ConnectionError);
        return false;
    }
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
    int listening = socket;
    const int client = modbus_tcp_accept(modbusContext, &listening);
    const int err = errno;
    // The context keeps no client socket between requests, so a client
    // socket is closed by this server alone, exactly once.
    modbus_set_socket(modbusContext, -1);

    if (client == -1) {
        switch (err) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            return;   // the connection went away before it was taken: nothing lost
        default:
            break;
        }
        if (listening != socket) {
            // libmodbus gave the listening socket up: watch it no longer.
            listenSocket = -1;
            delete listenNotifier;
            listenNotifier = nullptr;
        } else if (listenNotifier) {
            // Out of descriptors (or worse): the socket stays readable, so
            // rest instead of spinning; the connections already open are
            // served meanwhile, and one of them ending wakes accepting.
            static_cast<CtvkModbusTcpListenNotifier*>(listenNotifier)->pause(kAcceptRetryMs);
        }
        if (acceptFailureReported)
            return;
        acceptFailureReported = true;
        setPrivateError(CtvkString::fromAscii(modbus_strerror(err)), CtvkModbusDevice::ConnectionError);
        return;   // a handler may have destroyed the server
    }
    acceptFailureReported = false;
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
        old->setEnabled(false);
        delete old;
    }
    acceptNotifierList().append(connection);
    index[client] = connection;
    if (connectionWatcher)
        connectionWatcher(client, true);
}

void CtvkModbusTcpServerPrivate::processData(int socket)
{
    const auto it = connectionIndex().find(socket);
    if (it == connectionIndex().end() || it->second->owner != this)
        return;   // not a connection of this server
    CtvkModbusTcpConnection* connection = it->second;

    unsigned char buffer[kMaxFrame + kReadChunk + kSlack];
    const int kept = static_cast<int>(connection->pending.size());
    std::memcpy(buffer, connection->pending.data(), static_cast<std::size_t>(kept));
    const ssize_t received = ::recv(socket, buffer + kept, kReadChunk, MSG_DONTWAIT);
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

    const int total = kept + static_cast<int>(received);
    std::memset(buffer + total, 0, kSlack);
    int at = 0;
    while (at < total) {
        int frameLength = 0;
        const FrameState state = inspectFrame(buffer + at, total - at, &frameLength);
        if (state == FrameState::Malformed) {
            endConnection(connection);
            return;
        }
        if (state == FrameState::Incomplete)
            break;
        if (!answer(connection, buffer + at, frameLength))
            return;   // the connection has ended
        at += frameLength;
    }
    connection->pending.assign(reinterpret_cast<const char*>(buffer + at), static_cast<std::size_t>(total - at));
}

bool CtvkModbusTcpServerPrivate::answer(CtvkModbusTcpConnection* connection, const unsigned char* frame, int length)
{
    if (!modbusContext) {
        endConnection(connection);
        return false;
    }
    // Without a map libmodbus would read through a null pointer.
    const int exception = mapping ? exceptionBeforeReply(frame) : kServerDeviceFailure;
    if (exception)
        return sendException(connection, frame, exception);

    // The one context is pointed at this connection for this request only.
    modbus_set_socket(modbusContext, connection->socket());
    const int sent = modbus_reply(modbusContext, frame, length, mapping);
    modbus_set_socket(modbusContext, -1);
    if (sent == -1) {
        // The answer could not be sent at once and whole (the master does
        // not read, or the connection broke): the stream is lost either way.
        endConnection(connection);
        return false;
    }
    ++requestsAnswered;
    return true;
}

bool CtvkModbusTcpServerPrivate::sendException(CtvkModbusTcpConnection* connection, const unsigned char* frame,
                                               int code)
{
    const unsigned char response[] = {
        frame[0], frame[1],   // transaction id, echoed
        0, 0,                 // protocol id
        0, 3,                 // length: unit id, function code, exception code
        frame[6],
        static_cast<unsigned char>(frame[kPduOffset] | 0x80),
        static_cast<unsigned char>(code),
    };
    const ssize_t sent = ::send(connection->socket(), response, sizeof response, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(sizeof response)) {
        endConnection(connection);
        return false;
    }
    ++requestsAnswered;
    return true;
}

void CtvkModbusTcpServerPrivate::endConnection(CtvkModbusTcpConnection* connection)
{
    CtvkModbusTcpServerPrivate* owner = connection->owner;
    const int socket = connection->socket();
    // Unlisted first, so nothing the watcher does can end it a second time.
    acceptNotifierList().removeOne(connection);
    connectionIndex().erase(socket);
    if (owner->connectionWatcher)
        owner->connectionWatcher(socket, false);
    // Out of the dispatcher before the descriptor is closed: a socket that
    // another descriptor still refers to (a child after fork) could not be
    // taken out of the epoll set once closed, and the loop would spin on it.
    connection->setEnabled(false);
    delete connection;
    ::close(socket);
    owner->resumeListening();   // a descriptor is free again
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
    CtvkVector<CtvkSocketNotifier*>& list = acceptNotifierList();
    while (!list.isEmpty()) {
        CtvkSocketNotifier* n = list.first();
        if (auto* c = dynamic_cast<CtvkModbusTcpConnection*>(n)) {
            endConnection(c);
            continue;
        }
        list.removeAt(0);
        const int socket = n->socket();
        n->setEnabled(false);
        delete n;
        ::close(socket);
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
}

CtvkModbusTcpServer::~CtvkModbusTcpServer()
{
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
    d->clearAllClient();
    // Every client socket is closed already; the context must not close
    // the last one it was pointed at a second time.
    modbus_set_socket(d->modbusContext, -1);
    d->releaseContext();
}

void CtvkModbusTcpServer::processRequest()
{
    CtvkModbusTcpServerPrivate* d = d_func();
    d->stopListening();
    const int socket = modbus_tcp_listen(d->modbusContext, d->listenSocketNum);
    const int err = errno;
    if (socket == -1) {
        d->setPrivateError(CtvkString::fromAscii(modbus_strerror(err)), ConnectionError);
        return;
    }
    if (modbus_get_socket(d->modbusContext) == socket)
        modbus_set_socket(d->modbusContext, -1);   // ours to close, not the context's
    // Accepting must not block should the connection be gone by then.
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags != -1)
        ::fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    ::fcntl(socket, F_SETFD, FD_CLOEXEC);

    d->listenSocket = socket;
    auto* notifier = new CtvkModbusTcpListenNotifier(socket, CtvkSocketNotifier::Read, this);
    d->listenNotifier = notifier;
    CtvkObject::connect<int>(notifier, "activated", nullptr,
                             std::function<void(int)>([d](int s) { d->processNewConnection(s); }));
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
