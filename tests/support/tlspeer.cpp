// SPDX-License-Identifier: MIT
#include "tlspeer.h"

#include "childprocess.h"
#include "loopback.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tvktest {

namespace {

constexpr std::size_t kChunkBytes = 16384;
constexpr const char* kRoleOid = "1.3.6.1.4.1.50316.802.1";

SSL* ssl(void* p)
{
    return static_cast<SSL*>(p);
}

std::string removeOnExit;

void removeFolder()
{
    if (!removeOnExit.empty())
        std::system(("rm -rf '" + removeOnExit + "'").c_str());
}

void nonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

SSL_CTX* context(bool server, const std::string& who)
{
    SSL_CTX* c = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!who.empty()) {
        SSL_CTX_use_certificate_chain_file(c, TestCertificates::file(who + ".pem").c_str());
        SSL_CTX_use_PrivateKey_file(c, TestCertificates::file(who + ".key").c_str(), SSL_FILETYPE_PEM);
    }
    SSL_CTX_load_verify_locations(c, TestCertificates::file("ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
    return c;
}

template <class T, void (*Free)(T*)>
struct Owned {
    T* p;
    ~Owned() { Free(p); }
};

} // namespace

const std::string& TestCertificates::folder(std::string* error)
{
    static const std::string made = [] {
        char folder[] = "/tmp/tvk-test-certs-XXXXXX";
        if (!::mkdtemp(folder))
            return std::string();
        ChildProcess make({"/bin/bash", TVK_SCRIPTS_DIR "/make-test-certs.sh", folder});
        if (make.waitForExit(60000) != 0)
            return std::string();
        removeOnExit = folder;
        std::atexit(removeFolder);
        return std::string(folder);
    }();
    if (made.empty() && error)
        *error = "scripts/make-test-certs.sh could not make the certificates";
    return made;
}

bool TestCertificates::makeWithRoles(const std::string& name, const std::vector<std::string>& roles)
{
    std::FILE* f = std::fopen(file("ca.pem").c_str(), "r");
    if (!f)
        return false;
    Owned<X509, X509_free> ca{PEM_read_X509(f, nullptr, nullptr, nullptr)};
    std::fclose(f);
    f = std::fopen(file("ca.key").c_str(), "r");
    if (!f)
        return false;
    Owned<EVP_PKEY, EVP_PKEY_free> caKey{PEM_read_PrivateKey(f, nullptr, nullptr, nullptr)};
    std::fclose(f);
    Owned<EVP_PKEY, EVP_PKEY_free> key{EVP_EC_gen("P-256")};
    Owned<X509, X509_free> x{X509_new()};
    if (!ca.p || !caKey.p || !key.p || !x.p)
        return false;
    X509_set_version(x.p, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.p), static_cast<long>(::getpid()));
    X509_gmtime_adj(X509_getm_notBefore(x.p), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.p), 24L * 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x.p), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(x.p, X509_get_subject_name(ca.p));
    X509_set_pubkey(x.p, key.p);
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, ca.p, x.p, nullptr, nullptr, 0);
    for (const auto& e : {std::pair<int, const char*>{NID_basic_constraints, "CA:FALSE"},
                          {NID_key_usage, "critical,digitalSignature"},
                          {NID_ext_key_usage, "clientAuth"}}) {
        X509_EXTENSION* made = X509V3_EXT_conf_nid(nullptr, &v3, e.first, e.second);
        X509_add_ext(x.p, made, -1);
        X509_EXTENSION_free(made);
    }
    Owned<ASN1_OBJECT, ASN1_OBJECT_free> oid{OBJ_txt2obj(kRoleOid, 1)};
    for (const std::string& role : roles) {
        Owned<ASN1_UTF8STRING, ASN1_UTF8STRING_free> text{ASN1_UTF8STRING_new()};
        ASN1_STRING_set(text.p, role.data(), static_cast<int>(role.size()));
        unsigned char* der = nullptr;
        const int length = i2d_ASN1_UTF8STRING(text.p, &der);
        Owned<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free> data{ASN1_OCTET_STRING_new()};
        ASN1_OCTET_STRING_set(data.p, der, length);
        OPENSSL_free(der);
        X509_EXTENSION* extension = X509_EXTENSION_create_by_OBJ(nullptr, oid.p, 0, data.p);
        X509_add_ext(x.p, extension, -1);
        X509_EXTENSION_free(extension);
    }
    if (X509_sign(x.p, caKey.p, EVP_sha256()) == 0)
        return false;
    std::FILE* pem = std::fopen(file(name + ".pem").c_str(), "w");
    std::FILE* keyFile = std::fopen(file(name + ".key").c_str(), "w");
    const bool written = pem && keyFile && PEM_write_X509(pem, x.p) == 1
        && PEM_write_PrivateKey(keyFile, key.p, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (pem)
        std::fclose(pem);
    if (keyFile)
        std::fclose(keyFile);
    return written;
}

std::unique_ptr<TlsPeer> TlsPeer::client(int port, const std::string& who)
{
    std::unique_ptr<TlsPeer> p(new TlsPeer);
    p->m_fd = connectToLoopback(port);
    if (p->m_fd < 0)
        return nullptr;
    nonBlocking(p->m_fd);
    SSL_CTX* c = context(false, who);
    p->m_context = c;
    SSL* s = SSL_new(c);
    SSL_set_bio(s, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_connect_state(s);
    p->m_ssl = s;
    return p;
}

std::unique_ptr<TlsPeer> TlsPeer::accept(int listening, int timeoutMs)
{
    pollfd ready{listening, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) != 1)
        return nullptr;
    std::unique_ptr<TlsPeer> p(new TlsPeer);
    p->m_fd = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (p->m_fd < 0)
        return nullptr;
    SSL_CTX* c = context(true, "server");
    p->m_context = c;
    SSL* s = SSL_new(c);
    SSL_set_bio(s, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_accept_state(s);
    p->m_ssl = s;
    return p;
}

TlsPeer::~TlsPeer()
{
    SSL_free(ssl(m_ssl));
    SSL_CTX_free(static_cast<SSL_CTX*>(m_context));
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TlsPeer::pump()
{
    BIO* out = SSL_get_wbio(ssl(m_ssl));
    char chunk[kChunkBytes];
    int n = 0;
    while ((n = BIO_read(out, chunk, sizeof chunk)) > 0)
        m_out.insert(m_out.end(), chunk, chunk + n);
    while (!m_out.empty() && m_fd >= 0) {
        const ssize_t sent = ::send(m_fd, m_out.data(), m_out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent <= 0) {
            if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                m_closed = true;
            break;
        }
        m_out.erase(m_out.begin(), m_out.begin() + sent);
    }
    BIO* in = SSL_get_rbio(ssl(m_ssl));
    while (m_fd >= 0 && !m_closed) {
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            BIO_write(in, chunk, static_cast<int>(got));
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            m_closed = true;
            BIO_set_mem_eof_return(in, 0);
        }
        break;
    }
    return !m_closed;
}

bool TlsPeer::handshake()
{
    if (m_failed)
        return false;
    pump();
    ERR_clear_error();
    const int rc = SSL_do_handshake(ssl(m_ssl));
    const int code = SSL_get_error(ssl(m_ssl), rc);
    pump();
    if (rc == 1)
        return true;
    if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE)
        m_failed = true;
    return false;
}

bool TlsPeer::send(const Bytes& plain)
{
    ERR_clear_error();
    if (SSL_write(ssl(m_ssl), plain.data(), static_cast<int>(plain.size())) != static_cast<int>(plain.size()))
        m_failed = true;
    return pump() && !m_failed;
}

bool TlsPeer::takeFrame(Bytes* frame)
{
    pump();
    char chunk[kChunkBytes];
    for (;;) {
        ERR_clear_error();
        const int got = SSL_read(ssl(m_ssl), chunk, sizeof chunk);
        if (got <= 0) {
            const int code = SSL_get_error(ssl(m_ssl), got);
            if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE)
                m_closed = true;
            break;
        }
        m_inbox.insert(m_inbox.end(), chunk, chunk + got);
    }
    pump();
    return takeMbapFrame(m_inbox, frame);
}

bool TlsPeer::closedByOtherEnd()
{
    Bytes ignored;
    takeFrame(&ignored);
    return m_closed;
}

void TlsPeer::hangUp()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void TlsPeer::reset()
{
    if (m_fd >= 0) {
        const linger now{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    hangUp();
}

} // namespace tvktest
