// Demo panel: reads the PLC communication script, then polls a Modbus TCP
// device from the event loop at the actual-data cycle time the script
// gives, writes a set point, and shows how a lost device is reported.

#include "demo_slave.h"

#include "tvkeventloop.h"
#include "tvkmodbustcpclient.h"
#include "tvkparseplccommon.h"
#include "tvksignal.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace Quorvan;

namespace {

void printScript(const CtvkParsePlcCommon& script)
{
    const CtvkParseProtocol& p = script.protocol();
    std::printf("script: %s\n", script.isValid() ? "valid" : "NOT valid");
    std::printf("  protocol version %u, private %u (%s)\n", p.version(), p.priv(),
                p.isValid() ? "valid" : "not valid");
    std::printf("  source %s:%u, host %s:%u\n", p.source().ip().c_str(), p.source().port(),
                p.host().ip().c_str(), p.host().port());
    std::printf("  line status: id %u, cycle %u ms\n", script.lineStatus().ID(),
                script.lineStatus().cycleTime());
    const CtvkParseActual& a = script.actual();
    std::printf("  actual data: id %u, cycle %u ms, %zu data ids\n", a.ID(), a.cycleTime(),
                a.dataIDSet().array().size());
    std::printf("  mold set: %zu blocks\n", script.moldSet().moldList().size());
    std::printf("  triggers: %zu\n", script.triggers().size());
}

// Polls the device on a timer and stops the loop after a few cycles.
class Poller : public CtvkObject {
public:
    Poller(CtvkModbusTcpClient* client, DemoSlave* slave, CtvkEventLoop* loop, int count)
        : m_client(client), m_slave(slave), m_loop(loop), m_count(count) {}

    void timerEvent(CtvkTimerEvent*) override
    {
        ++m_cycle;
        if (m_cycle == 3) {
            unsigned short setPoint = 1234;
            bool ok = m_client->sendWriteSingleRegisters(5, setPoint);
            std::printf("cycle %d: write set point %u to register 5: %s\n", m_cycle, setPoint,
                        ok ? "ok" : "failed");
        }
        if (m_cycle == m_count - 1) {
            std::printf("cycle %d: the device goes away\n", m_cycle);
            m_slave->stop();
        }
        unsigned short regs[6] = {};
        if (m_client->sendReadHoldingRegisters(0, 6, regs))
            std::printf("cycle %d: counter %u, set point %u\n", m_cycle, regs[0], regs[5]);
        else {
            std::printf("cycle %d: read failed: %s\n", m_cycle,
                        m_client->errorString().toStdString().c_str());
            // A panel reconnects when its device is lost; here nobody listens any more.
            m_client->close();
            std::printf("cycle %d: reconnect: %s\n", m_cycle, m_client->open() ? "ok" : "failed");
        }
        if (m_cycle >= m_count)
            m_loop->exit(0);
    }

private:
    CtvkModbusTcpClient* m_client;
    DemoSlave* m_slave;
    CtvkEventLoop* m_loop;
    int m_count;
    int m_cycle = 0;
};

} // namespace

int main(int argc, char** argv)
{
    std::string scriptPath = "examples/plc-script.json";
    int cycles = 6;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--script") && i + 1 < argc)
            scriptPath = argv[++i];
        else if (!std::strcmp(argv[i], "--cycles") && i + 1 < argc)
            cycles = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--script FILE] [--cycles N]\n", argv[0]);
            return 2;
        }
    }
    if (cycles < 4)
        cycles = 4;

    CtvkParsePlcCommon script(scriptPath);
    printScript(script);
    if (!script.isValid()) {
        std::fprintf(stderr, "%s: the script is not valid; see tvk-plccheck %s\n", argv[0],
                     scriptPath.c_str());
        return 1;
    }

    DemoSlave slave;
    int port = slave.start();
    if (port < 0) {
        std::perror("slave simulator");
        return 1;
    }
    std::printf("slave simulator listening on 127.0.0.1:%d\n", port);

    CtvkEventLoop loop;
    CtvkModbusTcpClient client(nullptr);
    client.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    client.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    CtvkObject::connect<CtvkModbusDevice::Error>(
        &client, "errorOccurred(CtvkModbusDevice::Error)", &client,
        std::function<void(CtvkModbusDevice::Error)>([](CtvkModbusDevice::Error e) {
            std::printf("  errorOccurred(%d)\n", static_cast<int>(e));
        }));
    if (!client.open())
        return 1;
    client.setTimeout(0, 200000);
    std::printf("connected; %d attempts per request\n", client.numberOfRetries());

    unsigned cycle = script.actual().cycleTime();
    if (cycle == 0 || cycle > 2000)
        cycle = 500;   // keep the demo short whatever the script says
    Poller poller(&client, &slave, &loop, cycles);
    poller.startTimer(static_cast<int>(cycle));
    int rc = loop.exec();
    client.close();
    return rc;
}
