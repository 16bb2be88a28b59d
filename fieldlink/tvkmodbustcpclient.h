// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSTCPCLIENT_H
#define TVKMODBUSTCPCLIENT_H

#include "tvkmodbusclient.h"
#include "tvkmodbustls.h"

#include <string>

namespace Quorvan {

class CtvkModbusTcpClientPrivate;

// Sends requests to a Modbus TCP server at NetworkAddress and NetworkPort
// (an IPv4 or IPv6 address, or a host name).
//
// Blocking: open() connects libmodbus's context, and each request of
// CtvkModbusClient then blocks the caller until its answer or its last
// attempt's response timeout; nothing is watched on the event loop.
//
// Asynchronous: connectDevice() looks the name up and connects without
// blocking, and the requests that hand out a reply run on the event loop
// (a socket notifier, one timer per attempt), several in flight at once,
// their answers matched by transaction id; over TLS when a certificate is
// set (setTlsConfiguration).
class TVK_FIELDLINK_EXPORT CtvkModbusTcpClient : public CtvkModbusClient {
public:
    TVK_DECLARE_PRIVATE(CtvkModbusTcpClient)

    explicit CtvkModbusTcpClient(CtvkObject* parent = nullptr);
    CtvkModbusTcpClient(CtvkModbusTcpClientPrivate* d, CtvkObject* parent);
    ~CtvkModbusTcpClient() override;

    bool open() override;

    // The unit identifier the requests carry: a gateway in front of serial
    // devices routes by it. Until it is set, libmodbus's default (255).
    void setUnitId(int unitId);
    int unitId() const;

    // Modbus/TCP Security for the asynchronous requests: with a
    // certificate set, connectDevice() shakes hands with TLS (without
    // blocking, within the connect timeout), checks the server's
    // certificate against the CA and its name (serverName, else
    // NetworkAddress), and shows its own. Taken at each connectDevice().
    void setTlsConfiguration(const CtvkModbusTlsConfiguration& configuration);
    CtvkModbusTlsConfiguration tlsConfiguration() const;
    // How requests are framed on the connection. Mbap (the default) is
    // Modbus/TCP. Rtu is Modbus RTU over TCP, as many serial device servers
    // (RS-485 to Ethernet converters) carry it: the slave address, the PDU
    // and the CRC, one request on the wire at a time, the serial line's
    // addresses (0 broadcasts, up to 247). It serves the asynchronous
    // requests, with the same connect, time limits and reconnects; open()
    // and the blocking requests, which libmodbus frames, refuse it with
    // ConfigurationError. Taken at each connectDevice().
    enum Framing { MbapFraming = 0, RtuFraming = 1 };
    void setFraming(Framing framing);
    Framing framing() const;

    // A TLS failure is told in words a person can act on ("the server's
    // certificate has expired"); OpenSSL's own words for the last one, for
    // whoever wants the detail, are here (empty when there are none).
    std::string tlsErrorDetail() const;
};

} // namespace Quorvan

#endif
