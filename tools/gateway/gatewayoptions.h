// SPDX-License-Identifier: MIT
#ifndef GATEWAYOPTIONS_H
#define GATEWAYOPTIONS_H

#include "toolserver.h"

#include <string>
#include <vector>

namespace tvkgateway {

// How a route reaches its device.
enum class Transport { Rtu, Tcp, RtuOverTcp };

// One --route: the unit ids it takes and the device behind them.
struct RouteSpec {
    std::vector<int> units;
    Transport transport = Transport::Rtu;
    std::string device;        // rtu: the serial port; else the host
    int port = 502;            // tcp, rtu-tcp
    int baud = 19200;          // rtu
    char parity = 'E';         // rtu: 'N', 'E' or 'O'
    int unit = -1;             // tcp: the unit id asked there; -1: the master's
    std::string text;          // as given, for messages
    // The device as routes share it: one line, or one host and port, is
    // one device, however many routes name it.
    std::string deviceKey() const;
};

// Reads "UNITS=rtu:DEVICE[,baud=N][,parity=N|E|O]",
// "UNITS=tcp:HOST:PORT[,unit=N]" or "UNITS=rtu-tcp:HOST:PORT" (UNITS: 7,
// 1-10 or 1,3,7; HOST may be an IPv6 address in brackets); false with the
// reason when it is none of them.
bool parseRoute(const std::string& text, RouteSpec* route, std::string* why);

struct Options {
    tvktool::ServerOptions tcp;
    std::vector<RouteSpec> routes;
    int queueLimit = 16;       // requests of masters one device holds at once
    int timeoutMs = 500;       // each device's response timeout
    int retries = 3;           // attempts per request
};

// Reads the command line into `options`. Answers -1 to go on, or the exit
// status to end with: 0 after --help or --version, 2 for bad usage (said
// on standard error with the tool's name).
int parseCommandLine(int argc, char** argv, Options* options);

} // namespace tvkgateway

#endif
