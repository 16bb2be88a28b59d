// SPDX-License-Identifier: MIT
#include "gatewayoptions.h"

#include "tvktoolusage.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <map>

namespace tvkgateway {

namespace {

constexpr int kMaxQueue = 1024;
constexpr int kMaxTimeoutMs = 60000;
constexpr int kMaxRetries = 10;
constexpr int kMaxUnitId = 255;

// Rendered alike by --help and by the man page made from it: plain
// paragraphs, no indented lines that help2man would take for options.
const char* const kFooter =
    R"(A route is UNITS=DEVICE, where UNITS is a unit id (7), a range (1-10) or a
list (1,3,7), and DEVICE is rtu:PORT[,baud=N][,parity=N|E|O] for a serial line
(19200 baud, 8E1 unless said), tcp:HOST:PORT[,unit=N] for a Modbus/TCP device
(asked with its own unit id N, or with the master's), or rtu-tcp:HOST:PORT for
Modbus RTU carried over TCP by a serial device server. Routes that name the
same line or the same host and port share one device, which takes one
request at a time on a serial line.

A master is answered by the device its unit is routed to, with its own
transaction id. A unit without a route gets exception 10 (gateway path
unavailable), a device that cannot be reached 10 as well, one that does not
answer within its attempts 11 (gateway target device failed to respond), and
a device that holds --queue requests of masters already 6 (server device
busy). A broadcast (unit 0) goes only to a serial line, where nobody answers
it. With --tls the roles of the rules file decide before anything is
forwarded: a viewer cannot write a drive through the gateway.

Every line printed while serving starts with the time in UTC. With -v, and
on SIGUSR1, a line per route tells its requests, failures, busy answers and
queue depth (with -v once a second while it has traffic).

Exit status: 0 stopped by Ctrl-C or SIGTERM, 1 cannot open or listen, 2 bad
usage or TLS files that cannot be used.)";

bool number(const std::string& text, int lowest, int highest, int* value)
{
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, *value);
    return !text.empty() && r.ec == std::errc() && r.ptr == end && *value >= lowest && *value <= highest;
}

// "HOST:PORT", the host an IPv6 address in brackets if it has colons.
bool hostAndPort(const std::string& text, std::string* host, int* port)
{
    std::size_t colon = std::string::npos;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        *host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos || colon == 0)
            return false;
        *host = text.substr(0, colon);
        if (host->find(':') != std::string::npos)
            return false;   // an IPv6 address without its brackets
    }
    return !host->empty() && number(text.substr(colon + 1), 1, 65535, port);
}

} // namespace

std::string RouteSpec::deviceKey() const
{
    switch (transport) {
    case Transport::Rtu: return "rtu:" + device;
    case Transport::Tcp: return "tcp:" + device + ":" + std::to_string(port);
    case Transport::RtuOverTcp: break;
    }
    return "rtu-tcp:" + device + ":" + std::to_string(port);
}

bool parseRoute(const std::string& text, RouteSpec* route, std::string* why)
{
    RouteSpec r;
    r.text = text;
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        *why = "a route is UNITS=DEVICE, e.g. 1-10=rtu:/dev/ttyUSB0";
        return false;
    }
    if (!tvktool::parseUnitIds(text.substr(0, equals), &r.units, why))
        return false;
    std::vector<std::string> parts;
    const std::string rest = text.substr(equals + 1);
    for (std::size_t at = 0; at <= rest.size();) {
        const std::size_t comma = std::min(rest.find(',', at), rest.size());
        parts.push_back(rest.substr(at, comma - at));
        at = comma + 1;
    }
    const std::string& target = parts[0];
    const std::size_t colon = target.find(':');
    const std::string kind = target.substr(0, colon);
    const std::string where = colon == std::string::npos ? std::string() : target.substr(colon + 1);
    if (kind == "rtu") {
        r.transport = Transport::Rtu;
        r.device = where;
        if (r.device.empty()) {
            *why = "rtu: needs the serial port, e.g. rtu:/dev/ttyUSB0";
            return false;
        }
    } else if (kind == "tcp" || kind == "rtu-tcp") {
        r.transport = kind == "tcp" ? Transport::Tcp : Transport::RtuOverTcp;
        if (!hostAndPort(where, &r.device, &r.port)) {
            *why = "\"" + where + "\" is not HOST:PORT (an IPv6 host in brackets: [fd00::5]:502)";
            return false;
        }
    } else {
        *why = "\"" + kind + "\" is not rtu, tcp or rtu-tcp";
        return false;
    }
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::size_t eq = parts[i].find('=');
        const std::string key = parts[i].substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : parts[i].substr(eq + 1);
        bool ok = false;
        if (key == "baud" && r.transport == Transport::Rtu)
            ok = number(value, 1, 4000000, &r.baud);
        else if (key == "parity" && r.transport == Transport::Rtu && value.size() == 1)
            ok = (r.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])))) == 'N'
                || r.parity == 'E' || r.parity == 'O';
        else if (key == "unit" && r.transport == Transport::Tcp)
            ok = number(value, 0, kMaxUnitId, &r.unit);
        if (!ok) {
            *why = "\"" + parts[i] + "\" is not a setting of " + kind
                + (kind == "rtu" ? " (baud=N, parity=N|E|O)" : kind == "tcp" ? " (unit=N)" : " (it has none)");
            return false;
        }
    }
    *route = r;
    return true;
}

int parseCommandLine(int argc, char** argv, Options* options)
{
    Options& o = *options;
    CLI::App app{"Modbus gateway: masters on the network reach the devices behind the panel (serial lines, "
                 "Modbus/TCP, RTU over TCP) by unit id, with the roles of Modbus/TCP Security deciding first.",
                 "tvk-modbus-gateway"};
    app.set_version_flag("-V,--version", std::string("tvk-modbus-gateway ") + TVK_VERSION);
    app.footer(kFooter);
    std::vector<std::string> routes;
    app.add_option("-r,--route", routes, "UNITS=DEVICE: the units a device answers (repeatable; below)")
        ->required()
        ->check([](const std::string& text) {
            RouteSpec r;
            std::string why;
            return parseRoute(text, &r, &why) ? std::string() : why;
        });
    const tvktool::ServerOptionHandles tcp = tvktool::addServerOptions(
        app, &o.tcp, "one line per request (peer, unit, function, address, count, result) and the routes' "
                     "counts once a second");
    app.add_option("--queue", o.queueLimit, "requests of masters one device holds at once; more are told busy")
        ->check(CLI::Range(1, kMaxQueue))
        ->capture_default_str();
    app.add_option("--timeout", o.timeoutMs, "each device's response timeout, in milliseconds")
        ->check(CLI::Range(1, kMaxTimeoutMs))
        ->capture_default_str();
    app.add_option("--retries", o.retries, "attempts per request before a master is told 11")
        ->check(CLI::Range(1, kMaxRetries))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return tvktool::parseFailure(app, e);
    }
    tvktool::finishServerOptions(&o.tcp, tcp);
    // One serial line, one set of line settings.
    std::map<std::string, const RouteSpec*> lines;
    for (const std::string& text : routes) {
        RouteSpec r;
        std::string why;
        parseRoute(text, &r, &why);   // checked while parsing
        o.routes.push_back(r);
    }
    for (const RouteSpec& r : o.routes) {
        if (r.transport != Transport::Rtu)
            continue;
        const auto [seen, added] = lines.emplace(r.device, &r);
        if (!added && (seen->second->baud != r.baud || seen->second->parity != r.parity)) {
            std::fprintf(stderr, "tvk-modbus-gateway: %s and %s name the line %s with other settings\n",
                         seen->second->text.c_str(), r.text.c_str(), r.device.c_str());
            return tvktool::ExitUsage;
        }
    }
    return -1;
}

} // namespace tvkgateway
