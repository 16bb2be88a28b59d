// SPDX-License-Identifier: MIT
#ifndef TVKTEST_PYMODBUSPEERS_H
#define TVKTEST_PYMODBUSPEERS_H

#include "childprocess.h"

#include <string>
#include <vector>

namespace tvktest {

// The pymodbus peers in tests/peers, run with Debian's /usr/bin/python3 (the
// one that sees python3-pymodbus). What they print on standard error goes to
// the test's own.

// The command that runs tests/peers/<script> with the arguments given.
std::vector<std::string> peerCommand(const std::string& script, const std::vector<std::string>& arguments);

// pymodbus_server.py: a Modbus TCP slave on a port it picks itself, whose
// number it prints once it serves; with `rtuFraming`, Modbus RTU over TCP.
class PymodbusPeer : public ChildProcess {
public:
    explicit PymodbusPeer(bool rtuFraming = false);
    // Waits at most timeoutMs for the port line; 0 when none came.
    int waitForPort(int timeoutMs);

private:
    int m_port = 0;
};

// pymodbus_serial.py with the arguments given: a serial slave or master.
class PymodbusSerialPeer : public ChildProcess {
public:
    explicit PymodbusSerialPeer(const std::vector<std::string>& arguments);
};

} // namespace tvktest

#endif
