// SPDX-License-Identifier: MIT
#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpclient_p.h"

#include "tvkmodbusasync_p.h"

#include <cerrno>
#include <string>

#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Quorvan {

namespace {

// libmodbus waits on its socket with select(), in modbus_connect already and
// in every request after it. An fd_set holds socket numbers below
// FD_SETSIZE only; for a higher number the process is aborted (or, without
// fortified headers, memory beyond the set is overwritten).
bool waitableSocket(int socket)
{
    return socket < FD_SETSIZE;
}

CtvkString unwaitableSocketText(int socket)
{
    const std::string text = "Socket number " + std::to_string(socket)
        + " is beyond what libmodbus can wait on (select() takes numbers below "
        + std::to_string(FD_SETSIZE) + ")";
    return CtvkString::fromAscii(text.c_str());
}

// The number the next socket() will get: the lowest free descriptor.
int nextSocketNumber()
{
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0)
        ::close(probe);
    return probe;
}

// The text comes from the C library in the locale's encoding: the line
// carries those same bytes, not an ASCII rendering with '?' for accents.
void failConnection(CtvkModbusTcpClientPrivate* d, const CtvkString& text)
{
    d->failOpen(text, std::string("error = ") + text.toLocal8Bit().constData());
}

// libmodbus says "Connection refused" of a host name it cannot look up as
// well. The name is looked up again as libmodbus does it, only once the
// connection failed, to tell the two apart.
CtvkString refusedOrUnresolved(const CtvkModbusTcpClientPrivate* d)
{
    addrinfo hints{};
    hints.ai_flags = AI_ADDRCONFIG;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string host = d->networkAddress.toStdString();
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(d->networkPort).c_str(), &hints, &found);
    const int err = errno;
    if (found)
        ::freeaddrinfo(found);
    return rc == 0 ? CtvkModbusDevicePrivate::errnoText(ECONNREFUSED)
                   : CtvkModbusDevicePrivate::unresolvedHostText(rc, err);
}

} // namespace

CtvkModbusTcpClientPrivate::CtvkModbusTcpClientPrivate() = default;
CtvkModbusTcpClientPrivate::~CtvkModbusTcpClientPrivate() = default;

void CtvkModbusTcpClientPrivate::setupTcpSocket()
{
}

CtvkModbusAsyncLink* CtvkModbusTcpClientPrivate::createLink()
{
    return new CtvkModbusTcpLink(this, &tls, &tlsDetail, &framing);
}

CtvkModbusTcpClient::CtvkModbusTcpClient(CtvkObject* parent)
    : CtvkModbusTcpClient(new CtvkModbusTcpClientPrivate, parent)
{
}

// Carries the class name of CtvkModbusClient: this class registers none.
CtvkModbusTcpClient::CtvkModbusTcpClient(CtvkModbusTcpClientPrivate* d, CtvkObject* parent)
    : CtvkModbusClient(d ? d : new CtvkModbusTcpClientPrivate, parent)
{
}

CtvkModbusTcpClient::~CtvkModbusTcpClient()
{
    d_func()->destroyLink();
    CtvkModbusDevice::close();
}

bool CtvkModbusTcpClient::open()
{
    CtvkModbusTcpClientPrivate* d = d_func();
    if (d->framing == RtuFraming) {
        // libmodbus frames its TCP requests with the MBAP header only.
        d->setPrivateError(CtvkString::fromAscii("RTU over TCP serves the asynchronous requests (connectDevice())"),
                           ConfigurationError);
        return false;
    }
    if (!d->modbusContext) {
        const CtvkByteArray address = d->networkAddress.toAscii();
        // libmodbus cuts the port to 16 bits, so 70000 would connect to 4464:
        // a port that cannot exist gets no context instead.
        // Names and IPv6 literals as well as IPv4 ones, looked up at connect.
        if (d->networkPort >= 0 && d->networkPort <= 65535)
            d->modbusContext = modbus_new_tcp_pi(address.constData(), std::to_string(d->networkPort).c_str());
        if (!d->modbusContext) {
            d->setPrivateError(CtvkString::fromAscii("Unable to create the libmodbus context"),
                               ConfigurationError);
            return false;
        }
    } else {
        // modbus_connect overwrites the context's socket without closing it;
        // close it here (the context stays) so a reconnect leaks nothing.
        modbus_close(d->modbusContext);
    }

    // modbus_connect itself would abort on such a socket, so look before.
    const int next = nextSocketNumber();
    if (!waitableSocket(next)) {
        failConnection(d, unwaitableSocketText(next));
        return false;
    }

    if (modbus_connect(d->modbusContext) == -1) {
        const int err = errno;
        failConnection(d, err == ECONNREFUSED ? refusedOrUnresolved(d) : d->errnoText(err));
        return false;
    }

    // Had another thread taken the probed number and the connect completed
    // without waiting, the socket would still be unusable for requests.
    const int connected = modbus_get_socket(d->modbusContext);
    if (!waitableSocket(connected)) {
        failConnection(d, unwaitableSocketText(connected));
        return false;
    }
    if (d->unitId >= 0)
        modbus_set_slave(d->modbusContext, d->unitId);
    d->setupTcpSocket();
    return true;
}

void CtvkModbusTcpClient::setUnitId(int unitId)
{
    CtvkModbusTcpClientPrivate* d = d_func();
    if (unitId < 0 || unitId > 255)
        return;
    d->unitId = unitId;
    if (d->modbusContext)
        modbus_set_slave(d->modbusContext, unitId);
}

void CtvkModbusTcpClient::setTlsConfiguration(const CtvkModbusTlsConfiguration& configuration)
{
    d_func()->tls = configuration;
}

void CtvkModbusTcpClient::setFraming(Framing framing)
{
    CtvkModbusTcpClientPrivate* d = d_func();
    d->framing = framing == RtuFraming ? RtuFraming : MbapFraming;
    // Behind RTU over TCP is a serial line: its addresses and its broadcast.
    d->serialLine = d->framing == RtuFraming;
}

CtvkModbusTcpClient::Framing CtvkModbusTcpClient::framing() const
{
    return d_func()->framing;
}

std::string CtvkModbusTcpClient::tlsErrorDetail() const
{
    return d_func()->tlsDetail;
}

CtvkModbusTlsConfiguration CtvkModbusTcpClient::tlsConfiguration() const
{
    return d_func()->tls;
}

int CtvkModbusTcpClient::unitId() const
{
    const int unitId = d_func()->unitId;
    return unitId >= 0 ? unitId : MODBUS_TCP_SLAVE;
}

} // namespace Quorvan
