// SPDX-License-Identifier: MIT
// tvk-modbus-gateway: the panel as a gateway. Masters on the plant network
// reach the devices behind it (serial lines, Modbus/TCP devices, serial
// device servers that carry RTU over TCP) by unit id, through the
// fieldlink library's TCP server and its routes; the devices are asked with
// the library's asynchronous requests, so a slow or silent device holds up
// nobody but its own masters. It prints connections as they come and go,
// the requests per second while there is traffic, and with -v (or on
// SIGUSR1) what each route was asked. It ends with status 0 on Ctrl-C or
// SIGTERM.
//
// Exit status: 0 stopped by a signal; 1 the server could not be opened or
// could not listen; 2 bad usage or TLS files that cannot be used.
#include "gatewayoptions.h"

#include "toolconsole.h"
#include "toolserver.h"
#include "tooltraffic.h"

#include "tvkeventloop.h"
#include "tvkmodbusrtuserialslave.h"
#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpserver.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"
#include "tvktimer.h"
#include "tvktoolexit.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace Quorvan;
using namespace tvkgateway;
using tvktool::Console;

namespace {

// Each device a route reaches, made once however many routes name it.
class Devices {
public:
    CtvkModbusClient* deviceFor(const RouteSpec& r, const Options& o)
    {
        std::unique_ptr<CtvkModbusClient>& made = m_devices[r.deviceKey()];
        if (made)
            return made.get();
        if (r.transport == Transport::Rtu) {
            auto serial = std::make_unique<CtvkModbusRtuSerialSlave>();
            serial->setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkString::fromStdString(r.device));
            serial->setConnectionParameter(CtvkModbusDevice::SerialBaudRate, r.baud);
            serial->setConnectionParameter(CtvkModbusDevice::SerialParity,
                                           r.parity == 'E'   ? CtvkModbusDevice::EvenParity
                                           : r.parity == 'O' ? CtvkModbusDevice::OddParity
                                                             : CtvkModbusDevice::NoParity);
            made = std::move(serial);
        } else {
            auto tcp = std::make_unique<CtvkModbusTcpClient>();
            tcp->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkString::fromStdString(r.device));
            tcp->setConnectionParameter(CtvkModbusDevice::NetworkPort, r.port);
            if (r.transport == Transport::RtuOverTcp)
                tcp->setFraming(CtvkModbusTcpClient::RtuFraming);
            // Several masters' requests may be on the wire to one TCP device.
            tcp->setMaximumRequestsInFlight(o.queueLimit);
            made = std::move(tcp);
        }
        made->setNumberOfRetries(o.retries);
        made->setConnectTimeout(o.timeoutMs);
        return made.get();
    }
    // Opens every device, so that a line missing at the start is said at
    // once; the routes connect them again on demand when they are lost.
    void connectAll(const Options& o, Console& console)
    {
        for (auto& [key, device] : m_devices) {
            if (!device->connectDevice()) {
                console.info(key + ": " + device->errorString().toStdString()
                             + " (its units are told exception 10 until it can be reached)");
                continue;
            }
            device->setTimeout(static_cast<unsigned>(o.timeoutMs / 1000),
                               static_cast<unsigned>(o.timeoutMs % 1000 * 1000));
        }
    }
private:
    std::map<std::string, std::unique_ptr<CtvkModbusClient>> m_devices;
};

// Says what each route's device was asked: with -v once a second while it
// has traffic, and whenever SIGUSR1 asks.
class RouteMonitor : public CtvkObject {
public:
    RouteMonitor(CtvkModbusTcpServer* server, Console* console, bool everySecond)
        : CtvkObject(nullptr), m_server(server), m_console(console)
    {
        setClassName("RouteMonitor");
        storeherits("RouteMonitor");
        CtvkObject::connect(&m_timer, "timeout()", this, std::function<void()>([this] { report(false); }));
        if (everySecond)
            m_timer.start(tvktool::kRateIntervalMs);
    }
    void add(const RouteSpec& route, const CtvkModbusClient* device) { m_routes.push_back({route.text, device, {}}); }
    // A line per route; unless `all`, only for routes asked since the last.
    void report(bool all)
    {
        for (Route& r : m_routes) {
            const CtvkModbusTcpServer::RouteCounters now = m_server->routeCounters(r.device);
            if (!all && now.requests == r.last.requests && now.queued == r.last.queued)
                continue;
            m_console->info("route " + r.text + ": " + std::to_string(now.requests - r.last.requests) + " requests, "
                            + std::to_string(now.failures - r.last.failures) + " failed, "
                            + std::to_string(now.busy - r.last.busy) + " busy, " + std::to_string(now.queued)
                            + " queued (" + std::to_string(now.requests) + " in all)");
            r.last = now;
        }
    }

private:
    struct Route {
        std::string text;
        const CtvkModbusClient* device;
        CtvkModbusTcpServer::RouteCounters last;
    };
    CtvkModbusTcpServer* m_server;
    Console* m_console;
    std::vector<Route> m_routes;
    CtvkTimer m_timer;
};

// SIGUSR1 as readable data on a signalfd the loop watches; -1 when none.
int reportSignal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

std::string describe(const Options& o)
{
    std::string text = "routes ";
    for (std::size_t i = 0; i < o.routes.size(); ++i)
        text += (i ? ", " : "") + o.routes[i].text;
    return text + "; queue " + std::to_string(o.queueLimit) + " a device";
}

int run(const Options& options)
{
    // A reader of the output that goes away must not end the gateway.
    std::signal(SIGPIPE, SIG_IGN);
    CtvkEventLoop loop;
    Console console("tvk-modbus-gateway", options.tcp.verbosity);
    const tvktool::LibraryLines libraryLines(&console);
    const int signals = tvktool::signalDescriptor();
    const int asked = reportSignal();
    if (signals < 0 || asked < 0) {
        console.error(std::string("cannot watch signals: ") + std::strerror(errno));
        console.finish(tvktool::kDrainAtExitMs);
        return tvktool::ExitFault;
    }
    Devices devices;
    CtvkModbusTcpServer server;
    server.setRoutesOnly(true);
    server.setRouteQueueLimit(options.queueLimit);
    RouteMonitor monitor(&server, &console, options.tcp.verbosity == tvktool::Verbosity::Verbose);
    for (const RouteSpec& r : options.routes) {
        CtvkModbusClient* device = devices.deviceFor(r, options);
        monitor.add(r, device);
        for (const int unit : r.units)
            server.addRoute(unit, unit, device, r.unit);
    }
    CtvkSocketNotifier onDemand(asked, CtvkSocketNotifier::Read);
    CtvkObject::connect<int>(&onDemand, "activated", nullptr, std::function<void(int)>([&monitor](int fd) {
                                 signalfd_siginfo info{};
                                 if (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                                     monitor.report(true);
                             }));
    const int status = tvktool::runTcpServer(server, options.tcp, console, loop, signals, describe(options), [&] {
        devices.connectAll(options, console);
        return true;
    });
    onDemand.setEnabled(false);
    server.clearRoutes();
    ::close(asked);
    ::close(signals);
    console.finish(tvktool::kDrainAtExitMs);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    const int parsed = parseCommandLine(argc, argv, &options);
    if (parsed >= 0)
        return parsed;
    return run(options);
}
