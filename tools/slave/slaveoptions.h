// SPDX-License-Identifier: MIT
#ifndef SLAVEOPTIONS_H
#define SLAVEOPTIONS_H

#include "slaveinitfile.h"
#include "toolserver.h"

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

struct Options {
    tvktool::ServerOptions tcp;   // where and how it serves over TCP
    std::vector<int> unitIds;     // answered over TCP; empty: every unit id
    int delayMs = 0;
    SerialOptions serial;
    Layout layout;
    std::string initFile;
};

// Reads the command line into `options`. Answers -1 to go on, or the exit
// status to end with: 0 after --help or --version, 2 for bad usage (said
// on standard error with the tool's name).
int parseCommandLine(int argc, char** argv, Options* options);

} // namespace tvkslave

#endif
