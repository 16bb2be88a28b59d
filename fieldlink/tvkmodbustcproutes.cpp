// SPDX-License-Identifier: MIT
// The TCP server as a gateway: requests for a routed unit go to another
// device, asynchronous as it is, and its answer goes back to the master
// that asked, with the master's transaction id; what the device could not
// do is told with the protocol's gateway exceptions.
#include "tvkmodbustcpconnection_p.h"
#include "tvkmodbustcpserver_p.h"

#include "tvkmodbusclient_p.h"
#include "tvkmodbuspdu_p.h"
#include "tvkmodbusreply.h"
#include "tvkmodbusreply_p.h"
#include "tvksignal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Quorvan {

bool CtvkModbusTcpServerPrivate::tellAtOnce(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int code)
{
    if (!sendException(connection, frame, code))
        return false;
    observe(connection, frame, code);
    return true;
}

bool CtvkModbusTcpServerPrivate::forward(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int length)
{
    CtvkModbusTcpRouting& routes = *routing;
    const int unit = mbap::unitId(frame);
    const CtvkModbusTcpRoute* route = routes.routeOf(unit);
    if (!route)
        return tellAtOnce(connection, frame, pdu::GatewayPathUnavailable);   // routes only, and none
    CtvkModbusTcpServer::RouteCounters& counters = routes.countersOf(route->device);
    ++counters.requests;
    // Over TCP unit 0 is an ordinary address that no route may guess at; a
    // serial line broadcasts it.
    const bool broadcast = unit == rtu::kBroadcastAddress && route->deviceUnit < 0;
    // A broadcast is answered by nobody, so a request that reads has no
    // path there: told at once, the line never carries it.
    const bool nobodyToRead = broadcast && !pdu::isBroadcastWrite(frame[mbap::kHeaderBytes]);
    if (route->deviceAlive.expired() || (broadcast && !route->serialLine) || nobodyToRead) {
        ++counters.failures;
        return tellAtOnce(connection, frame, pdu::GatewayPathUnavailable);
    }
    if (counters.queued >= routes.queueLimit) {
        // The device's queue has an end a master can see: past it, busy.
        ++counters.busy;
        return tellAtOnce(connection, frame, pdu::ServerDeviceBusy);
    }
    CtvkModbusClient* device = route->device;
    if (device->state() == CtvkModbusClient::UnconnectedState && !device->connectDevice()) {
        ++counters.failures;
        return tellAtOnce(connection, frame, pdu::GatewayPathUnavailable);
    }
    const std::vector<unsigned char> request(frame + mbap::kHeaderBytes, frame + length);
    CtvkModbusReply* reply = device->sendRawRequest(request, route->deviceUnit >= 0 ? route->deviceUnit : unit);
    ++counters.queued;
    connection->forwarded.push_back({reply, routes.counters[route->device]});
    // Kept whole for the answer, the exceptions and the observer, with room
    // behind as every frame the server handles has.
    std::vector<std::uint8_t> asked(frame, frame + length);
    asked.resize(asked.size() + kSlackBytes, 0);
    const int socket = connection->socket();
    const std::uint64_t serial = connection->serial;
    CtvkObject::connect(reply, "finished()", nullptr,
                        std::function<void()>([this, reply, asked, socket, serial] {
                            forwarded(reply, asked, socket, serial);
                        }));
    return true;
}

void CtvkModbusTcpServerPrivate::forwarded(CtvkModbusReply* reply, const std::vector<std::uint8_t>& request,
                                           int socket, std::uint64_t serial)
{
    reply->deleteLater();
    const auto found = connectionIndex().find(socket);
    if (found == connectionIndex().end() || found->second->serial != serial)
        return;   // the master has gone (its connection let go of what it forwarded)
    CtvkModbusTcpConnection* connection = found->second;
    auto& open = connection->forwarded;
    const auto mine = std::find_if(open.begin(), open.end(), [reply](const auto& f) { return f.reply == reply; });
    if (mine == open.end())
        return;
    CtvkModbusTcpServer::RouteCounters& counters = *mine->counters;
    --counters.queued;
    open.erase(mine);

    const std::uint8_t* frame = request.data();
    const int unit = mbap::unitId(frame);
    int code = 0;
    if (reply->error() == CtvkModbusDevice::NoError) {
        if (unit == rtu::kBroadcastAddress) {
            observe(connection, frame, 0);
            return;   // a broadcast is answered by nobody
        }
        const std::vector<unsigned char> answer = reply->rawResult();
        if (!answer.empty() && answer.size() <= static_cast<std::size_t>(pdu::kMaxPduBytes)) {
            std::uint8_t out[mbap::kMaxFrameBytes];
            const int at = mbap::writeHeader(out, mbap::transactionId(frame), unit, static_cast<int>(answer.size()));
            std::copy(answer.begin(), answer.end(), out + at);
            const CtvkModbusStream::Result r = connection->stream.write(out, at + static_cast<int>(answer.size()));
            if (!answered(connection, r.status == CtvkModbusStream::Status::Done))
                return;
            observe(connection, frame, pdu::isException(answer[0]) && answer.size() > 1 ? answer[1] : 0);
            connection->finishPass();
            return;
        }
        code = pdu::GatewayTargetFailed;   // an answer with nothing in it
    } else if (reply->exceptionCode() > 0) {
        code = reply->exceptionCode();   // the device's own word
    } else if (reply->error() == CtvkModbusDevice::ConnectionError) {
        code = pdu::GatewayPathUnavailable;
    } else {
        code = pdu::GatewayTargetFailed;   // its attempts ran out
    }
    if (code == pdu::GatewayPathUnavailable || code == pdu::GatewayTargetFailed)
        ++counters.failures;
    if (!sendException(connection, frame, code))
        return;
    observe(connection, frame, code);
    connection->finishPass();
}

bool CtvkModbusTcpServer::addRoute(int firstUnit, int lastUnit, CtvkModbusClient* device, int deviceUnit)
{
    if (!device || firstUnit < 0 || lastUnit > 255 || firstUnit > lastUnit || deviceUnit > 255)
        return false;
    CtvkModbusTcpRoute route;
    route.firstUnit = firstUnit;
    route.lastUnit = lastUnit;
    route.device = device;
    CtvkModbusClientPrivate* d = device->d_func();
    route.deviceAlive = d->aliveToken();
    route.deviceUnit = deviceUnit;
    route.serialLine = d->serialLine;
    d_func()->routing->routes.push_back(route);
    return true;
}

void CtvkModbusTcpServer::clearRoutes()
{
    d_func()->routing->routes.clear();
}

void CtvkModbusTcpServer::setRouteQueueLimit(int requests)
{
    if (requests > 0)
        d_func()->routing->queueLimit = requests;
}

int CtvkModbusTcpServer::routeQueueLimit() const
{
    return d_func()->routing->queueLimit;
}

void CtvkModbusTcpServer::setRoutesOnly(bool only)
{
    d_func()->routing->routesOnly = only;
}

bool CtvkModbusTcpServer::routesOnly() const
{
    return d_func()->routing->routesOnly;
}

CtvkModbusTcpServer::RouteCounters CtvkModbusTcpServer::routeCounters(const CtvkModbusClient* device) const
{
    const auto& counters = d_func()->routing->counters;
    const auto found = counters.find(device);
    return found == counters.end() || !found->second ? RouteCounters() : *found->second;
}

} // namespace Quorvan
