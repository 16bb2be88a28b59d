// SPDX-License-Identifier: MIT
#include "tvkmodbusstream_p.h"

#include "tvkmodbustls_p.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

namespace Quorvan {

namespace {

// A queue that went out whole is emptied; one that did not is compacted
// once what went out outweighs what waits.
constexpr std::size_t kCompactBytes = 4096;

// Counts the forks of the process, in parent and child alike: a session
// made before a fork is held by two processes from then on.
std::atomic<unsigned> forks{0};

void forked()
{
    forks.fetch_add(1, std::memory_order_relaxed);
}

unsigned forksSoFar()
{
    static const bool counting = ::pthread_atfork(nullptr, &forked, &forked) == 0;
    (void)counting;
    return forks.load(std::memory_order_relaxed);
}

bool transient(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

CtvkModbusStream::Result done(int bytes = 0)
{
    CtvkModbusStream::Result r;
    r.bytes = bytes;
    return r;
}

CtvkModbusStream::Result status(CtvkModbusStream::Status s)
{
    CtvkModbusStream::Result r;
    r.status = s;
    return r;
}

CtvkModbusStream::Result failed(int err, std::string text = std::string(), std::string detail = std::string())
{
    CtvkModbusStream::Result r;
    r.status = CtvkModbusStream::Status::Failed;
    r.fault.err = err;
    r.fault.text = std::move(text);
    r.fault.detail = std::move(detail);
    return r;
}

// Words for a certificate this end refused; `peer` is "server" or "client".
std::string refusedCertificate(long verified, const std::string& peer)
{
    switch (verified) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "the " + peer + "'s certificate names another host";
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "the " + peer + "'s certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "the " + peer + "'s certificate is not valid yet";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return "we do not trust the " + peer + "'s certificate (not issued by our CA)";
    case X509_V_ERR_INVALID_PURPOSE:
        return "the " + peer + "'s certificate is not meant for a " + peer;
    case X509_V_ERR_CERT_REVOKED:
        return "the " + peer + "'s certificate is revoked";
    default:
        return "the " + peer + "'s certificate was refused (" + X509_verify_cert_error_string(verified) + ")";
    }
}

// Words for what the peer told us, or for a handshake that went wrong
// here; empty when the reason is not one a person can act on.
std::string refusedBy(int reason, const std::string& peer)
{
    switch (reason) {
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
        return "the " + peer + " does not trust our certificate (unknown CA)";
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
        return "the " + peer + " says our certificate has expired";
    case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
        return "the " + peer + " says our certificate is revoked";
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_TLSV1_ALERT_DECRYPT_ERROR:
        return "the " + peer + " refused our certificate";
    case SSL_R_TLSV1_ALERT_ACCESS_DENIED:
        return "the " + peer + " denied us access";
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
        return "the " + peer + " requires a certificate of ours";
    case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
        return "the " + peer + " sent no certificate";
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
        return "no TLS version both ends accept (TLS 1.2 at least)";
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
        return "the " + peer + " and we share no cipher or signature scheme";
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_LENGTH_MISMATCH:
        return "the " + peer + " does not speak TLS";
    case SSL_R_UNEXPECTED_EOF_WHILE_READING:
        return "the " + peer + " closed the connection";
    default:
        return std::string();
    }
}

} // namespace

// The BIO under every TLS session: it reads and writes the stream's socket
// as the plain path does, never with a call that can raise SIGPIPE, and a
// write the socket does not take whole is queued, so that OpenSSL never
// has to be asked again with the same bytes.
struct CtvkModbusStreamBio {
    static BIO_METHOD* method()
    {
        // Made once, kept for the process: sessions of any thread use it.
        static BIO_METHOD* const m = [] {
            BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tvk modbus stream");
            BIO_meth_set_write(made, &write);
            BIO_meth_set_read(made, &read);
            BIO_meth_set_ctrl(made, &control);
            BIO_meth_set_create(made, [](BIO* b) {
                BIO_set_init(b, 1);
                return 1;
            });
            return made;
        }();
        return m;
    }
    static int write(BIO* b, const char* bytes, int length)
    {
        auto* s = static_cast<CtvkModbusStream*>(BIO_get_data(b));
        BIO_clear_retry_flags(b);
        return s->sendOrQueue(reinterpret_cast<const std::uint8_t*>(bytes), length);
    }
    static int read(BIO* b, char* into, int size)
    {
        auto* s = static_cast<CtvkModbusStream*>(BIO_get_data(b));
        BIO_clear_retry_flags(b);
        const int got = s->receive(reinterpret_cast<std::uint8_t*>(into), size);
        if (got < 0 && transient(s->m_socketError))
            BIO_set_retry_read(b);
        return got;
    }
    static long control(BIO*, int command, long, void*)
    {
        // Written through at once: there is nothing of ours to flush.
        return command == BIO_CTRL_FLUSH ? 1 : 0;
    }
};

std::string CtvkModbusStream::Fault::what() const
{
    if (!text.empty() || err == 0)
        return text;
    char buffer[256];
    // The GNU strerror_r answers the text (not always in the buffer).
    return ::strerror_r(err, buffer, sizeof buffer);
}

CtvkModbusStream::CtvkModbusStream(int socket) : m_socket(socket), m_forks(forksSoFar()) {}

CtvkModbusStream::~CtvkModbusStream()
{
    close();
}

CtvkModbusStream::Result CtvkModbusStream::connectTo(const sockaddr* address, socklen_t length,
                                                     CtvkModbusStream** made)
{
    *made = nullptr;
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failed(errno);
    *made = new CtvkModbusStream(fd);
    if (::connect(fd, address, length) == 0)
        return done();
    const int err = errno;
    return err == EINPROGRESS ? status(Status::WouldBlock) : failed(err);
}

CtvkModbusStream::Result CtvkModbusStream::finishConnect()
{
    int err = 0;
    socklen_t length = sizeof err;
    if (::getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
        err = errno;
    return err ? failed(err) : done();
}

CtvkModbusStream::Result CtvkModbusStream::secureAsClient(SSL_CTX* context, const std::string& host)
{
    m_context = context;
    m_role = Role::Client;
    ERR_clear_error();
    m_ssl = SSL_new(context);
    if (!m_ssl || !tls::expectServer(m_ssl, host))
        return failed(0, "no TLS session could be made", tls::errorText("no session"));
    BIO* bio = BIO_new(CtvkModbusStreamBio::method());
    if (!bio)
        return failed(0, "no TLS session could be made", tls::errorText("no BIO"));
    BIO_set_data(bio, this);
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_connect_state(m_ssl);
    return done();
}

void CtvkModbusStream::secureAsServer(SSL_CTX* context)
{
    m_context = context;
    m_role = Role::Server;
}

CtvkModbusStream::Result CtvkModbusStream::handshake()
{
    if (!m_context || m_established)
        return done();
    if (!m_ssl) {
        // A server's session is made with the client's first bytes: until
        // then a connection costs no more than a plain one.
        std::uint8_t first = 0;
        const ssize_t peeked = ::recv(m_socket, &first, 1, MSG_PEEK | MSG_DONTWAIT);
        const int err = errno;
        if (peeked == 0)
            return status(Status::Closed);
        if (peeked < 0)
            return transient(err) ? status(Status::WouldBlock) : failed(err);
        ERR_clear_error();
        m_ssl = SSL_new(m_context);
        BIO* bio = m_ssl ? BIO_new(CtvkModbusStreamBio::method()) : nullptr;
        if (!bio)
            return failed(0, "no TLS session could be made", tls::errorText("no session"));
        BIO_set_data(bio, this);
        SSL_set_bio(m_ssl, bio, bio);
        SSL_set_accept_state(m_ssl);
    }
    ERR_clear_error();
    m_socketError = 0;
    const int rc = SSL_do_handshake(m_ssl);
    if (rc == 1) {
        m_established = true;
        return done();
    }
    return tlsFailure(rc, "handshake");
}

bool CtvkModbusStream::peerRole(std::string* role, std::string* why) const
{
    return m_ssl && tls::peerRole(m_ssl, role, why);
}

CtvkModbusStream::Result CtvkModbusStream::tlsFailure(int rc, const char* doing)
{
    const int code = SSL_get_error(m_ssl, rc);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
        return status(Status::WouldBlock);
    if (code == SSL_ERROR_ZERO_RETURN) {
        ERR_clear_error();
        return status(Status::Closed);
    }
    const std::string peer = m_role == Role::Client ? "server" : "client";
    const unsigned long first = ERR_peek_error();
    const std::string detail = tls::errorText("");
    const long verified = SSL_get_verify_result(m_ssl);
    if (verified != X509_V_OK && !m_established)
        return failed(EPROTO, refusedCertificate(verified, peer),
                      detail.empty() ? X509_verify_cert_error_string(verified) : detail);
    if (code == SSL_ERROR_SYSCALL && first == 0) {
        // The socket itself: a hang-up, or a broken connection.
        if (m_socketError == 0 || m_socketError == ECONNRESET || m_socketError == EPIPE) {
            if (m_established)
                return status(Status::Closed);
            return failed(m_socketError ? m_socketError : ECONNRESET,
                          "the " + peer + " closed the connection during the TLS handshake");
        }
        return failed(m_socketError);
    }
    const std::string words = refusedBy(ERR_GET_REASON(first), peer);
    if (!words.empty() && ERR_GET_REASON(first) == SSL_R_UNEXPECTED_EOF_WHILE_READING && m_established)
        return status(Status::Closed);   // a hang-up without close_notify
    return failed(EPROTO, words.empty() ? std::string("the TLS ") + doing + " failed" : words, detail);
}

CtvkModbusStream::Result CtvkModbusStream::read(std::uint8_t* into, int size)
{
    if (!m_ssl) {
        const int got = receive(into, size);
        if (got > 0)
            return done(got);
        if (got == 0)
            return status(Status::Closed);
        return transient(m_socketError) ? status(Status::WouldBlock) : failed(m_socketError);
    }
    ERR_clear_error();
    m_socketError = 0;
    const int got = SSL_read(m_ssl, into, size);
    if (got > 0)
        return done(got);
    return tlsFailure(got, "read");
}

bool CtvkModbusStream::hasPending() const
{
    return m_ssl && SSL_has_pending(m_ssl) == 1;
}

CtvkModbusStream::Result CtvkModbusStream::write(const std::uint8_t* bytes, int length)
{
    m_socketError = 0;
    if (!m_ssl) {
        if (sendOrQueue(bytes, length) < 0)
            return failed(m_socketError ? m_socketError : ENOBUFS,
                          m_socketError ? std::string() : "the peer does not read what it is sent");
        return done(length);
    }
    ERR_clear_error();
    // The BIO takes every record whole (sent or queued), so OpenSSL never
    // waits to write.
    const int rc = SSL_write(m_ssl, bytes, length);
    if (rc == length)
        return done(length);
    if (m_socketError == 0 && hasQueued())
        return failed(ENOBUFS, "the peer does not read what it is sent");
    return tlsFailure(rc, "write");
}

CtvkModbusStream::Result CtvkModbusStream::flush()
{
    if (!hasQueued())
        return done();
    if (sendQueued() < 0)
        return failed(m_socketError);
    return hasQueued() ? status(Status::WouldBlock) : done();
}

int CtvkModbusStream::sendQueued()
{
    while (hasQueued()) {
        const ssize_t sent = ::send(m_socket, m_queue.data() + m_queuedFrom, m_queue.size() - m_queuedFrom,
                                    MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            if (transient(err))
                break;
            m_socketError = err;
            return -1;
        }
        m_queuedFrom += static_cast<std::size_t>(sent);
    }
    if (!hasQueued()) {
        m_queue.clear();
        m_queuedFrom = 0;
    } else if (m_queuedFrom >= kCompactBytes && m_queuedFrom * 2 >= m_queue.size()) {
        m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(m_queuedFrom));
        m_queuedFrom = 0;
    }
    return 0;
}

int CtvkModbusStream::sendOrQueue(const std::uint8_t* bytes, int length)
{
    int at = 0;
    // Behind what waits already, in order.
    if (!hasQueued()) {
        while (at < length) {
            const ssize_t sent = ::send(m_socket, bytes + at, static_cast<std::size_t>(length - at),
                                        MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                const int err = errno;
                if (err == EINTR)
                    continue;
                if (transient(err))
                    break;
                m_socketError = err;
                return -1;
            }
            at += static_cast<int>(sent);
        }
    }
    if (at < length) {
        if (m_queue.size() - m_queuedFrom + static_cast<std::size_t>(length - at) > kMaxQueuedBytes)
            return -1;
        m_queue.insert(m_queue.end(), bytes + at, bytes + length);
    }
    return length;
}

int CtvkModbusStream::receive(std::uint8_t* into, int size)
{
    for (;;) {
        const ssize_t got = ::recv(m_socket, into, static_cast<std::size_t>(size), MSG_DONTWAIT);
        if (got >= 0)
            return static_cast<int>(got);
        const int err = errno;
        if (err == EINTR)
            continue;
        m_socketError = err;
        return -1;
    }
}

bool CtvkModbusStream::soleHolder() const
{
    return forksSoFar() == m_forks;
}

void CtvkModbusStream::abandon()
{
    SSL_free(m_ssl);
    m_ssl = nullptr;
    m_socket = -1;
    close();
}

void CtvkModbusStream::close()
{
    if (m_ssl) {
        // close_notify, once, when no other process holds the session (a
        // fork since it was made copied it); nothing is waited for. A copy
        // is only freed: the other process may go on with the session.
        if (m_established && soleHolder()) {
            ERR_clear_error();
            SSL_shutdown(m_ssl);
        }
        SSL_free(m_ssl);
        m_ssl = nullptr;
        ERR_clear_error();
    }
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    m_queue.clear();
    m_queuedFrom = 0;
}

} // namespace Quorvan
