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
// cannot be used, in words a person can act on, and `detail` (if given)
// set to OpenSSL's own.
Context serverContext(const CtvkModbusTlsConfiguration& c, std::string* error, std::string* detail = nullptr);
Context clientContext(const CtvkModbusTlsConfiguration& c, std::string* error, std::string* detail = nullptr);

// Makes `ssl` check that the server's certificate names `host` (a DNS name
// or an IP address).
bool expectServer(SSL* ssl, const std::string& host);

// The role the peer's certificate carries ("" when it carries none); false
// with `why` set when its role extension cannot be read, or is there twice
// (two roles would leave it to chance which one is granted).
bool peerRole(SSL* ssl, std::string* role, std::string* why);

// The text of the OpenSSL error queue (emptied), or of `fallback`.
std::string errorText(const char* fallback);

} // namespace tls

} // namespace Quorvan

#endif
