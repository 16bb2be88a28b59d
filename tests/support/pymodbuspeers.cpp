// SPDX-License-Identifier: MIT
#include "pymodbuspeers.h"

#include <cstdlib>

namespace tvktest {

std::vector<std::string> peerCommand(const std::string& script, const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{"/usr/bin/python3", std::string(TVK_PEERS_DIR) + "/" + script};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

PymodbusPeer::PymodbusPeer(bool rtuFraming)
    : ChildProcess(peerCommand("pymodbus_server.py", rtuFraming ? std::vector<std::string>{"0", "--rtu"}
                                                                : std::vector<std::string>{"0"}),
                   Errors::Inherited)
{
}

int PymodbusPeer::waitForPort(int timeoutMs)
{
    if (m_port == 0)
        m_port = std::atoi(waitForLine("", timeoutMs).c_str());   // the first line
    return m_port;
}

PymodbusSerialPeer::PymodbusSerialPeer(const std::vector<std::string>& arguments)
    : ChildProcess(peerCommand("pymodbus_serial.py", arguments), Errors::Inherited)
{
}

} // namespace tvktest
