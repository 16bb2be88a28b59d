// SPDX-License-Identifier: MIT
#ifndef SLAVEOPTIONS_H
#define SLAVEOPTIONS_H

#include "slaveinitfile.h"
#include "slaveoutput.h"

#include <string>
#include <vector>

namespace tvkslave {

// The serial line (RTU), used instead of TCP when a device is given.
struct SerialOptions {
    std::string device;
    int baud = 19200;
    std::string parity = "even";   // the serial line's usual 8E1
    int dataBits = 8;
    int stopBits = 1;
    int slaveId = 1;
};

// Modbus/TCP Security, and who may connect at all.
struct SecurityOptions {
    bool tls = false;
    std::string certificate;
    std::string key;
    std::string ca;
    std::string roles;
    std::vector<std::string> allow;   // networks (CIDR) that may connect
};

struct Options {
    std::string address = "127.0.0.1";
    int port = 502;
    int backlog = 0;              // the system's maximum unless given
    std::vector<int> unitIds;     // answered over TCP; empty: every unit id
    int delayMs = 0;
    Verbosity verbosity = Verbosity::Normal;
    SerialOptions serial;
    SecurityOptions security;
    Layout layout;
    std::string initFile;
};

// Reads the command line into `options`. Answers -1 to go on, or the exit
// status to end with: 0 after --help or --version, 2 for bad usage (said
// on standard error with the tool's name).
int parseCommandLine(int argc, char** argv, Options* options);

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

} // namespace tvkslave

#endif
