// SPDX-License-Identifier: MIT
#include "toolserver.h"

#include "toollisten.h"
#include "tooltraffic.h"
#include "tvktoolexit.h"

#include "tvkeventloop.h"
#include "tvkmodbustcpserver.h"
#include "tvkmodbustls.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <fstream>

using namespace Quorvan;

namespace tvktool {

namespace {

constexpr int kMaxUnitId = 255;
const char* const kBacklogSetting = "/proc/sys/net/core/somaxconn";

bool parseId(const std::string& text, int* id)
{
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, *id);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && *id >= 0 && *id <= kMaxUnitId;
}

} // namespace

ServerOptionHandles addServerOptions(CLI::App& app, ServerOptions* options, const std::string& verboseText)
{
    ServerOptions& o = *options;
    o.backlog = systemMaxBacklog();
    ServerOptionHandles h;
    h.address = app.add_option("-a,--address", o.address,
                               "address or host name to listen on, IPv4 or IPv6; the default keeps the tool to this "
                               "machine, 0.0.0.0 or :: opens it to the network")
                    ->capture_default_str();
    h.port = app.add_option("-p,--port", o.port, "TCP port to listen on; 0 picks a free one (printed)")
                 ->check(CLI::Range(0, 65535))
                 ->capture_default_str();
    h.backlog = app.add_option("--backlog", o.backlog,
                               "connection requests the system may queue before they are taken (default: the "
                               "system's maximum, net.core.somaxconn)")
                    ->check(CLI::PositiveNumber);
    h.verbose = app.add_flag("-v,--verbose", o.verboseFlag, verboseText);
    app.add_flag("-q,--quiet", o.quietFlag, "print errors only")->excludes(h.verbose);

    CLI::Option_group* security = app.add_option_group(
        "Security", "Who may connect, and Modbus/TCP Security: TLS with a certificate on both ends, the client's "
                    "role deciding what it may read and write");
    h.tls = security->add_flag("--tls", o.security.tls, "serve Modbus/TCP Security (port 802 unless -p says otherwise)");
    CLI::Option* certificate = security->add_option("--cert", o.security.certificate, "the server's certificate (PEM)")
                                   ->check(CLI::ExistingFile);
    CLI::Option* key = security->add_option("--key", o.security.key, "its private key (PEM)")->check(CLI::ExistingFile);
    CLI::Option* ca = security->add_option("--ca", o.security.ca,
                                           "the CA the clients' certificates must chain up to (file or folder)")
                          ->check(CLI::ExistingPath);
    CLI::Option* roles = security->add_option("--roles", o.security.roles,
                                              "rules file, one rule a line: ROLE read|write TABLE FIRST-LAST "
                                              "(without it, clients may do nothing)")
                             ->check(CLI::ExistingFile);
    for (CLI::Option* needed : {certificate, key, ca}) {
        h.tls->needs(needed);
        needed->needs(h.tls);
    }
    roles->needs(h.tls);
    h.allow = security->add_option("--allow", o.security.allow,
                                   "a network that may connect, e.g. 192.168.10.0/24 or fd00::/8 "
                                   "(repeatable; default: anyone who reaches the port)")
                  ->check([](const std::string& text) {
                      return validNetwork(text) ? std::string() : "not a network (CIDR): " + text;
                  });
    return h;
}

void finishServerOptions(ServerOptions* options, const ServerOptionHandles& handles)
{
    options->verbosity = options->quietFlag   ? Verbosity::Quiet
                       : options->verboseFlag ? Verbosity::Verbose
                                              : Verbosity::Normal;
    if (options->security.tls && handles.port->count() == 0)
        options->port = kModbusTlsPort;
}

bool parseUnitIds(const std::string& text, std::vector<int>* ids, std::string* why)
{
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t comma = text.find(',', at);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string part = text.substr(at, comma - at);
        const std::size_t dash = part.find('-');
        int first = 0;
        int last = 0;
        const bool ok = dash == std::string::npos
            ? parseId(part, &first) && parseId(part, &last)
            : parseId(part.substr(0, dash), &first) && parseId(part.substr(dash + 1), &last) && first <= last;
        if (!ok) {
            *why = "\"" + part + "\" is not a unit id 0..255 or a range of them such as 10-20";
            return false;
        }
        for (int id = first; id <= last; ++id)
            ids->push_back(id);
        at = comma + 1;
    }
    return true;
}

int systemMaxBacklog()
{
    int value = 0;
    std::ifstream setting(kBacklogSetting);
    if (setting >> value && value > 0)
        return value;
    return SOMAXCONN;
}

bool validNetwork(const std::string& text)
{
    const std::size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    unsigned char address[16];
    int width = 0;
    if (::inet_pton(AF_INET, host.c_str(), address) == 1)
        width = 32;
    else if (::inet_pton(AF_INET6, host.c_str(), address) == 1)
        width = 128;
    else
        return false;
    if (slash == std::string::npos)
        return true;
    const std::string bits = text.substr(slash + 1);
    return !bits.empty() && bits.size() <= 3 && bits.find_first_not_of("0123456789") == std::string::npos
        && std::stoi(bits) <= width;
}

rlim_t raiseDescriptorLimit()
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return 0;
    if (lim.rlim_cur != lim.rlim_max) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            return raised.rlim_cur;
    }
    return lim.rlim_cur;
}

int signalDescriptor()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

int serve(CtvkEventLoop& loop, int signals, std::string* stoppedBy)
{
    CtvkSocketNotifier stopper(signals, CtvkSocketNotifier::Read);
    CtvkObject::connect<int>(&stopper, "activated", nullptr,
                             std::function<void(int)>([&loop, stoppedBy](int fd) {
                                 signalfd_siginfo info{};
                                 *stoppedBy = "a signal";
                                 if (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                                     *stoppedBy = info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
                                 loop.exit(ExitSuccess);
                             }));
    const int status = loop.exec();
    stopper.setEnabled(false);
    return status;
}

int runTcpServer(CtvkModbusTcpServer& server, const ServerOptions& options, Console& console, CtvkEventLoop& loop,
                 int signals, const std::string& what, const std::function<bool()>& prepare)
{
    const rlim_t limit = raiseDescriptorLimit();
    ListenEndpoint endpoint;
    std::string why;
    if (!findListenEndpoint(options.address, options.port, &endpoint, &why)) {
        console.error("cannot listen on " + options.address + ": " + why);
        return ExitFault;
    }
    TrafficMonitor monitor(&server, &console);
    server.setConnectionParameter(CtvkModbusDevice::NetworkAddress,
                                  CtvkVariant(CtvkString::fromAscii(options.address.c_str())));
    server.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(endpoint.port));
    server.setListenSocketNum(options.backlog);
    const SecurityOptions& security = options.security;
    std::vector<CtvkString> networks;
    for (const std::string& n : security.allow)
        networks.push_back(CtvkString::fromStdString(n));
    // Told, never passed over: an allow-list the server did not take would
    // let anyone in.
    if (!server.setAllowedNetworks(networks)) {
        console.error("the allowed networks are not all networks the server can check");
        return ExitUsage;
    }
    if (security.tls) {
        CtvkModbusTlsConfiguration tls;
        tls.certificateFile = CtvkString::fromStdString(security.certificate);
        tls.privateKeyFile = CtvkString::fromStdString(security.key);
        tls.caCertificates = CtvkString::fromStdString(security.ca);
        tls.roleRulesFile = CtvkString::fromStdString(security.roles);
        server.setTlsConfiguration(tls);
    }
    // Every refusal is told: a failed handshake, a network not allowed, a
    // request the client's role may not make. OpenSSL's own words go with
    // them only under -v.
    const bool verbose = options.verbosity == Verbosity::Verbose;
    server.setRefusalObserver([&console, verbose](const CtvkModbusTcpServer::Refusal& r) {
        console.info("refused " + (r.peer.empty() ? std::string("?") : r.peer)
                     + (r.role.empty() ? std::string() : " (role " + r.role + ")") + ": " + r.reason
                     + (verbose && !r.detail.empty() ? " [" + r.detail + "]" : std::string()));
    });
    const std::string where = endpointText(endpoint.address, endpoint.port);
    if (prepare && !prepare())
        return ExitFault;
    if (!server.open()) {
        console.error("cannot open " + where + ": " + server.errorString().toStdString());
        // A certificate, key, CA or rules file of this end's own is a local
        // mistake, like bad usage; the rest is the machine's.
        return server.error() == CtvkModbusDevice::ConfigurationError ? ExitUsage : ExitFault;
    }
    server.processRequest();
    const int listening = server.listeningPort();
    if (listening <= 0) {
        const std::string error = server.errorString().toStdString();
        console.error("cannot listen on " + where + (error.empty() ? "" : ": " + error));
        server.close();
        return ExitFault;
    }
    // Faults while serving (accepting stopped at the descriptor limit).
    CtvkObject::connect<CtvkModbusDevice::Error>(
        &server, "errorOccurred(CtvkModbusDevice::Error)", &monitor,
        std::function<void(CtvkModbusDevice::Error)>([&](CtvkModbusDevice::Error) {
            console.error(server.errorString().toStdString());
        }));
    const bool named = options.address != endpoint.address;
    console.info("listening on " + endpointText(endpoint.address, listening) + " ("
                 + (security.tls ? "Modbus/TCP Security; " : "") + (named ? options.address + "; " : std::string())
                 + what + "; descriptor limit " + std::to_string(limit) + ", backlog "
                 + std::to_string(options.backlog) + ")");
    std::string stoppedBy;
    const int status = serve(loop, signals, &stoppedBy);
    server.close();   // the masters still connected are said to go first
    if (!stoppedBy.empty())
        console.closing("stopping on " + stoppedBy + ": " + std::to_string(monitor.connectionsSeen())
                            + " connections, " + std::to_string(server.requestsAnswered()) + " requests answered",
                        kDrainAtExitMs);
    return status;
}

} // namespace tvktool
