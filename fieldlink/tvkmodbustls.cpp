// SPDX-License-Identifier: MIT
#include "tvkmodbustls_p.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Quorvan {

namespace tls {

namespace {

std::string fileOf(const CtvkString& path)
{
    return path.toStdString();
}

// Why `path` cannot be read at all, or "" when it can.
std::string unreadable(const std::string& path)
{
    if (::access(path.c_str(), R_OK) == 0)
        return std::string();
    const int err = errno;
    return "cannot read " + path + ": " + std::strerror(err);
}

// The settings both ends share; false with `error` set in words a person
// can act on, and OpenSSL's own in `detail`.
bool configure(SSL_CTX* ctx, const CtvkModbusTlsConfiguration& c, int purpose, std::string* error,
               std::string* detail)
{
    const auto fail = [&](const std::string& path, const std::string& what) {
        const std::string why = unreadable(path);
        *error = why.empty() ? what : why;
        const std::string queued = errorText("");
        if (detail)
            *detail = queued;
        return false;
    };
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    // All or nothing per write: an answer either goes out whole or the
    // peer is not reading, as over plain TCP.
    SSL_CTX_clear_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE);
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // One read takes what the socket holds, not a record header and then
    // its body: half the reads for a request. What is read ahead is handed
    // out while SSL_has_pending() says so.
    SSL_CTX_set_read_ahead(ctx, 1);
    // An idle session gives its read and write buffers back: a panel may
    // hold thousands of connections that say little.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);

    const std::string certificate = fileOf(c.certificateFile);
    const std::string key = c.privateKeyFile.isEmpty() ? certificate : fileOf(c.privateKeyFile);
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(ctx, certificate.c_str()) != 1)
        return fail(certificate, "the certificate " + certificate + " is not a PEM certificate OpenSSL can use");
    const std::string mismatch = "the private key " + key + " does not belong to the certificate " + certificate;
    if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        const int reason = ERR_GET_REASON(ERR_peek_last_error());
        const bool readButForeign = reason == X509_R_KEY_VALUES_MISMATCH || reason == X509_R_KEY_TYPE_MISMATCH;
        return fail(key, readButForeign ? mismatch : "the private key " + key + " is not a PEM key OpenSSL can use");
    }
    if (SSL_CTX_check_private_key(ctx) != 1)
        return fail(key, mismatch);

    const std::string ca = fileOf(c.caCertificates);
    if (ca.empty()) {
        *error = "no CA certificates to check the other end's certificate against";
        return false;
    }
    struct stat st {};
    const bool folder = ::stat(ca.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (SSL_CTX_load_verify_locations(ctx, folder ? nullptr : ca.c_str(), folder ? ca.c_str() : nullptr) != 1)
        return fail(ca, "the CA certificates " + ca + " are not PEM certificates OpenSSL can use");
    // The chain, its dates and the key usage the purpose asks of a client
    // or a server certificate; a peer without a certificate is refused.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_purpose(ctx, purpose);
    return true;
}

} // namespace

Context serverContext(const CtvkModbusTlsConfiguration& c, std::string* error, std::string* detail)
{
    Context ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx || !configure(ctx.get(), c, X509_PURPOSE_SSL_CLIENT, error, detail))
        return nullptr;
    // No sessions to resume: each connection proves its certificate.
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx.get(), 0);
    return ctx;
}

Context clientContext(const CtvkModbusTlsConfiguration& c, std::string* error, std::string* detail)
{
    Context ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx || !configure(ctx.get(), c, X509_PURPOSE_SSL_SERVER, error, detail))
        return nullptr;
    return ctx;
}

bool expectServer(SSL* ssl, const std::string& host)
{
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    unsigned char address[16];
    if (::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1)
        return X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
    // The name is also sent, so a server behind one address can pick its
    // certificate.
    SSL_set_tlsext_host_name(ssl, host.c_str());
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0) == 1;
}

bool peerRole(SSL* ssl, std::string* role, std::string* why)
{
    role->clear();
    X509* certificate = SSL_get1_peer_certificate(ssl);
    if (!certificate)
        return true;
    ASN1_OBJECT* oid = OBJ_txt2obj(kModbusRoleOid, 1);
    const int at = oid ? X509_get_ext_by_OBJ(certificate, oid, -1) : -1;
    bool sound = true;
    if (at >= 0 && X509_get_ext_by_OBJ(certificate, oid, at) >= 0) {
        *why = "the certificate carries its role twice";
        sound = false;
    } else if (at >= 0) {
        X509_EXTENSION* extension = X509_get_ext(certificate, at);
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
        const unsigned char* p = ASN1_STRING_get0_data(data);
        const long length = ASN1_STRING_length(data);
        ASN1_UTF8STRING* text = d2i_ASN1_UTF8STRING(nullptr, &p, length);
        // The whole extension must be the one string: a role read from
        // part of it, or none, would fall back to the default entry.
        if (text && p == ASN1_STRING_get0_data(data) + length) {
            role->assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                         static_cast<std::size_t>(ASN1_STRING_length(text)));
        } else {
            *why = "the certificate's role is not a UTF-8 string";
            sound = false;
        }
        ASN1_UTF8STRING_free(text);
    }
    ASN1_OBJECT_free(oid);
    X509_free(certificate);
    ERR_clear_error();
    return sound;
}

std::string errorText(const char* fallback)
{
    std::string text;
    while (const unsigned long e = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(e, line, sizeof line);
        if (!text.empty())
            text += "; ";
        text += line;
    }
    return text.empty() ? std::string(fallback) : text;
}

} // namespace tls

} // namespace Quorvan
