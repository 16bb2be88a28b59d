// SPDX-License-Identifier: MIT
#include "tvkmodbusasync_p.h"

#include "tvkmodbusclient_p.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <modbus.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace Quorvan {

namespace {

// Read per readiness; the loop comes back while more is waiting.
constexpr int kReadChunkBytes = 16384;

void addAddress(std::vector<std::vector<unsigned char>>* to, const void* address, std::size_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(address);
    to->emplace_back(bytes, bytes + length);
}

// A literal IPv4 or IPv6 address as a socket address, without the resolver.
bool literalAddress(const std::string& host, int port, std::vector<std::vector<unsigned char>>* to)
{
    sockaddr_in v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        addAddress(to, &v4, sizeof v4);
        return true;
    }
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        addAddress(to, &v6, sizeof v6);
        return true;
    }
    return false;
}

} // namespace

// A host name being looked up on a thread of its own, so that the loop never
// waits for the resolver; the thread tells the loop through an event
// descriptor it watches. A lookup the link gave up finishes unwatched, and
// whichever of the two lets go last frees it.
class CtvkModbusTcpLink::Resolution {
public:
    static std::shared_ptr<Resolution> start(const std::string& host, int port, int* err)
    {
        auto r = std::shared_ptr<Resolution>(new Resolution);
        r->m_ready = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (r->m_ready < 0) {
            *err = errno;
            return nullptr;
        }
        try {
            std::thread([r, host, port] { r->run(host, port); }).detach();
        } catch (const std::system_error& e) {
            *err = e.code().value();
            return nullptr;
        }
        return r;
    }
    ~Resolution()
    {
        if (m_found)
            ::freeaddrinfo(m_found);
        if (m_ready >= 0)
            ::close(m_ready);
    }
    int descriptor() const { return m_ready; }
    // Once the descriptor is readable: 0 and the addresses found, or the
    // resolver's error code.
    int result(std::vector<std::vector<unsigned char>>* to) const
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        if (m_error == 0)
            for (const addrinfo* a = m_found; a; a = a->ai_next)
                addAddress(to, a->ai_addr, a->ai_addrlen);
        return m_error;
    }

private:
    Resolution() = default;
    void run(const std::string& host, int port)
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const int error = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
        {
            const std::lock_guard<std::mutex> hold(m_lock);
            m_error = error;
            m_found = error == 0 ? found : nullptr;
        }
        const std::uint64_t one = 1;
        (void)!::write(m_ready, &one, sizeof one);
    }

    mutable std::mutex m_lock;
    int m_ready = -1;
    int m_error = EAI_AGAIN;
    addrinfo* m_found = nullptr;
};

CtvkModbusTcpLink::CtvkModbusTcpLink(CtvkModbusClientPrivate* client, const CtvkModbusTlsConfiguration* tls,
                                     std::string* detail, const CtvkModbusTcpClient::Framing* framing)
    : CtvkModbusAsyncLink(client), m_tls(tls), m_detail(detail), m_framing(framing)
{
    setClassName("CtvkModbusTcpLink");
    storeherits("CtvkModbusTcpLink");
}

CtvkModbusTcpLink::~CtvkModbusTcpLink()
{
    CtvkModbusTcpLink::closeTransport();
}

CtvkLinkFault CtvkModbusTcpLink::openTransport()
{
    const int port = m_client->networkPort;
    // A port beyond 16 bits would be cut to another one.
    if (port < 1 || port > 65535 || m_client->networkAddress.isEmpty())
        return CtvkLinkFault::ofErrno(EINVAL);
    const std::string host = m_client->networkAddress.toStdString();
    // The context is not connected here; it holds the response timeout,
    // which setTimeout() sets and each attempt waits, as for the blocking
    // requests.
    if (!m_client->modbusContext)
        m_client->modbusContext = modbus_new_tcp_pi(host.c_str(), std::to_string(port).c_str());
    if (!m_client->modbusContext)
        return CtvkLinkFault::ofErrno(EINVAL);
    m_context.reset();
    m_detail->clear();
    if (m_tls && m_tls->isEnabled()) {
        std::string why;
        m_context = tls::clientContext(*m_tls, &why, m_detail);
        if (!m_context) {
            CtvkLinkFault fault = CtvkLinkFault::inWords(EINVAL, "TLS: " + why);
            fault.code = CtvkModbusDevice::ConfigurationError;
            return fault;
        }
    }
    m_lastFault = CtvkLinkFault::ofErrno(ECONNREFUSED);
    m_addresses.clear();
    // The connection and, over TLS, its handshake: within the connect timeout.
    m_connectTimer = startTimer(connectTimeoutMs());
    if (literalAddress(host, port, &m_addresses))
        return connectNext();

    int err = 0;
    m_resolving = Resolution::start(host, port, &err);
    if (!m_resolving)
        return CtvkLinkFault::ofErrno(err);
    m_resolved = new CtvkSocketNotifier(m_resolving->descriptor(), CtvkSocketNotifier::Read, this);
    CtvkObject::connect<int>(m_resolved, "activated", nullptr, std::function<void(int)>([this](int) { resolved(); }));
    return CtvkLinkFault::none();
}

void CtvkModbusTcpLink::resolved()
{
    delete m_resolved;   // out of the dispatcher before the lookup may go
    m_resolved = nullptr;
    const std::shared_ptr<Resolution> lookup = std::move(m_resolving);
    const int error = lookup->result(&m_addresses);
    if (error != 0) {
        // Said as the resolver says it: a name that names nothing is not a
        // refused connection.
        linkDown(CtvkLinkFault::inWords(error == EAI_SYSTEM ? EHOSTUNREACH : ENOENT,
                                        CtvkModbusDevicePrivate::unresolvedHostText(error, 0).toStdString()));
        return;
    }
    const CtvkLinkFault fault = connectNext();
    if (fault.failed())
        linkDown(fault);
}

CtvkLinkFault CtvkModbusTcpLink::connectNext()
{
    while (!m_addresses.empty()) {
        const std::vector<unsigned char> address = std::move(m_addresses.front());
        m_addresses.erase(m_addresses.begin());
        // Copied into storage aligned for every kind of address: a vector's
        // bytes promise a char's alignment only (32-bit ARM's build refuses
        // the cast).
        sockaddr_storage storage{};
        const std::size_t length = std::min(address.size(), sizeof storage);
        std::memcpy(&storage, address.data(), length);
        CtvkModbusStream* made = nullptr;
        const CtvkModbusStream::Result r = CtvkModbusStream::connectTo(
            reinterpret_cast<const sockaddr*>(&storage), static_cast<socklen_t>(length), &made);
        m_stream.reset(made);
        if (r.status == CtvkModbusStream::Status::Failed) {
            m_lastFault = CtvkLinkFault::ofErrno(r.fault.err);
            dropStream();
            continue;
        }
        // One request, one answer: waiting to coalesce only adds latency.
        const int one = 1;
        ::setsockopt(m_stream->socket(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Done at once or not, the socket says so when it becomes writable,
        // from the loop either way.
        m_connecting = true;
        watchWrites(true);
        return CtvkLinkFault::none();
    }
    return m_lastFault;
}

void CtvkModbusTcpLink::connectFinished()
{
    m_connecting = false;
    const CtvkModbusStream::Result r = m_stream->finishConnect();
    if (r.status != CtvkModbusStream::Status::Done) {
        m_lastFault = CtvkLinkFault::ofErrno(r.fault.err);
        dropStream();
        const CtvkLinkFault fault = connectNext();
        if (fault.failed())
            linkDown(fault);
        return;
    }
    m_addresses.clear();
    watchWrites(false);   // back when a send does not go out whole
    m_reader = new CtvkSocketNotifier(m_stream->socket(), CtvkSocketNotifier::Read, this);
    CtvkObject::connect<int>(m_reader, "activated", nullptr, std::function<void(int)>([this](int) { readable(); }));
    if (m_context) {
        const std::string host =
            m_tls->serverName.isEmpty() ? m_client->networkAddress.toStdString() : m_tls->serverName.toStdString();
        const CtvkModbusStream::Result secured = m_stream->secureAsClient(m_context.get(), host);
        if (secured.status != CtvkModbusStream::Status::Done) {
            linkDown(faultOf(secured, "TLS"));
            return;
        }
        handshake();
        return;
    }
    killTimer(m_connectTimer);
    m_connectTimer = 0;
    linkUp();
}

void CtvkModbusTcpLink::handshake()
{
    const CtvkModbusStream::Result r = m_stream->handshake();
    if (r.status == CtvkModbusStream::Status::WouldBlock) {
        watchWrites(m_stream->hasQueued());
        return;
    }
    if (r.status != CtvkModbusStream::Status::Done) {
        linkDown(faultOf(r, "TLS handshake failed"));
        return;
    }
    watchWrites(m_stream->hasQueued());
    killTimer(m_connectTimer);
    m_connectTimer = 0;
    linkUp();
    // The server's first answers may have come with the handshake's end.
    if (m_stream && m_stream->hasPending())
        readable();
}

CtvkLinkFault CtvkModbusTcpLink::faultOf(const CtvkModbusStream::Result& r, const char* doing)
{
    if (r.status == CtvkModbusStream::Status::Closed)
        return CtvkLinkFault::ofErrno(ECONNRESET);   // the server closed the connection
    if (!r.fault.detail.empty())
        *m_detail = r.fault.detail;
    if (r.fault.text.empty())
        return CtvkLinkFault::ofErrno(r.fault.err ? r.fault.err : EIO);
    return CtvkLinkFault::inWords(r.fault.err ? r.fault.err : EPROTO, std::string(doing) + ": " + r.fault.text);
}

void CtvkModbusTcpLink::dropStream()
{
    // Out of the dispatcher before the descriptor closes.
    delete m_reader;
    m_reader = nullptr;
    delete m_writer;
    m_writer = nullptr;
    m_stream.reset();
    m_connecting = false;
    m_in.clear();
}

void CtvkModbusTcpLink::closeTransport()
{
    if (m_connectTimer)
        killTimer(m_connectTimer);
    m_connectTimer = 0;
    delete m_resolved;
    m_resolved = nullptr;
    m_resolving.reset();   // a lookup still running ends on its own
    m_addresses.clear();
    dropStream();
}

void CtvkModbusTcpLink::timerEvent(CtvkTimerEvent* e)
{
    if (e && m_connectTimer && e->timerId() == m_connectTimer) {
        // No connection within the connect timeout.
        linkDown(CtvkLinkFault::ofErrno(ETIMEDOUT));
        return;
    }
    CtvkModbusAsyncLink::timerEvent(e);
}

int CtvkModbusTcpLink::capacity() const
{
    return rtu() ? 1 : CtvkModbusAsyncLink::capacity();
}

bool CtvkModbusTcpLink::matchedByOrder() const
{
    return rtu();
}

CtvkLinkFault CtvkModbusTcpLink::dropUnasked()
{
    if (!rtu() || !m_stream || m_stream->handshaking())
        return CtvkLinkFault::none();
    // Without transaction ids, an answer that came late or twice and is
    // still unread would pass for the next request's: it goes first.
    for (;;) {
        std::uint8_t chunk[kReadChunkBytes];
        const CtvkModbusStream::Result r = m_stream->read(chunk, sizeof chunk);
        if (r.status == CtvkModbusStream::Status::WouldBlock)
            break;
        if (r.status != CtvkModbusStream::Status::Done)
            return faultOf(r, "TLS");
    }
    m_in.clear();
    return CtvkLinkFault::none();
}

void CtvkModbusTcpLink::attemptFailed()
{
    // Without transaction ids, what came of the last attempt cannot be told
    // from the next one's answer.
    if (rtu())
        m_in.clear();
}

CtvkLinkFault CtvkModbusTcpLink::sendRequest(CtvkModbusRequest* request)
{
    std::uint8_t frame[mbap::kMaxFrameBytes];
    int length = 0;
    if (rtu()) {
        frame[0] = static_cast<std::uint8_t>(request->unit);
        std::copy(request->pdu, request->pdu + request->pduLength, frame + rtu::kAddressBytes);
        length = rtu::appendCrc(frame, rtu::kAddressBytes + request->pduLength);
        m_in.clear();   // whatever came unasked is nobody's answer
    } else {
        mbap::writeHeader(frame, request->transactionId, request->unit, request->pduLength);
        std::copy(request->pdu, request->pdu + request->pduLength, frame + mbap::kHeaderBytes);
        length = mbap::kHeaderBytes + request->pduLength;
    }
    observeFrame(true, frame, length);
    const CtvkModbusStream::Result r = m_stream->write(frame, length);
    if (r.status != CtvkModbusStream::Status::Done)
        return faultOf(r, "TLS");
    // What did not go out waits for the socket to take more.
    watchWrites(m_stream->hasQueued());
    return CtvkLinkFault::none();
}

void CtvkModbusTcpLink::watchWrites(bool on)
{
    if (m_writer) {
        m_writer->setEnabled(on);
    } else if (on) {
        m_writer = new CtvkSocketNotifier(m_stream->socket(), CtvkSocketNotifier::Write, this);
        CtvkObject::connect<int>(m_writer, "activated", nullptr,
                                 std::function<void(int)>([this](int) { writable(); }));
    }
}

void CtvkModbusTcpLink::writable()
{
    if (m_connecting) {
        connectFinished();
        return;
    }
    const CtvkModbusStream::Result r = m_stream->flush();
    if (r.status == CtvkModbusStream::Status::Failed) {
        linkDown(faultOf(r, "TLS"));
        return;
    }
    watchWrites(r.status == CtvkModbusStream::Status::WouldBlock);
}

void CtvkModbusTcpLink::readable()
{
    if (m_stream->handshaking()) {
        handshake();
        return;
    }
    // TLS may hold decrypted bytes the socket no longer signals: read until
    // it wants more from the socket. An answer may end the link.
    CtvkModbusStream* const stream = m_stream.get();
    while (m_stream.get() == stream) {
        std::uint8_t chunk[kReadChunkBytes];
        const CtvkModbusStream::Result r = stream->read(chunk, sizeof chunk);
        if (r.status == CtvkModbusStream::Status::WouldBlock)
            return;
        if (r.status != CtvkModbusStream::Status::Done) {
            // Over TLS 1.3 a server that refuses the client's certificate
            // says so after the client has finished its handshake.
            linkDown(faultOf(r, "TLS"));
            return;
        }
        frames(chunk, static_cast<std::size_t>(r.bytes));
        if (m_stream.get() != stream || !stream->hasPending())
            return;
    }
}

void CtvkModbusTcpLink::frames(const std::uint8_t* chunk, std::size_t got)
{
    // Each answer may send the next request, and a failed send closes the
    // link: the frames are worked through from a buffer of their own.
    std::vector<std::uint8_t> joined;
    const std::uint8_t* data = chunk;
    std::size_t available = got;
    if (!m_in.empty()) {
        joined.swap(m_in);
        joined.insert(joined.end(), chunk, chunk + got);
        data = joined.data();
        available = joined.size();
    }
    CtvkModbusStream* const stream = m_stream.get();
    std::size_t used = 0;
    if (rtu())
        rtuFrames(data, available, &used);
    else
        mbapFrames(data, available, &used);
    if (m_stream.get() == stream && used < available)
        m_in.insert(m_in.end(), data + used, data + available);
}

void CtvkModbusTcpLink::mbapFrames(const std::uint8_t* data, std::size_t available, std::size_t* used)
{
    std::size_t& at = *used;
    CtvkModbusStream* const stream = m_stream.get();
    while (m_stream.get() == stream) {
        int length = 0;
        const mbap::Split split = mbap::splitFrame(data + at, static_cast<int>(available - at), &length);
        if (split == mbap::Split::Incomplete)
            break;
        if (split == mbap::Split::Broken) {
            // A length no Modbus server sends: nothing after it can be read.
            linkDown(CtvkLinkFault::ofErrno(EMBBADDATA));
            return;
        }
        const std::uint8_t* frame = data + at;
        at += static_cast<std::size_t>(length);
        observeFrame(false, frame, length);
        const std::uint8_t* answer = frame + mbap::kHeaderBytes;
        const int answerLength = length - mbap::kHeaderBytes;
        CtvkModbusRequest* request = inFlight(mbap::transactionId(frame));
        // Dropped: an answer after its request gave up, of another protocol,
        // from another unit, or whose length does not fit its function (a
        // function without a rule has the length its header says).
        const int rule = pdu::answerLength(answer, answerLength);
        if (!request || mbap::protocolId(frame) != 0 || mbap::unitId(frame) != request->unit
            || (rule != pdu::kNoRule && rule != answerLength))
            continue;
        answerArrived(request, answer, answerLength);
    }
}

void CtvkModbusTcpLink::rtuFrames(const std::uint8_t* data, std::size_t available, std::size_t* used)
{
    CtvkModbusRequest* request = firstInFlight();
    if (!request) {
        *used = available;   // nobody asked: another's traffic, or noise
        return;
    }
    const rtu::AnswerScan scan =
        rtu::scanAnswer(data, static_cast<int>(available), static_cast<std::uint8_t>(request->unit), request->pdu[0]);
    *used = static_cast<std::size_t>(scan.skip);
    if (!scan.found) {
        if (*used < available)
            answerUnderWay(request);
        return;
    }
    const std::uint8_t* frame = data + scan.skip;
    // What follows the answer came before the next request was sent.
    *used = available;
    observeFrame(false, frame, scan.length);
    answerArrived(request, frame + rtu::kAddressBytes, scan.length - rtu::kAddressBytes - rtu::kCrcBytes);
}

} // namespace Quorvan
