// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSTCPCLIENT_P_H
#define TVKMODBUSTCPCLIENT_P_H

#include "tvkmodbustcpclient.h"
#include "tvkmodbusclient_p.h"
#include "tvkmodbustls.h"

#include <string>

namespace Quorvan {

class TVK_FIELDLINK_EXPORT CtvkModbusTcpClientPrivate : public CtvkModbusClientPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkModbusTcpClient)

    CtvkModbusTcpClientPrivate();
    ~CtvkModbusTcpClientPrivate() override;

    // libmodbus sets the socket up itself; kept as the hook for doing more.
    void setupTcpSocket();

    // The unit id set by the host, or -1 for libmodbus's default.
    int unitId = -1;
    // The asynchronous requests' TLS; off without a certificate.
    CtvkModbusTlsConfiguration tls;
    // OpenSSL's own words for the last TLS failure.
    std::string tlsDetail;

    CtvkModbusAsyncLink* createLink() override;
};

} // namespace Quorvan

#endif
