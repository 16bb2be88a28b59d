// SPDX-License-Identifier: MIT
#ifndef TOOLSERVER_H
#define TOOLSERVER_H

#include "toolconsole.h"

#include <sys/resource.h>

#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}

namespace Quorvan {
class CtvkEventLoop;
class CtvkModbusTcpServer;
}

namespace tvktool {

// Modbus/TCP Security, and who may connect at all.
struct SecurityOptions {
    bool tls = false;
    std::string certificate;
    std::string key;
    std::string ca;
    std::string roles;
    std::vector<std::string> allow;   // networks (CIDR) that may connect
};

// What a tool that serves Modbus/TCP (the slave simulator, the gateway)
// takes from its command line alike: where it listens, how much it says,
// and its security.
struct ServerOptions {
    std::string address = "127.0.0.1";
    int port = 502;
    int backlog = 0;   // the system's maximum unless given
    Verbosity verbosity = Verbosity::Normal;
    SecurityOptions security;
    bool verboseFlag = false;   // -v and -q as given: finishServerOptions()
    bool quietFlag = false;     // makes the verbosity of them
};

// The options added, for a tool that lets others exclude them.
struct ServerOptionHandles {
    CLI::Option* address = nullptr;
    CLI::Option* port = nullptr;
    CLI::Option* backlog = nullptr;
    CLI::Option* verbose = nullptr;
    CLI::Option* tls = nullptr;
    CLI::Option* allow = nullptr;
};

// Adds -a, -p, --backlog, -v, -q and the security group (--tls, --cert,
// --key, --ca, --roles, --allow) to `app`; `verboseText` says what -v adds.
// Call finishServerOptions() once the line is parsed.
ServerOptionHandles addServerOptions(CLI::App& app, ServerOptions* options, const std::string& verboseText);
void finishServerOptions(ServerOptions* options, const ServerOptionHandles& handles);

// A list of unit ids, "1,2,10-20"; false with the reason when a part is
// not an id 0..255 or a range of them.
bool parseUnitIds(const std::string& text, std::vector<int>* ids, std::string* why);

// The longest accept queue the system grants (net.core.somaxconn): a
// burst of masters connecting at once must not overflow it, since every
// connection request it drops costs its master a retransmission of a second
// or more.
int systemMaxBacklog();

// Whether `text` is a network in CIDR form (or an address alone), IPv4 or IPv6.
bool validNetwork(const std::string& text);

// The soft descriptor limit goes up to the hard one: each master holds a
// descriptor for as long as it stays connected. Answers the limit in force.
rlim_t raiseDescriptorLimit();

// Ctrl-C and SIGTERM arrive as readable data on a signalfd that the event
// loop watches, so the loop ends between two dispatches and everything is
// taken down in order. Answers the descriptor, or -1.
int signalDescriptor();

// Runs the loop until a signal arrives on `signals` (status 0, and the
// signal's name in *stoppedBy) or something gives up (the status it passes
// to exit()).
int serve(Quorvan::CtvkEventLoop& loop, int signals, std::string* stoppedBy);

// What the lines at the end take from their streams at most.
constexpr int kDrainAtExitMs = 1000;

// Serves `server`, set up by the caller beyond what the options say, on
// the options' address and port: its security and its refusals told,
// connections and rates told (with -v every request), until a signal.
// `prepare` runs just before the server opens (false: give up with status
// 1); `what` describes in the listening line what is served. Answers the
// exit status: 1 when it cannot listen or open, 2 when this end's own TLS
// files cannot be used.
int runTcpServer(Quorvan::CtvkModbusTcpServer& server, const ServerOptions& options, Console& console,
                 Quorvan::CtvkEventLoop& loop, int signals, const std::string& what,
                 const std::function<bool()>& prepare = {});

} // namespace tvktool

#endif
