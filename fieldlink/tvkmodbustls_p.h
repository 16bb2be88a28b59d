// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSTLS_P_H
#define TVKMODBUSTLS_P_H

#include "tvkmodbustls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace Quorvan {

namespace tls {

struct ContextFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using Context = std::unique_ptr<SSL_CTX, ContextFree>;

// The contexts both ends use: TLS 1.2 at least, no renegotiation, no
// compression, the peer's certificate required and checked against the
// CA (chain, validity dates, key usage). Null with `error` set when a file
// cannot be used.
Context serverContext(const CtvkModbusTlsConfiguration& c, std::string* error);
Context clientContext(const CtvkModbusTlsConfiguration& c, std::string* error);

// Makes `ssl` check that the server's certificate names `host` (a DNS name
// or an IP address).
bool expectServer(SSL* ssl, const std::string& host);

// The role the peer's certificate carries; empty when it carries none.
std::string peerRole(SSL* ssl);

// Calls `step` on `ssl` with the thread's error queue emptied first: what
// another session left there would make SSL_get_error() answer wrongly.
inline int clean(int (*step)(SSL*), SSL* ssl)
{
    ERR_clear_error();
    return step(ssl);
}

// Where a handshake or a transfer stands after an OpenSSL call answered `rc`.
enum class Step { Done, WantRead, WantWrite, Closed, Failed };
Step stepOf(SSL* ssl, int rc);

// The text of the OpenSSL error queue (emptied), or of `fallback`.
std::string errorText(const char* fallback);

// Why a handshake failed: the certificate check's verdict when it refused
// the peer, else the error queue's text (emptied either way), or `fallback`.
std::string handshakeFailure(SSL* ssl, const char* fallback);

} // namespace tls

} // namespace Quorvan

#endif
