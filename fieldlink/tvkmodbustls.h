// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSTLS_H
#define TVKMODBUSTLS_H

#include "tvkfieldlink_global.h"
#include "tvkstring.h"

namespace Quorvan {

// Modbus/TCP Security for a TCP server or client: TLS 1.2 or later with
// certificates on both ends, PEM files. Without a certificate the device
// speaks plain Modbus/TCP.
struct TVK_FIELDLINK_EXPORT CtvkModbusTlsConfiguration {
    // This end's certificate (with its chain) and its private key.
    CtvkString certificateFile;
    CtvkString privateKeyFile;
    // What the other end's certificate must chain up to: a PEM file, or a
    // folder of certificates named by their hash (c_rehash).
    CtvkString caCertificates;
    // Server: the rules file that maps the role in a client's certificate
    // to what it may read and write. None: a client may do nothing.
    CtvkString roleRulesFile;
    // Client: the name (or address) the server's certificate must carry;
    // empty: NetworkAddress.
    CtvkString serverName;

    bool isEnabled() const { return !certificateFile.isEmpty(); }
};

// The extension of a client certificate that carries its role, as an
// ASN.1 UTF8String.
constexpr const char* kModbusRoleOid = "1.3.6.1.4.1.50316.802.1";
// The port Modbus/TCP Security is served on by convention.
constexpr int kModbusTlsPort = 802;

} // namespace Quorvan

#endif
