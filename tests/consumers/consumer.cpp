// SPDX-License-Identifier: MIT
// A host program built only from what the libraries install: reads a PLC
// communication script, then a few holding registers of a Modbus TCP device.
// The README shows the same calls.
#include "tvkmodbustcpclient.h"
#include "tvkparseplccommon.h"

#include <cstdio>
#include <cstdlib>

int panelPlcCheck(int port);   // devicesubclass.cpp

using namespace Quorvan;

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SCRIPT.json PORT\n", argv[0]);
        return 2;
    }

    CtvkParsePlcCommon script(argv[1]);
    std::printf("script: %s, actual data every %u ms\n", script.isValid() ? "valid" : "NOT valid",
                script.actual().cycleTime());

    CtvkModbusTcpClient plc(nullptr);
    plc.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    plc.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(std::atoi(argv[2])));
    plc.setUnitId(1);
    unsigned short registers[4] = {};
    if (!plc.open() || !plc.sendReadHoldingRegisters(0, 4, registers)) {
        std::printf("Modbus: %s\n", plc.errorString().toStdString().c_str());
        return 1;
    }
    std::printf("holding registers 0-3: %u %u %u %u\n", registers[0], registers[1], registers[2],
                registers[3]);
    plc.close();

    return script.isValid() ? panelPlcCheck(std::atoi(argv[2])) : 1;
}
