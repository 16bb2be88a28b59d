// The whole panel in one program: it reads and checks the PLC communication
// script, starts two devices (the slave simulator over TCP and, when socat is
// there, a second one on a serial line over a pseudo-terminal pair), polls
// the script's actual-data identifiers over both links into the data
// distribution, shows bound spin boxes that follow them, plays a user's edit
// that goes back to a device and is read back, serves the panel's own
// register map over TCP, and pulls the plug on a device midway to show the
// error, the reconnect attempts and the recovery.

#include "demo_lifecycle.h"
#include "demo_process.h"
#include "demo_view.h"

#include "tvkdatadistribute.h"
#include "tvkdatasensor.h"
#include "tvkeventloop.h"
#include "tvkmessagehandler.h"
#include "tvkmodbusrtuserialslave.h"
#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpserver.h"
#include "tvkparseplccommon.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"
#include "tvkspinboxsensor.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace Quorvan;

namespace {

CtvkDataDistribute* store() { return CtvkDataDistributeFactory::instance()->get(); }

// One process value that a device holds in a holding register. A register
// holds an integer; `scale` turns it into the engineering value (a register
// of 215 with scale 10 is 21.5).
struct Point {
    unsigned id;
    int reg;
    double scale;
    const char* name;
};

// One polled device: a client, the points it holds, and what the panel has
// seen of it. Register 0 of each device is the panel's heartbeat: the panel
// writes a new count every cycle and reads it back with the rest, as PLC
// links do to prove that both ends are alive.
class DeviceLink : public CtvkObject {
public:
    DeviceLink(std::string name, std::string where, CtvkModbusClient* client,
               std::vector<Point> points, DemoView* view)
        : CtvkObject(nullptr), m_name(std::move(name)), m_where(std::move(where)),
          m_client(client), m_points(std::move(points)), m_view(view)
    {
        CtvkObject::connect<CtvkModbusDevice::Error>(
            m_client, "errorOccurred(CtvkModbusDevice::Error)", this,
            std::function<void(CtvkModbusDevice::Error)>([this](CtvkModbusDevice::Error e) {
                ++m_errors;
                m_lastError = m_client->errorString().toStdString();
                m_view->event(m_name + ": errorOccurred(" + std::to_string(static_cast<int>(e))
                              + "): " + m_lastError);
            }));
    }

    bool start()
    {
        m_down = !opened();
        if (!m_down)
            m_view->event(m_name + ": connected to " + m_where);
        return !m_down;
    }

    // One poll cycle. A lost link is reopened once per cycle; it counts as
    // recovered once the device answers a poll again.
    void cycle()
    {
        if (m_down && !reopen())
            return;
        unsigned short regs[8] = {};
        const int count = registerCount();
        ++m_heartbeat;
        const bool ok = m_client->sendWriteSingleRegisters(0, m_heartbeat)
                        && m_client->sendReadHoldingRegisters(0, count, regs);
        if (!ok) {
            ++m_failed;
            if (!m_down)
                m_view->event(m_name + ": poll failed, the link is down");
            m_down = true;
            return;
        }
        if (m_down) {
            ++m_recoveries;
            m_view->event(m_name + ": recovered after " + std::to_string(m_attemptsThisOutage)
                          + " reconnect attempts");
            m_attemptsThisOutage = 0;
            m_down = false;
        }
        ++m_ok;
        m_requests += 2;
        for (const Point& p : m_points) {
            const double v = regs[p.reg] / p.scale;
            m_last[p.id] = v;
            if (p.scale == 1.0)
                store()->setValue(p.id, CtvkVariant(static_cast<int>(regs[p.reg])), true, true);
            else
                store()->setValue(p.id, CtvkVariant(v), true, true);
        }
        if (m_expectId != 0 && m_last.count(m_expectId)
            && std::fabs(m_last[m_expectId] - m_expectValue) < 1e-9) {
            m_view->event(m_name + ": read back " + format(m_expectId) + " from the device");
            ++m_readBacks;
            m_expectId = 0;
        }
    }

    bool holds(unsigned id) const { return findPoint(id) != nullptr; }
    bool knows(unsigned id) const { return m_last.count(id) != 0; }
    double last(unsigned id) const { return m_last.count(id) ? m_last.at(id) : 0.0; }

    // A value the panel stored for one of this device's points goes to the
    // device; the next poll must read it back.
    void write(unsigned id, double value)
    {
        const Point* p = findPoint(id);
        if (!p || m_down)
            return;
        const long raw = std::lround(value * p->scale);
        const unsigned short reg = static_cast<unsigned short>(raw < 0 ? 0 : raw > 65535 ? 65535 : raw);
        const bool ok = m_client->sendWriteSingleRegisters(p->reg, reg);
        ++m_requests;
        char text[128];
        std::snprintf(text, sizeof text, ": write %s = %.*f to register %d: %s", p->name, p->scale == 1.0 ? 0 : 2,
                      reg / p->scale, p->reg, ok ? "ok" : "failed");
        m_view->event(m_name + text);
        if (ok) {
            m_expectId = id;
            m_expectValue = reg / p->scale;
            ++m_writes;
        }
    }

    std::string format(unsigned id) const
    {
        const Point* p = findPoint(id);
        if (!p || !knows(id))
            return "-";
        char text[64];
        if (p->scale == 1.0)
            std::snprintf(text, sizeof text, "%s %.0f", p->name, last(id));
        else
            std::snprintf(text, sizeof text, "%s %.2f", p->name, last(id));
        return text;
    }

    // Requests sent since the last call, for the rate shown once a second.
    long takeRequests()
    {
        const long n = m_requests - m_requestsSeen;
        m_requestsSeen = m_requests;
        return n;
    }

    const std::string& name() const { return m_name; }
    const std::string& where() const { return m_where; }
    const std::vector<Point>& points() const { return m_points; }
    bool up() const { return !m_down; }
    long ok() const { return m_ok; }
    long failed() const { return m_failed; }
    long errors() const { return m_errors; }
    long attempts() const { return m_attempts; }
    long recoveries() const { return m_recoveries; }
    long writes() const { return m_writes; }
    long readBacks() const { return m_readBacks; }
    const std::string& lastError() const { return m_lastError; }

private:
    bool reopen()
    {
        ++m_attempts;
        ++m_attemptsThisOutage;
        m_client->close();
        if (opened())
            return true;
        m_view->event(m_name + ": reconnect attempt " + std::to_string(m_attemptsThisOutage)
                      + " failed: " + m_client->errorString().toStdString());
        return false;
    }

    // The response timeout belongs to the libmodbus context, which each open
    // makes anew: a lost device costs the panel 200 ms per attempt, not 500.
    bool opened()
    {
        if (!m_client->open())
            return false;
        m_client->setTimeout(0, 200000);
        return true;
    }

    int registerCount() const
    {
        int n = 1;
        for (const Point& p : m_points)
            n = std::max(n, p.reg + 1);
        return n;
    }

    const Point* findPoint(unsigned id) const
    {
        for (const Point& p : m_points)
            if (p.id == id)
                return &p;
        return nullptr;
    }

    std::string m_name;
    std::string m_where;
    CtvkModbusClient* m_client;
    std::vector<Point> m_points;
    DemoView* m_view;
    std::map<unsigned, double> m_last;
    bool m_down = true;
    unsigned short m_heartbeat = 0;
    long m_ok = 0, m_failed = 0, m_errors = 0, m_attempts = 0, m_attemptsThisOutage = 0;
    long m_recoveries = 0, m_writes = 0, m_readBacks = 0, m_requests = 0, m_requestsSeen = 0;
    unsigned m_expectId = 0;
    double m_expectValue = 0;
    std::string m_lastError;
};

// Sends what the panel stores under a device's identifiers to that device.
// Values that came from the device itself are announced too; they equal what
// the link last read and are not written back, so nothing echoes.
class WriteBack : public CtvkObject {
public:
    explicit WriteBack(std::vector<DeviceLink*> links) : CtvkObject(nullptr), m_links(std::move(links)) {}

    void follow(unsigned id) { CtvkApplicationPlus::dataSensor()->bind(static_cast<int>(id), this); }

    void dataSensorEvent(CtvkDataSensorEvent* e) override
    {
        double v = 0;
        switch (e->sensorType()) {
        case CtvkDataSensorEvent::IntSensor: v = static_cast<CtvkIntDataSensorEvent*>(e)->value(); break;
        case CtvkDataSensorEvent::DoubleSensor: v = static_cast<CtvkDoubleDataSensorEvent*>(e)->value(); break;
        default: return;
        }
        const unsigned id = static_cast<unsigned>(e->uid());
        for (DeviceLink* link : m_links)
            if (link->holds(id) && link->knows(id) && std::fabs(link->last(id) - v) > 1e-9)
                link->write(id, v);
    }

private:
    std::vector<DeviceLink*> m_links;
};

// Runs a program whose output the panel reads from the event loop, line by
// line, so that the panel keeps serving while it runs (mbpoll reading the
// panel's own map is served by this very loop).
class OutputReader : public CtvkObject {
public:
    OutputReader(DemoView* view, std::string tag) : CtvkObject(nullptr), m_view(view), m_tag(std::move(tag)) {}
    ~OutputReader() override
    {
        stopReading();
        m_process.stop();
    }

    bool start(const std::vector<std::string>& argv)
    {
        if (!m_process.startReading(argv, &m_fd))
            return false;
        m_notifier = new CtvkSocketNotifier(m_fd, CtvkSocketNotifier::Read, this);
        CtvkObject::connect<int>(m_notifier, "activated", this,
                                 std::function<void(int)>([this](int) { readSome(); }));
        return true;
    }

    bool done() const { return m_fd < 0 && m_status >= 0; }
    int status() const { return m_status; }

private:
    void readSome()
    {
        char buf[512];
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n > 0) {
            m_partial.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = m_partial.find('\n')) != std::string::npos) {
                std::string line = m_partial.substr(0, nl);
                m_partial.erase(0, nl + 1);
                // Its data lines and its complaints; not its banner.
                if (line.rfind('[', 0) == 0 || line.find("rror") != std::string::npos)
                    m_view->event(m_tag + line);
            }
            return;
        }
        stopReading();
        m_status = m_process.wait();
    }

    void stopReading()
    {
        if (m_notifier) {
            // The notifier leaves the loop before its descriptor is closed.
            m_notifier->deleteLater();
            m_notifier->setEnabled(false);
            m_notifier = nullptr;
        }
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

    DemoView* m_view;
    std::string m_tag;
    DemoProcess m_process;
    int m_fd = -1;
    int m_status = -1;
    CtvkSocketNotifier* m_notifier = nullptr;
    std::string m_partial;
};

void printScript(const CtvkParsePlcCommon& script, const std::string& path)
{
    const CtvkParseProtocol& p = script.protocol();
    std::printf("script %s: %s\n", path.c_str(), script.isValid() ? "valid" : "NOT valid");
    std::printf("  protocol version %u, private %u (%s)\n", p.version(), p.priv(),
                p.isValid() ? "valid" : "not valid");
    std::printf("  source %s:%u, host %s:%u\n", p.source().ip().c_str(), p.source().port(),
                p.host().ip().c_str(), p.host().port());
    std::printf("  line status: id %u, cycle %u ms\n", script.lineStatus().ID(),
                script.lineStatus().cycleTime());
    const CtvkParseActual& a = script.actual();
    std::printf("  actual data: id %u, cycle %u ms, data ids", a.ID(), a.cycleTime());
    for (unsigned id : a.dataIDSet().array())
        std::printf(" %u", id);
    std::printf("\n  mold set: %zu blocks\n", script.moldSet().moldList().size());
    std::printf("  triggers: %zu\n", script.triggers().size());
    std::fflush(stdout);
}

struct Options {
    // The example that came with this build, wherever the demo is started from.
    std::string script = TVK_DEMO_SCRIPT;
    double duration = 10.0;
    std::string slaveTool = TVK_DEMO_SLAVE_TOOL;
    bool noSerial = false;
    bool keepLog = false;
};

// The demo's steps, as fractions of its duration.
constexpr double kEditAt = 0.2;
constexpr double kMbpollAt = 0.3;
constexpr double kUnplugAt = 0.4;
constexpr double kReplugAt = 0.6;

class Panel : public CtvkObject {
public:
    Panel(const Options& options, const CtvkParsePlcCommon& script, const DemoFiles& files, DemoView* view,
          CtvkEventLoop* loop)
        : CtvkObject(nullptr), m_options(options), m_script(script), m_files(files), m_view(view), m_loop(loop) {}
    ~Panel() override { shutdown(); }

    // Runs until the duration is over or a stop signal comes, then ends
    // everything it started; answers the exit status.
    int run();
    void timerEvent(CtvkTimerEvent*) override { tick(); }

private:
    bool startDevices();
    bool startPanel();
    void announceChildren();
    void shutdown();
    void tick();
    std::vector<std::string> rows();
    void summary();
    std::string logPath(const char* what) const { return m_files.path(std::string(what) + ".log"); }

    const Options& m_options;
    const CtvkParsePlcCommon& m_script;
    const DemoFiles& m_files;
    DemoView* m_view;
    CtvkEventLoop* m_loop;
    std::string m_valuesFile;
    int m_tcpPort = -1;
    int m_ownPort = -1;
    std::string m_serialPanelEnd;
    DemoProcess m_tcpSlave, m_serialSlave, m_socat;
    std::unique_ptr<CtvkModbusTcpClient> m_tcpClient;
    std::unique_ptr<CtvkModbusRtuSerialSlave> m_serialClient;
    std::unique_ptr<DeviceLink> m_press, m_dosing;
    std::vector<DeviceLink*> m_links;
    std::unique_ptr<WriteBack> m_writeBack;
    std::unique_ptr<CtvkModbusTcpServer> m_server;
    std::unique_ptr<CtvkSpinBoxSensor> m_setPointBox;
    std::unique_ptr<CtvkDoubleSpinBoxSensor> m_analogBox;
    std::unique_ptr<OutputReader> m_mbpoll;
    bool m_edited = false, m_mbpollStarted = false, m_unplugged = false, m_replugged = false;
    double m_lastRate = 0;
    std::map<std::string, double> m_rates;
};

bool Panel::startDevices()
{
    // The press starts with a set point of 800 and a temperature of 21.5.
    m_valuesFile = m_files.path("press-values.txt");
    if (FILE* f = std::fopen(m_valuesFile.c_str(), "w")) {
        std::fprintf(f, "# table address values: set point 800, temperature 21.5\nholding-registers 1 800 215\n");
        std::fclose(f);
    }
    m_tcpPort = demoFreePort();
    const std::vector<std::string> tcpArgs = {m_options.slaveTool, "--address", "127.0.0.1", "--port",
                                              std::to_string(m_tcpPort), "--init", m_valuesFile};
    if (!m_tcpSlave.start(tcpArgs, logPath("press"))) {
        std::fprintf(stderr, "%s: cannot start %s: %s\n", kDemoProgram, m_options.slaveTool.c_str(),
                     m_tcpSlave.error().c_str());
        return false;
    }

    const std::vector<unsigned>& ids = m_script.actual().dataIDSet().array();
    auto idAt = [&ids](std::size_t i, unsigned fallback) { return i < ids.size() ? ids[i] : fallback; };

    m_tcpClient.reset(new CtvkModbusTcpClient(nullptr));
    m_tcpClient->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    m_tcpClient->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(m_tcpPort));
    m_press.reset(new DeviceLink("press", "tcp 127.0.0.1:" + std::to_string(m_tcpPort), m_tcpClient.get(),
                                 {{idAt(0, 100001), 0, 1.0, "heartbeat"},
                                  {idAt(1, 100002), 1, 1.0, "set point"},
                                  {idAt(2, 100003), 2, 10.0, "temperature"}},
                                 m_view));
    m_links.push_back(m_press.get());

    if (!m_options.noSerial && demoHaveProgram("socat")) {
        const std::string deviceEnd = m_files.path("ttyDevice");
        m_serialPanelEnd = m_files.path("ttyPanel");
        m_socat.start({"socat", "pty,raw,echo=0,link=" + m_serialPanelEnd,
                       "pty,raw,echo=0,link=" + deviceEnd},
                      logPath("socat"));
        if (demoWaitForPath(m_serialPanelEnd, 3000) && demoWaitForPath(deviceEnd, 3000)) {
            m_serialSlave.start({m_options.slaveTool, "--serial", deviceEnd, "--baud", "115200",
                                 "--slave-id", "1"},
                                logPath("dosing"));
            m_serialClient.reset(new CtvkModbusRtuSerialSlave(nullptr));
            m_serialClient->setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                                   CtvkVariant(m_serialPanelEnd.c_str()));
            m_serialClient->setConnectionParameter(CtvkModbusDevice::SerialBaudRate, CtvkVariant(115200));
            m_serialClient->setSlave(1);
            m_dosing.reset(new DeviceLink("dosing", "rtu " + m_serialPanelEnd + " 115200 8N1",
                                          m_serialClient.get(),
                                          {{idAt(3, 100010), 0, 1.0, "heartbeat"},
                                           {idAt(4, 100011), 1, 100.0, "flow"}},
                                          m_view));
            m_links.push_back(m_dosing.get());
        } else if (demoStopRequested()) {
            return false;
        } else {
            m_view->event("socat made no pseudo-terminal pair: the serial device is left out");
        }
    } else {
        m_view->event(m_options.noSerial ? "the serial device is left out (--no-serial)"
                                         : "socat is not installed: the serial device is left out");
    }

    // The simulators need a moment before they answer.
    if (!demoWaitForPort(m_tcpPort, 5000)) {
        if (!demoStopRequested())
            std::fprintf(stderr, "%s: the press simulator never listened; see %s%s\n", kDemoProgram,
                         logPath("press").c_str(), m_files.kept() ? "" : " (run with --keep-log to keep it)");
        return false;
    }
    for (DeviceLink* link : m_links) {
        if (!link->start()) {
            std::fprintf(stderr, "%s: %s: %s\n", kDemoProgram, link->name().c_str(), link->lastError().c_str());
            return false;
        }
    }
    announceChildren();
    return true;
}

// Which programs run for the panel, and where their files are: what to
// look for if one is ever left behind.
void Panel::announceChildren()
{
    std::string text = "children:";
    const std::pair<const char*, const DemoProcess*> children[] = {
        {"press", &m_tcpSlave}, {"socat", &m_socat}, {"dosing", &m_serialSlave}};
    for (const auto& child : children)
        if (child.second->pid() > 0)
            text += std::string(" ") + child.first + " pid " + std::to_string(child.second->pid()) + ",";
    m_view->event(text + " files in " + m_files.dir());
}

int Panel::run()
{
    int status = DemoExitFault;
    if (startDevices() && startPanel()) {
        tick();
        status = m_loop->exec();
    } else if (demoStopRequested()) {
        status = DemoExitOk;   // stopped while starting
    }
    m_view->finish();
    summary();
    shutdown();
    return status;
}

bool Panel::startPanel()
{
    // What the panel polls is stored in the data distribution, and what the
    // panel stores for a device's point goes back to that device.
    m_writeBack.reset(new WriteBack(m_links));
    for (DeviceLink* link : m_links)
        for (const Point& p : link->points())
            if (p.reg != 0)
                m_writeBack->follow(p.id);

    // Bound spin boxes follow the set point and the analogue value.
    m_setPointBox.reset(new CtvkSpinBoxSensor(nullptr));
    m_setPointBox->setMaximum(5000);
    m_setPointBox->setDataID(m_press->points()[1].id);
    m_analogBox.reset(new CtvkDoubleSpinBoxSensor(nullptr));
    m_analogBox->setMaximum(500.0);
    m_analogBox->setDataID(m_dosing ? m_dosing->points()[1].id : m_press->points()[2].id);

    // The panel's own register map: masters on the plant network read the
    // values it polled from its devices.
    m_ownPort = demoFreePort();
    m_server.reset(new CtvkModbusTcpServer(nullptr));
    m_server->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    m_server->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(m_ownPort));
    m_server->setStartAddressAndNum(0, 8, 0, 8, 0, 16, 0, 16);
    if (!m_server->open()) {
        std::fprintf(stderr, "%s: own register map: %s\n", kDemoProgram,
                     m_server->errorString().toStdString().c_str());
        return false;
    }
    m_server->processRequest();
    m_view->event("serving the panel's own register map on 127.0.0.1:" + std::to_string(m_ownPort));

    unsigned cycle = m_script.actual().cycleTime();
    if (cycle == 0 || cycle > 2000)
        cycle = 500;   // keep the demo lively whatever the script says
    m_view->event("polling every " + std::to_string(cycle) + " ms");
    startTimer(static_cast<int>(cycle));
    return true;
}

// Every way out comes through here, more than once on some: what is still
// running is ended and reaped.
void Panel::shutdown()
{
    // mbpoll first: it may be waiting for the panel's own map.
    m_mbpoll.reset();
    if (m_server)
        m_server->close();
    if (m_tcpClient)
        m_tcpClient->close();
    if (m_serialClient)
        m_serialClient->close();
    DemoProcess::stopAll({&m_serialSlave, &m_socat, &m_tcpSlave});
}

void Panel::tick()
{
    const double t = m_view->elapsed();
    const double d = m_options.duration;

    for (DeviceLink* link : m_links)
        link->cycle();

    // The panel's own map mirrors what it polled, one register per point.
    int reg = 0;
    for (DeviceLink* link : m_links)
        for (const Point& p : link->points())
            m_server->setData(CtvkModbusDataUnit::HoldingRegisters, reg++,
                              static_cast<unsigned short>(std::lround(link->last(p.id) * p.scale)));

    if (!m_edited && t >= kEditAt * d) {
        m_edited = true;
        m_view->event("user types 1234 into the set point box and ends the edit");
        m_setPointBox->playUserEdit("1234");
        if (m_dosing) {
            m_view->event("user types 2.5 into the flow box and ends the edit");
            m_analogBox->playUserEdit("2.5");
        }
    }
    if (!m_mbpollStarted && t >= kMbpollAt * d) {
        m_mbpollStarted = true;
        if (demoHaveProgram("mbpoll")) {
            m_view->event("mbpoll reads the panel's own holding registers");
            m_mbpoll.reset(new OutputReader(m_view, "mbpoll: "));
            m_mbpoll->start({"mbpoll", "-m", "tcp", "-a", "1", "-t", "4", "-r", "1", "-c",
                             std::to_string(reg), "-1", "-p", std::to_string(m_ownPort), "127.0.0.1"});
        } else {
            m_view->event("mbpoll is not installed: nobody reads the panel's own map");
        }
    }
    if (!m_unplugged && t >= kUnplugAt * d) {
        m_unplugged = true;
        m_view->event("the press goes away: its simulator is stopped");
        m_tcpSlave.stop();
    }
    if (!m_replugged && t >= kReplugAt * d) {
        m_replugged = true;
        m_view->event("the press comes back");
        m_tcpSlave.start({m_options.slaveTool, "--address", "127.0.0.1", "--port", std::to_string(m_tcpPort),
                          "--init", m_valuesFile},
                         logPath("press"));
    }

    if (t - m_lastRate >= 1.0) {
        for (DeviceLink* link : m_links)
            m_rates[link->name()] = link->takeRequests() / (t - m_lastRate);
        m_lastRate = t;
    }
    m_view->show(rows());
    if (t >= d)
        m_loop->exit(0);
}

std::vector<std::string> Panel::rows()
{
    std::vector<std::string> out;
    char line[256];
    std::snprintf(line, sizeof line, "panel  t=%5.1f s of %.0f s", m_view->elapsed(), m_options.duration);
    out.push_back(line);
    for (DeviceLink* link : m_links) {
        std::string values;
        for (const Point& p : link->points())
            values += "  " + link->format(p.id);
        std::snprintf(line, sizeof line, "%-7s %-4s %5.1f req/s  ok %ld failed %ld |%s", link->name().c_str(),
                      link->up() ? "up" : "DOWN", m_rates[link->name()], link->ok(), link->failed(),
                      values.c_str());
        out.push_back(line);
    }
    std::snprintf(line, sizeof line, "boxes   set point [%d]  %s [%.2f]", m_setPointBox->value(),
                  m_dosing ? "flow" : "temperature", m_analogBox->value());
    out.push_back(line);
    std::string lastError = "-";
    for (DeviceLink* link : m_links)
        if (!link->lastError().empty())
            lastError = link->name() + ": " + link->lastError();
    out.push_back("last error: " + lastError);
    return out;
}

void Panel::summary()
{
    std::FILE* out = m_view->out();
    if (const char* signalName = demoStopSignalName())
        std::fprintf(out, "summary: ran %.1f s, stopped by %s\n", m_view->elapsed(), signalName);
    else
        std::fprintf(out, "summary: ran %.1f s\n", m_view->elapsed());
    for (DeviceLink* link : m_links)
        std::fprintf(out, "summary: %s (%s): polls ok %ld, failed %ld, errors %ld, reconnect attempts %ld, "
                    "recoveries %ld, writes %ld, read back %ld\n",
                    link->name().c_str(), link->where().c_str(), link->ok(), link->failed(), link->errors(),
                    link->attempts(), link->recoveries(), link->writes(), link->readBacks());
    if (m_setPointBox && m_analogBox)
        std::fprintf(out, "summary: set point box %d, %s box %.2f\n", m_setPointBox->value(),
                     m_dosing ? "flow" : "temperature", m_analogBox->value());
    if (m_mbpoll)
        std::fprintf(out, "summary: mbpoll read the panel's own map: %s\n",
                     m_mbpoll->done() && m_mbpoll->status() == 0 ? "yes" : "no");
    if (m_unplugged)
        std::fprintf(out, "summary: press unplugged and %s\n",
                     m_press->recoveries() > 0 ? "recovered" : "NOT recovered");
    if (m_files.kept())
        std::fprintf(out, "summary: files kept in %s\n", m_files.dir().c_str());
    std::fflush(out);
}

// Reads the options; false with the exit status in *status when the demo
// is not to run (help asked for, or bad usage).
bool parseOptions(int argc, char** argv, Options* options, int* status)
{
    CLI::App app{"The whole operator panel in one program: script, two devices, bound spin boxes, "
                 "the panel's own register map, and a device that goes away and comes back. "
                 "SIGTERM or SIGINT end it early and cleanly.",
                 kDemoProgram};
    app.add_option("--script", options->script, "PLC communication script")->capture_default_str();
    app.add_option("--duration", options->duration, "seconds to run")
        ->capture_default_str()
        ->check(CLI::Range(2.0, 3600.0));
    app.add_option("--slave-tool", options->slaveTool, "the slave simulator program")->capture_default_str();
    app.add_flag("--no-serial", options->noSerial, "leave the serial device out");
    app.add_flag("--keep-log", options->keepLog,
                 "keep the temporary folder (the simulators' logs, the libraries' lines) instead of removing it");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {   // --help
            *status = app.exit(e);
            return false;
        }
        std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n", kDemoProgram, e.what());
        *status = DemoExitUsage;
        return false;
    }
    return true;
}

// The log the libraries' own lines go to while the live view holds the
// terminal, or null.
std::FILE* libraryLog = nullptr;

void logLibraryLine(const char* library, const char* line)
{
    if (libraryLog) {
        std::fprintf(libraryLog, "%s: %s\n", library, line);
        std::fflush(libraryLog);
    }
}

// On a terminal the view redraws in place. The libraries' diagnostic lines
// would scroll it, so meanwhile they go to a log in the demo's folder, by
// their message handler. Answers whether the view can be live.
bool liveView(const DemoFiles& files)
{
    if (::isatty(1) != 1)
        return false;
    const std::string logPath = files.path("panel.log");
    libraryLog = std::fopen(logPath.c_str(), "we");   // e: the children must not hold it
    if (!libraryLog)
        return false;
    tvkInstallMessageHandler(&logLibraryLine);
    std::fprintf(stdout, "(the libraries' own lines go to %s%s)\n", logPath.c_str(),
                 files.kept() ? "" : "; --keep-log keeps it");
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    int status = DemoExitOk;
    if (!parseOptions(argc, argv, &options, &status))
        return status;
    if (!demoScriptReadable(options.script))
        return DemoExitUsage;

    ::signal(SIGPIPE, SIG_IGN);

    CtvkParsePlcCommon script(options.script);
    printScript(script, options.script);
    if (!script.isValid()) {
        std::fprintf(stderr, "%s: the script is not valid; see tvk-plccheck %s\n", kDemoProgram,
                     options.script.c_str());
        return DemoExitFault;
    }

    // From here on, every way out ends the children and removes the files.
    DemoStopSignals stopSignals;
    DemoFiles files(options.keepLog);
    if (!files.make())
        return DemoExitFault;
    DemoView view(liveView(files), stdout);
    CtvkEventLoop loop;
    stopSignals.stopLoop(&loop, [&view](const char* signalName) {
        view.event(std::string("stopping on ") + signalName);
    });
    try {
        Panel panel(options, script, files, &view, &loop);
        status = panel.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kDemoProgram, e.what());
        status = DemoExitFault;
    }
    if (libraryLog) {
        tvkInstallMessageHandler(nullptr);
        std::fclose(libraryLog);
        libraryLog = nullptr;
    }
    return status;
}
