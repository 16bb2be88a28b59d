// SPDX-License-Identifier: MIT
// A host's own device class, derived the framework way: its private class
// derives from the library's, so the installed private headers must be
// enough to build it.
#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpclient_p.h"

#include <cstdio>

using namespace Quorvan;

namespace {

class PanelPlcPrivate;

class PanelPlc : public CtvkModbusTcpClient {
public:
    TVK_DECLARE_PRIVATE(PanelPlc)
    explicit PanelPlc(CtvkObject* parent = nullptr);
    // Reads the counter with the library's own attempt, without recording an error.
    int counter();
};

class PanelPlcPrivate : public CtvkModbusTcpClientPrivate {
public:
    TVK_DECLARE_PUBLIC(PanelPlc)
    int reads = 0;
};

PanelPlc::PanelPlc(CtvkObject* parent) : CtvkModbusTcpClient(new PanelPlcPrivate, parent)
{
    setClassName("PanelPlc");
    storeherits("PanelPlc");
}

int PanelPlc::counter()
{
    PanelPlcPrivate* d = d_func();
    ++d->reads;
    unsigned short value = 0;
    return d->processReadRgisters(1, 1, &value) < 0 ? -1 : value;
}

} // namespace

int panelPlcCheck(int port)
{
    PanelPlc plc;
    plc.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    plc.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    if (!plc.open())
        return 1;
    const int value = plc.counter();
    std::printf("%s: register 1 is %d, %s\n", plc.className(), value,
                plc.inherits("CtvkModbusClient") ? "a CtvkModbusClient" : "NOT a CtvkModbusClient");
    return value == 1001 && plc.inherits("PanelPlc") ? 0 : 1;
}
