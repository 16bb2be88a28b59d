// SPDX-License-Identifier: MIT
#include "tvkmodbusasync_p.h"

#include "tvkmodbusclient_p.h"
#include "tvkmodbustls_p.h"

#include <openssl/err.h>
#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

namespace Quorvan {

namespace {

// Read per readiness; the loop comes back while more is waiting.
constexpr int kReadChunkBytes = 16384;
// How often a name being looked up is asked whether it is done.
constexpr int kResolvePollMs = 5;

} // namespace

// A host name being looked up without blocking the loop. The lookup runs
// in the C library; it is asked from a timer whether it is done.
struct CtvkModbusTcpLink::Resolution {
    std::string host;
    std::string service;
    addrinfo hints{};
    gaicb request{};
    gaicb* list[1] = {&request};

    Resolution(std::string name, int port) : host(std::move(name)), service(std::to_string(port))
    {
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        request.ar_name = host.c_str();
        request.ar_service = service.c_str();
        request.ar_request = &hints;
    }
    ~Resolution()
    {
        if (request.ar_result)
            freeaddrinfo(request.ar_result);
    }
    Resolution(const Resolution&) = delete;
    Resolution& operator=(const Resolution&) = delete;

    // The C library may still be writing into a lookup it could not
    // cancel: such a one is kept until it has finished, never freed under it.
    static void abandon(std::unique_ptr<Resolution> r)
    {
        static auto* abandoned = new std::vector<std::unique_ptr<Resolution>>;
        for (auto it = abandoned->begin(); it != abandoned->end();)
            it = gai_error(&(*it)->request) == EAI_INPROGRESS ? std::next(it) : abandoned->erase(it);
        if (gai_cancel(&r->request) == EAI_NOTCANCELED)
            abandoned->push_back(std::move(r));
    }
};

// TLS of the link: the context, made at each connect from the settings
// then, and the session of the connection.
struct CtvkModbusTcpLink::Tls {
    tls::Context context;
    SSL* session = nullptr;
    bool handshaking = false;

    void endSession()
    {
        if (session) {
            if (!handshaking)
                SSL_shutdown(session);   // close_notify, once; nothing is waited for
            SSL_free(session);
        }
        session = nullptr;
        handshaking = false;
    }
    ~Tls() { endSession(); }
};

CtvkModbusTcpLink::CtvkModbusTcpLink(CtvkModbusClientPrivate* client, const CtvkModbusTlsConfiguration* tls)
    : CtvkModbusAsyncLink(client), m_tls(tls), m_secure(new Tls)
{
    setClassName("CtvkModbusTcpLink");
    storeherits("CtvkModbusTcpLink");
}

CtvkModbusTcpLink::~CtvkModbusTcpLink()
{
    CtvkModbusTcpLink::closeTransport();
}

bool CtvkModbusTcpLink::openTransport()
{
    const int port = m_client->networkPort;
    // A port beyond 16 bits would be cut to another one.
    if (port < 1 || port > 65535 || m_client->networkAddress.isEmpty()) {
        errno = EINVAL;
        return false;
    }
    const std::string host = m_client->networkAddress.toStdString();
    // The context is not connected here; it holds the response timeout,
    // which setTimeout() sets and each attempt waits, as for the blocking
    // requests.
    if (!m_client->modbusContext)
        m_client->modbusContext = modbus_new_tcp_pi(host.c_str(), std::to_string(port).c_str());
    if (!m_client->modbusContext) {
        errno = EINVAL;
        return false;
    }
    if (m_tls && m_tls->isEnabled()) {
        std::string why;
        m_secure->context = tls::clientContext(*m_tls, &why);
        if (!m_secure->context) {
            m_client->setPrivateError(CtvkString::fromStdString("TLS: " + why), CtvkModbusDevice::ConfigurationError);
            errno = 0;   // recorded
            return false;
        }
    } else {
        m_secure->context.reset();
    }
    m_lastError = ECONNREFUSED;
    m_addresses.clear();
    // The connection and, over TLS, its handshake: within the connect timeout.
    m_connectTimer = startTimer(connectTimeoutMs());

    // Addresses written as numbers need no lookup.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) == 0) {
        for (addrinfo* a = found; a; a = a->ai_next) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(a->ai_addr);
            m_addresses.emplace_back(bytes, bytes + a->ai_addrlen);
        }
        freeaddrinfo(found);
        return tryNextAddress();
    }
    auto lookup = std::make_unique<Resolution>(host, port);
    if (getaddrinfo_a(GAI_NOWAIT, lookup->list, 1, nullptr) != 0) {
        errno = ECONNREFUSED;   // what libmodbus says of a host it cannot look up
        return false;
    }
    m_resolving = std::move(lookup);
    m_resolveTimer = startTimer(kResolvePollMs);
    return true;
}

void CtvkModbusTcpLink::resolved()
{
    killTimer(m_resolveTimer);
    m_resolveTimer = 0;
    std::unique_ptr<Resolution> lookup = std::move(m_resolving);
    if (gai_error(&lookup->request) == 0) {
        for (addrinfo* a = lookup->request.ar_result; a; a = a->ai_next) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(a->ai_addr);
            m_addresses.emplace_back(bytes, bytes + a->ai_addrlen);
        }
    }
    if (!tryNextAddress())
        linkDown(errno);
}

bool CtvkModbusTcpLink::tryNextAddress()
{
    while (!m_addresses.empty()) {
        const std::vector<unsigned char> address = std::move(m_addresses.front());
        m_addresses.erase(m_addresses.begin());
        const auto* to = reinterpret_cast<const sockaddr*>(address.data());
        m_socket = ::socket(to->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_socket < 0) {
            m_lastError = errno;
            continue;
        }
        // One request, one answer: waiting to coalesce only adds latency.
        const int one = 1;
        ::setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const int rc = ::connect(m_socket, to, static_cast<socklen_t>(address.size()));
        const int err = errno;
        // Done at once or not: the socket says so when it becomes writable,
        // from the loop either way.
        if (rc == 0 || err == EINPROGRESS) {
            m_connecting = true;
            watchWrites(true);
            return true;
        }
        m_lastError = err;
        dropSocket();
    }
    errno = m_lastError;
    return false;
}

void CtvkModbusTcpLink::connectFinished()
{
    int err = 0;
    socklen_t length = sizeof err;
    if (::getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
        err = errno;
    m_connecting = false;
    if (err) {
        m_lastError = err;
        dropSocket();
        if (!tryNextAddress())
            linkDown(errno);
        return;
    }
    m_addresses.clear();
    if (m_writer)
        m_writer->setEnabled(false);   // back when a send does not go out whole
    m_reader = new CtvkSocketNotifier(m_socket, CtvkSocketNotifier::Read, this);
    CtvkObject::connect<int>(m_reader, "activated", nullptr, std::function<void(int)>([this](int) { readable(); }));
    if (m_secure->context) {
        SSL* session = SSL_new(m_secure->context.get());
        const std::string host = m_tls->serverName.isEmpty() ? m_client->networkAddress.toStdString()
                                                             : m_tls->serverName.toStdString();
        if (!session || SSL_set_fd(session, m_socket) != 1 || !tls::expectServer(session, host)) {
            SSL_free(session);
            linkDown(EPROTO, "TLS: " + tls::errorText("no session"));
            return;
        }
        SSL_set_connect_state(session);
        m_secure->session = session;
        m_secure->handshaking = true;
        handshake();
        return;
    }
    killTimer(m_connectTimer);
    m_connectTimer = 0;
    linkUp();
}

void CtvkModbusTcpLink::handshake()
{
    SSL* session = m_secure->session;
    const tls::Step step = tls::stepOf(session, tls::clean(SSL_do_handshake, session));
    if (step == tls::Step::WantRead || step == tls::Step::WantWrite) {
        watchWrites(step == tls::Step::WantWrite);
        return;
    }
    if (step != tls::Step::Done) {
        linkDown(EPROTO, "TLS handshake failed: " + tls::handshakeFailure(session, "the server closed the connection"));
        return;
    }
    m_secure->handshaking = false;
    if (m_writer)
        m_writer->setEnabled(!m_out.empty());
    killTimer(m_connectTimer);
    m_connectTimer = 0;
    linkUp();
}

void CtvkModbusTcpLink::dropSocket()
{
    m_secure->endSession();
    // Out of the dispatcher before the descriptor closes.
    delete m_reader;
    m_reader = nullptr;
    delete m_writer;
    m_writer = nullptr;
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    m_connecting = false;
    m_in.clear();
    m_out.clear();
}

void CtvkModbusTcpLink::closeTransport()
{
    for (int* timer : {&m_connectTimer, &m_resolveTimer}) {
        if (*timer)
            killTimer(*timer);
        *timer = 0;
    }
    if (m_resolving)
        Resolution::abandon(std::move(m_resolving));
    m_addresses.clear();
    dropSocket();
}

void CtvkModbusTcpLink::timerEvent(CtvkTimerEvent* e)
{
    if (e && m_resolving && e->timerId() == m_resolveTimer) {
        if (gai_error(&m_resolving->request) != EAI_INPROGRESS)
            resolved();
        return;
    }
    if (e && m_connectTimer && e->timerId() == m_connectTimer) {
        // No connection within the connect timeout.
        linkDown(ETIMEDOUT);
        return;
    }
    CtvkModbusAsyncLink::timerEvent(e);
}

bool CtvkModbusTcpLink::sendRequest(CtvkModbusRequest* request)
{
    std::uint8_t header[mbap::kHeaderBytes];
    mbap::writeHeader(header, request->transactionId, request->unit, request->pduLength);
    const std::size_t at = m_out.size();
    m_out.insert(m_out.end(), header, header + mbap::kHeaderBytes);
    m_out.insert(m_out.end(), request->pdu, request->pdu + request->pduLength);
    observeFrame(true, m_out.data() + at, mbap::kHeaderBytes + request->pduLength);
    return flush();
}

bool CtvkModbusTcpLink::flush()
{
    if (SSL* session = m_secure->session) {
        while (!m_out.empty()) {
            ERR_clear_error();
            const int sent = SSL_write(session, m_out.data(), static_cast<int>(m_out.size()));
            const tls::Step step = tls::stepOf(session, sent);
            if (step == tls::Step::Done) {
                m_out.erase(m_out.begin(), m_out.begin() + sent);
                continue;
            }
            if (step != tls::Step::WantWrite && step != tls::Step::WantRead) {
                errno = EPIPE;
                return false;
            }
            break;
        }
    }
    while (!m_out.empty() && !m_secure->session) {
        const ssize_t sent = ::send(m_socket, m_out.data(), m_out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            break;
        }
        m_out.erase(m_out.begin(), m_out.begin() + sent);
    }
    // What did not go out waits for the socket to take more.
    watchWrites(!m_out.empty());
    return true;
}

void CtvkModbusTcpLink::watchWrites(bool on)
{
    if (m_writer) {
        m_writer->setEnabled(on);
    } else if (on) {
        m_writer = new CtvkSocketNotifier(m_socket, CtvkSocketNotifier::Write, this);
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
    if (m_secure->handshaking) {
        handshake();
        return;
    }
    if (!flush())
        linkDown(errno);
}

void CtvkModbusTcpLink::readable()
{
    if (m_secure->handshaking) {
        handshake();
        return;
    }
    std::uint8_t chunk[kReadChunkBytes];
    if (SSL* session = m_secure->session) {
        // OpenSSL may hold decrypted bytes the socket no longer signals:
        // read until it wants more from the socket.
        while (m_socket >= 0 && m_secure->session == session) {
            ERR_clear_error();
            const int got = SSL_read(session, chunk, sizeof chunk);
            const tls::Step step = tls::stepOf(session, got);
            if (step == tls::Step::Done) {
                frames(chunk, static_cast<std::size_t>(got));
                // What OpenSSL holds the socket no longer signals; the rest
                // comes with the socket's next readiness.
                if (m_secure->session == session && SSL_has_pending(session))
                    continue;
                return;
            }
            if (step == tls::Step::WantRead || step == tls::Step::WantWrite)
                return;
            // Over TLS 1.3 a server that refuses the client's certificate
            // says so after the client has finished its handshake.
            if (step == tls::Step::Closed)
                linkDown(ECONNRESET);
            else
                linkDown(EPROTO, "TLS: " + tls::errorText("the connection broke"));
            return;
        }
        return;
    }
    const ssize_t got = ::recv(m_socket, chunk, sizeof chunk, MSG_DONTWAIT);
    const int err = errno;
    if (got == 0) {
        linkDown(ECONNRESET);   // the server closed the connection
        return;
    }
    if (got < 0) {
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR)
            linkDown(err);
        return;
    }
    frames(chunk, static_cast<std::size_t>(got));
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
    std::size_t at = 0;
    while (m_socket >= 0) {
        int length = 0;
        const mbap::Split split = mbap::splitFrame(data + at, static_cast<int>(available - at), &length);
        if (split == mbap::Split::Incomplete)
            break;
        if (split == mbap::Split::Broken) {
            // A length no Modbus server sends: nothing after it can be read.
            linkDown(EMBBADDATA);
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
    if (m_socket >= 0)
        m_in.assign(data + at, data + available);
}

} // namespace Quorvan
