// SPDX-License-Identifier: MIT
#ifndef FIELDLINK_RTUARGUMENTS_H
#define FIELDLINK_RTUARGUMENTS_H

#include <string>

namespace tvktest {

// What this process last handed to modbus_new_rtu and modbus_set_slave (the
// test executable stands in front of libmodbus for both): a pseudo terminal
// keeps neither parity nor character size, so that is where they are seen.
struct RtuArguments {
    std::string device;
    int baud = 0;
    char parity = 0;
    int dataBits = 0;
    int stopBits = 0;
    int slave = -1;
};
RtuArguments& lastRtu();

} // namespace tvktest

#endif
