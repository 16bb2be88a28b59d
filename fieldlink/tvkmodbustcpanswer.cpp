// SPDX-License-Identifier: MIT
// The answering side of the TCP server: who may ask what (the roles over
// TLS, read-only tables and allowed networks over plain TCP), the
// exceptions given before libmodbus sees a request, the register map's
// answer through modbus_reply, and what the host is told of each request
// and each refusal.
#include "tvkmodbustcpconnection_p.h"
#include "tvkmodbustcpserver_p.h"

#include "tvkmodbuspdu_p.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace Quorvan {

namespace {

// Room for every answer libmodbus makes.
constexpr int kAnswerBytes = mbap::kMaxFrameBytes;

} // namespace

void CtvkModbusTcpSecurity::closePair()
{
    for (int& fd : answerPair) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

bool CtvkModbusTcpServerPrivate::secure(std::string* why)
{
    CtvkModbusTcpSecurity& s = *security;
    s.context.reset();
    s.roles = CtvkModbusRoleRules();
    if (!s.configuration.isEnabled())
        return true;
    s.context = tls::serverContext(s.configuration, why);
    if (!s.context)
        return false;
    // The rules are read once, here: a bad line keeps the server from
    // serving at all rather than granting what it did not mean.
    if (!s.configuration.roleRulesFile.isEmpty()
        && !s.roles.load(s.configuration.roleRulesFile.toStdString(), why)) {
        s.context.reset();
        return false;
    }
    return true;
}

bool CtvkModbusTcpServerPrivate::permitted(CtvkModbusTcpConnection* connection, const std::uint8_t* frame)
{
    const CtvkModbusTcpSecurity& sec = *security;
    const std::uint8_t* request = frame + mbap::kHeaderBytes;
    if (connection->stream.isSecure()) {
        if (sec.roles.allows(connection->role, request))
            return true;
    } else {
        pdu::Access reached[2];
        const int n = pdu::accesses(request, reached);
        bool writable = true;
        for (int i = 0; i < n; ++i)
            if (reached[i].write && reached[i].table > 0 && reached[i].table < 5 && sec.readOnly[reached[i].table])
                writable = false;
        if (writable)
            return true;
    }
    char what[96];
    std::snprintf(what, sizeof what, "function %d is not granted (address %d)", request[0],
                  request[0] == pdu::ReadWriteMultipleRegisters ? pdu::word(request + 5) : pdu::word(request + 1));
    refuse(connection, connection->socket(), what, std::string(), true);
    return false;
}

void CtvkModbusTcpServerPrivate::refuse(CtvkModbusTcpConnection* connection, int socket, const std::string& reason,
                                        const std::string& detail, bool request)
{
    CtvkModbusTcpSecurity& sec = *security;
    CtvkModbusTcpServer::Refusal refusal;
    refusal.socket = socket;
    refusal.reason = reason;
    refusal.detail = detail;
    if (connection)
        refusal.role = connection->shownRole;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
        refusal.peer = CtvkNetworkList::endpointText(reinterpret_cast<const sockaddr*>(&peer));
    if (request) {
        ++sec.refusedRequests;
        ++sec.refusedByRole[refusal.role];
    } else {
        ++sec.refusedConnections;
    }
    if (sec.refusalObserver)
        sec.refusalObserver(refusal);
    // A refused connection ends here; a refused request gets exception 1.
    if (!request && connection)
        endConnection(connection);
}

bool CtvkModbusTcpServerPrivate::answer(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int length)
{
    if (!modbusContext) {
        endConnection(connection);
        return false;
    }
    const std::uint8_t* pduStart = frame + mbap::kHeaderBytes;
    const int unit = mbap::unitId(frame);
    if (servedUnits.any() && !servedUnits.test(static_cast<std::size_t>(unit))) {
        // No such device behind this address: as a gateway, no answer.
        observe(connection, frame, -1);
        return true;
    }
    if (!permitted(connection, frame)) {
        const bool whole = sendException(connection, frame, pdu::IllegalFunction);
        if (whole)
            observe(connection, frame, pdu::IllegalFunction, true);
        return whole;
    }
    if (const int exception = exceptionBeforeReply(pduStart)) {
        const bool whole = sendException(connection, frame, exception);
        if (whole)
            observe(connection, frame, exception);
        return whole;
    }
    // Told before libmodbus answers, which changes the map a write reaches.
    const int outcome = requestObserver ? expectedException(pduStart) : 0;
    if (!answered(connection, reply(connection, frame, length)))
        return false;
    observe(connection, frame, outcome);
    return true;
}

bool CtvkModbusTcpServerPrivate::reply(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int length)
{
    CtvkModbusStream& stream = connection->stream;
    // The one context is pointed at this connection for this request only.
    // Over plain TCP with nothing waiting, libmodbus answers straight into
    // the socket (one send: the fast path).
    if (!stream.isSecure() && !stream.hasQueued()) {
        modbus_set_socket(modbusContext, connection->socket());
        const int sent = modbus_reply(modbusContext, frame, length, mapping);
        const int err = errno;
        modbus_set_socket(modbusContext, -1);
        if (sent != -1)
            return true;
        // A socket that took nothing at all: the answer is made again into
        // the pair and queued. Every request libmodbus answers leaves the
        // map as the first answer left it, so making it twice changes
        // nothing; part of an answer sent is past mending.
        if (err != EAGAIN && err != EWOULDBLOCK)
            return false;
    }
    // Otherwise into the answer pair, taken out at once (so that no pass can
    // fill the pair) and written to the stream, which encrypts it over TLS
    // and queues what the socket does not take.
    int* pair = security->answerPair;
    if (pair[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) {
        pair[0] = pair[1] = -1;
        return false;
    }
    modbus_set_socket(modbusContext, pair[0]);
    const int sent = modbus_reply(modbusContext, frame, length, mapping);
    modbus_set_socket(modbusContext, -1);
    std::uint8_t answer[kAnswerBytes];
    const ssize_t made = ::recv(pair[1], answer, sizeof answer, MSG_DONTWAIT);
    if (sent == -1 || made != sent)
        return false;
    return stream.write(answer, static_cast<int>(made)).status == CtvkModbusStream::Status::Done;
}

void CtvkModbusTcpServerPrivate::observe(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int outcome,
                                         bool refused)
{
    if (!requestObserver)
        return;
    CtvkModbusTcpServer::Request request;
    request.socket = connection->socket();
    request.unit = mbap::unitId(frame);
    request.function = frame[mbap::kHeaderBytes];
    pdu::Access reached[2];
    if (pdu::accesses(frame + mbap::kHeaderBytes, reached) > 0) {
        request.address = reached[0].first;
        request.count = reached[0].count;
    }
    request.exceptionCode = outcome;
    request.refused = refused;
    request.role = connection->shownRole;
    requestObserver(request);
}

bool CtvkModbusTcpServerPrivate::sendException(CtvkModbusTcpConnection* connection, const std::uint8_t* frame,
                                               int code)
{
    std::uint8_t response[mbap::kHeaderBytes + pdu::kExceptionPduBytes];
    const int length = mbap::exceptionFrame(response, frame, static_cast<pdu::ExceptionCode>(code));
    const CtvkModbusStream::Result r = connection->stream.write(response, length);
    return answered(connection, r.status == CtvkModbusStream::Status::Done);
}

bool CtvkModbusTcpServerPrivate::answered(CtvkModbusTcpConnection* connection, bool whole)
{
    if (whole) {
        ++requestsAnswered;
        return true;
    }
    answerLost();
    endConnection(connection);
    return false;
}

void CtvkModbusTcpServer::setTlsConfiguration(const CtvkModbusTlsConfiguration& configuration)
{
    d_func()->security->configuration = configuration;
}

CtvkModbusTlsConfiguration CtvkModbusTcpServer::tlsConfiguration() const
{
    return d_func()->security->configuration;
}

void CtvkModbusTcpServer::setMaximumHandshakes(int number)
{
    if (number > 0)
        d_func()->security->maximumHandshakes = number;
}

int CtvkModbusTcpServer::maximumHandshakes() const
{
    return d_func()->security->maximumHandshakes;
}

bool CtvkModbusTcpServer::setAllowedNetworks(const std::vector<CtvkString>& networks)
{
    CtvkNetworkList list;
    for (const CtvkString& n : networks)
        if (!list.add(n.toStdString()))
            return false;
    d_func()->security->allowed = list;
    return true;
}

void CtvkModbusTcpServer::setReadOnly(CtvkModbusDataUnit::RegisterType type, bool readOnly)
{
    if (type > CtvkModbusDataUnit::Invalid && type <= CtvkModbusDataUnit::HoldingRegisters)
        d_func()->security->readOnly[type] = readOnly;
}

bool CtvkModbusTcpServer::isReadOnly(CtvkModbusDataUnit::RegisterType type) const
{
    return type > CtvkModbusDataUnit::Invalid && type <= CtvkModbusDataUnit::HoldingRegisters
        && d_func()->security->readOnly[type];
}

void CtvkModbusTcpServer::setRefusalObserver(std::function<void(const Refusal&)> observer)
{
    d_func()->security->refusalObserver = std::move(observer);
}

std::uint64_t CtvkModbusTcpServer::refusedConnections() const
{
    return d_func()->security->refusedConnections;
}

std::uint64_t CtvkModbusTcpServer::refusedRequests() const
{
    return d_func()->security->refusedRequests;
}

std::map<std::string, std::uint64_t> CtvkModbusTcpServer::refusedRequestsByRole() const
{
    return d_func()->security->refusedByRole;
}

} // namespace Quorvan
