// SPDX-License-Identifier: MIT
// The whole panel in one program: it reads and checks the PLC communication
// script, starts two devices (the slave simulator over TCP and, when socat is
// there, a second one on a serial line over a pseudo-terminal pair), polls
// the script's actual-data identifiers over both links into the data
// distribution, shows bound spin boxes that follow them, plays a user's edit
// that goes back to a device and is read back, serves the panel's own
// register map over TCP, silences the serial device for a few seconds while
// the rest of the panel carries on, and pulls the plug on a device to show
// the error, the reconnect attempts and the recovery.
//
// Every request to a device is asynchronous: nothing a device does or fails
// to do holds up the loop that polls, redraws and serves the panel's map. A
// short timer measures that: how late it fires is how long the loop was
// kept from its work.

#include "demo_lifecycle.h"
#include "demo_link.h"
#include "demo_process.h"
#include "demo_view.h"

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
#include "tvktimer.h"
#include "tvktoolusage.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace Quorvan;

namespace {

// Sends what the panel stores under a device's identifiers to that device.
// Values that came from the device itself are announced too; they equal what
// the link last read and are not written back, so nothing echoes.
class WriteBack : public CtvkObject {
public:
    explicit WriteBack(std::vector<DemoLink*> links) : CtvkObject(nullptr), m_links(std::move(links)) {}

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
        for (DemoLink* link : m_links)
            if (link->holds(id) && link->knows(id) && std::fabs(link->last(id) - v) > 1e-9)
                link->write(id, v);
    }

private:
    std::vector<DemoLink*> m_links;
};

// A short timer that notes how late it fires: the longest the event loop
// was kept from dispatching, overall and while a window is open.
class LoopProbe : public CtvkObject {
public:
    LoopProbe() : CtvkObject(nullptr), m_last(Clock::now())
    {
        CtvkObject::connect(&m_timer, "timeout()", this, std::function<void()>([this] { fired(); }));
        m_timer.start(kIntervalMs);
    }

    void fired()
    {
        const Clock::time_point now = Clock::now();
        const double late = std::chrono::duration<double, std::milli>(now - m_last).count() - kIntervalMs;
        m_last = now;
        m_worstMs = std::max(m_worstMs, late);
        if (m_windowOpen)
            m_windowWorstMs = std::max(m_windowWorstMs, late);
    }

    void openWindow() { m_windowOpen = true; }
    void closeWindow() { m_windowOpen = false; }
    double worstMs() const { return m_worstMs; }
    double windowWorstMs() const { return m_windowWorstMs; }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr int kIntervalMs = 10;
    CtvkTimer m_timer;
    Clock::time_point m_last;
    double m_worstMs = 0;
    double m_windowWorstMs = 0;
    bool m_windowOpen = false;
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
    // When its output ended, on the view's clock; -1 while it runs.
    double endedAt() const { return m_endedAt; }

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
        m_endedAt = m_view->elapsed();
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
    double m_endedAt = -1;
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

// The demo's steps, as fractions of its duration. mbpoll reads the panel's
// map while the dosing unit is silent; the press goes away after that, so
// that its poll rate while the other device is silent is its own.
constexpr double kEditAt = 0.05;
constexpr double kSilenceAt = 0.15;
constexpr double kMbpollAt = 0.3;
// mbpoll reads the dosing unit through the panel's route once it answers again.
constexpr double kRoutedAt = 0.6;
constexpr double kUnplugAt = 0.7;
constexpr double kReplugAt = 0.8;
// How long the dosing unit stays silent, at most: long enough for several of
// its polls to run out of attempts, each of which used to freeze the panel.
constexpr double kSilenceSeconds = 3.0;
// What is left before the unplug once the silence is over; a short run has
// a shorter silence.
constexpr double kQuietGapSeconds = 0.2;
// Each attempt on the serial line waits this long for an answer.
constexpr int kSerialResponseTimeoutMs = 200;
// The unit id the panel's own server routes to the dosing unit (slave 1 on
// its line): the panel as a gateway.
constexpr int kDosingRoutedUnit = 2;

class Panel : public CtvkObject {
public:
    Panel(const Options& options, const CtvkParsePlcCommon& script, const DemoFiles& files, DemoView* view,
          CtvkEventLoop* loop)
        : CtvkObject(nullptr), m_options(options), m_script(script), m_files(files), m_view(view), m_loop(loop) {}
    ~Panel() override { shutdown(); }

    // Runs until the duration is over or a stop signal comes, then ends
    // everything it started; answers the exit status.
    int run();

private:
    bool startDevices();
    bool startPanel();
    void announceChildren();
    void shutdown();
    void tick();
    void silenceDosing();
    void dosingSpeaksAgain();
    bool silentWindowHolds(double from, double until) const;
    std::vector<std::string> rows();
    std::string lastError() const;
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
    std::unique_ptr<DemoLink> m_press, m_dosing;
    std::vector<DemoLink*> m_links;
    std::unique_ptr<WriteBack> m_writeBack;
    std::unique_ptr<CtvkModbusTcpServer> m_server;
    std::unique_ptr<CtvkSpinBoxSensor> m_setPointBox;
    std::unique_ptr<CtvkDoubleSpinBoxSensor> m_analogBox;
    std::unique_ptr<OutputReader> m_mbpoll;
    std::unique_ptr<OutputReader> m_routed;
    std::unique_ptr<LoopProbe> m_probe;
    CtvkTimer m_pollTimer;
    bool m_edited = false, m_mbpollStarted = false, m_routedStarted = false, m_unplugged = false,
         m_replugged = false;
    // The dosing unit's silence, on the view's clock: from -1 while it has
    // not begun, until -1 while it lasts.
    double m_silentFrom = -1, m_silentUntil = -1;
    double m_mbpollFrom = -1;
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
    m_press.reset(new DemoLink("press", "tcp 127.0.0.1:" + std::to_string(m_tcpPort), m_tcpClient.get(), 1,
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
            m_dosing.reset(new DemoLink("dosing", "rtu " + m_serialPanelEnd + " 115200 8E1",
                                        m_serialClient.get(), 1,
                                        {{idAt(3, 100010), 0, 1.0, "heartbeat"},
                                         {idAt(4, 100011), 1, 100.0, "flow"}},
                                        m_view));
            // A silent device is noticed after 3 attempts of this each.
            m_dosing->setResponseTimeoutMs(kSerialResponseTimeoutMs);
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
    for (DemoLink* link : m_links) {
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
        m_probe.reset(new LoopProbe);
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
    for (DemoLink* link : m_links)
        for (const DemoPoint& p : link->points())
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
    // Masters reach the dosing unit through the panel too: its unit id is
    // routed to the panel's own serial requester.
    if (m_serialClient)
        m_server->addRoute(kDosingRoutedUnit, kDosingRoutedUnit, m_serialClient.get(), 1);
    m_server->processRequest();
    m_view->event("serving the panel's own register map on 127.0.0.1:" + std::to_string(m_ownPort)
                  + (m_serialClient ? ", unit " + std::to_string(kDosingRoutedUnit) + " routed to the dosing unit"
                                    : std::string()));

    unsigned cycle = m_script.actual().cycleTime();
    if (cycle == 0 || cycle > 2000)
        cycle = 500;   // keep the demo lively whatever the script says
    m_view->event("polling every " + std::to_string(cycle) + " ms");
    CtvkObject::connect(&m_pollTimer, "timeout()", this, std::function<void()>([this] { tick(); }));
    m_pollTimer.start(static_cast<int>(cycle));
    return true;
}

// Every way out comes through here, more than once on some: what is still
// running is ended and reaped (a stopped simulator is continued to end).
void Panel::shutdown()
{
    // mbpoll first: it may be waiting for the panel's own map.
    m_mbpoll.reset();
    m_routed.reset();
    if (m_server)
        m_server->close();
    if (m_tcpClient)
        m_tcpClient->close();
    if (m_serialClient)
        m_serialClient->close();
    // The simulators before socat: a line that hangs up under the dosing
    // unit as it wakes from SIGSTOP would end it by the hang-up, not by
    // the SIGTERM that asks it to.
    DemoProcess::stopAll({&m_serialSlave, &m_tcpSlave});
    DemoProcess::stopAll({&m_socat});
}

void Panel::tick()
{
    const double t = m_view->elapsed();
    const double d = m_options.duration;

    for (DemoLink* link : m_links)
        link->cycle();

    // The panel's own map mirrors what it polled, one register per point.
    int reg = 0;
    for (DemoLink* link : m_links)
        for (const DemoPoint& p : link->points())
            m_server->setData(CtvkModbusDataUnit::HoldingRegisters, reg++,
                              static_cast<unsigned short>(std::lround(link->last(p.id) * p.scale)));

    // The user edits values the panel has read from its devices.
    const bool allPolled = std::all_of(m_links.begin(), m_links.end(), [](DemoLink* l) { return l->ok() > 0; });
    if (!m_edited && t >= kEditAt * d && allPolled) {
        m_edited = true;
        m_view->event("user types 1234 into the set point box and ends the edit");
        m_setPointBox->playUserEdit("1234");
        if (m_dosing) {
            m_view->event("user types 2.5 into the flow box and ends the edit");
            m_analogBox->playUserEdit("2.5");
        }
    }
    // The edit's story is told first: its write answered and read back from
    // the device. On a busy machine the edit may come late, or its write
    // may still be on the line when the silence is due: the silence waits.
    if (m_dosing && m_silentFrom < 0 && m_edited && m_dosing->editSettled() && t >= kSilenceAt * d)
        silenceDosing();
    if (!m_mbpollStarted && t >= kMbpollAt * d) {
        m_mbpollStarted = true;
        if (demoHaveProgram("mbpoll")) {
            m_view->event("mbpoll reads the panel's own holding registers");
            m_mbpollFrom = t;
            m_mbpoll.reset(new OutputReader(m_view, "mbpoll: "));
            m_mbpoll->start({"mbpoll", "-m", "tcp", "-a", "1", "-t", "4", "-r", "1", "-c",
                             std::to_string(reg), "-1", "-p", std::to_string(m_ownPort), "127.0.0.1"});
        } else {
            m_view->event("mbpoll is not installed: nobody reads the panel's own map");
        }
    }
    if (!m_routedStarted && m_serialClient && t >= kRoutedAt * d && demoHaveProgram("mbpoll")) {
        m_routedStarted = true;
        m_view->event("mbpoll reads the dosing unit through the panel (unit " + std::to_string(kDosingRoutedUnit)
                      + ")");
        m_routed.reset(new OutputReader(m_view, "mbpoll via the panel: "));
        m_routed->start({"mbpoll", "-m", "tcp", "-a", std::to_string(kDosingRoutedUnit), "-t", "4", "-r", "1", "-c",
                         "2", "-1", "-p", std::to_string(m_ownPort), "127.0.0.1"});
    }
    if (!m_unplugged && t >= kUnplugAt * d) {
        m_unplugged = true;
        // Not waited for here: the restart reaps it.
        m_view->event("the press goes away: its simulator is ended");
        m_tcpSlave.terminate();
    }
    if (!m_replugged && t >= kReplugAt * d) {
        m_replugged = true;
        m_view->event("the press comes back");
        m_tcpSlave.start({m_options.slaveTool, "--address", "127.0.0.1", "--port", std::to_string(m_tcpPort),
                          "--init", m_valuesFile},
                         logPath("press"));
    }

    if (t - m_lastRate >= 1.0) {
        for (DemoLink* link : m_links)
            m_rates[link->name()] = link->takeOkPolls() / (t - m_lastRate);
        m_lastRate = t;
    }
    m_view->show(rows());
    if (t >= d)
        m_loop->exit(0);
}

// The dosing unit's simulator is stopped, not ended: its line stays open
// and takes the requests, and nothing answers them.
void Panel::silenceDosing()
{
    const double t = m_view->elapsed();
    const double d = m_options.duration;
    const double seconds = std::clamp(kUnplugAt * d - t - kQuietGapSeconds, 0.1, kSilenceSeconds);
    m_silentFrom = t;
    if (!m_serialSlave.suspend()) {
        m_view->event("the dosing unit cannot be silenced: " + m_serialSlave.error());
        m_silentUntil = t;
        return;
    }
    char text[128];
    std::snprintf(text, sizeof text, "the dosing unit goes silent: SIGSTOP to its simulator for %.1f s",
                  seconds);
    m_view->event(text);
    for (DemoLink* link : m_links)
        link->openWindow();
    m_probe->openWindow();
    CtvkTimer::singleShot(static_cast<int>(std::lround(seconds * 1000)), this, [this] { dosingSpeaksAgain(); });
}

void Panel::dosingSpeaksAgain()
{
    m_serialSlave.resume();
    m_silentUntil = m_view->elapsed();
    for (DemoLink* link : m_links)
        link->closeWindow();
    m_probe->closeWindow();
    m_view->event("the dosing unit speaks again: its simulator is continued (SIGCONT)");
}

// Whether [from, until] lies within the dosing unit's silence; a run that
// ended while silent counts up to its end.
bool Panel::silentWindowHolds(double from, double until) const
{
    if (m_silentFrom < 0 || from < m_silentFrom)
        return false;
    return until <= (m_silentUntil < 0 ? m_view->elapsed() : m_silentUntil);
}

// Short enough for a terminal of 80 columns: a device's counts on one
// line and its values on the next.
std::vector<std::string> Panel::rows()
{
    std::vector<std::string> out;
    char line[256];
    std::snprintf(line, sizeof line, "panel  t=%5.1f s of %.0f s, worst loop stall %.0f ms%s", m_view->elapsed(),
                  m_options.duration, m_probe ? m_probe->worstMs() : 0.0,
                  m_silentFrom >= 0 && m_silentUntil < 0 ? "  (the dosing unit is silent)" : "");
    out.push_back(line);
    for (DemoLink* link : m_links) {
        std::snprintf(line, sizeof line, "%-7s %-4s %5.1f polls/s  ok %ld  failed %ld", link->name().c_str(),
                      link->up() ? "up" : "DOWN", m_rates[link->name()], link->ok(), link->failed());
        out.push_back(line);
        std::string values = "       ";
        for (const DemoPoint& p : link->points())
            values += " " + link->format(p.id) + " ";
        out.push_back(values);
    }
    std::snprintf(line, sizeof line, "boxes   set point [%d]  %s [%.2f]", m_setPointBox->value(),
                  m_dosing ? "flow" : "temperature", m_analogBox->value());
    out.push_back(line);
    out.push_back("last error: " + lastError());
    return out;
}

// The latest error of any device, when it came, and whether that device
// has answered since: an error that stays on screen says whether it is
// over.
std::string Panel::lastError() const
{
    const DemoLink* latest = nullptr;
    for (const DemoLink* link : m_links)
        if (!link->lastError().empty() && (!latest || link->lastErrorAt() > latest->lastErrorAt()))
            latest = link;
    if (!latest)
        return "-";
    char when[96];
    if (latest->up() && latest->recoveredAt() >= latest->lastErrorAt())
        std::snprintf(when, sizeof when, "t=%.1f s, answers again since t=%.1f s", latest->lastErrorAt(),
                      latest->recoveredAt());
    else if (latest->up())
        std::snprintf(when, sizeof when, "t=%.1f s, up", latest->lastErrorAt());
    else
        std::snprintf(when, sizeof when, "t=%.1f s, still down", latest->lastErrorAt());
    return std::string(when) + ": " + latest->name() + ": " + latest->lastError();
}

void Panel::summary()
{
    std::FILE* out = m_view->out();
    if (const char* signalName = demoStopSignalName())
        std::fprintf(out, "summary: ran %.1f s, stopped by %s\n", m_view->elapsed(), signalName);
    else
        std::fprintf(out, "summary: ran %.1f s\n", m_view->elapsed());
    for (DemoLink* link : m_links)
        std::fprintf(out, "summary: %s (%s): polls ok %ld, failed %ld, timed out %ld, errors %ld, "
                    "reconnect attempts %ld, recoveries %ld, writes %ld, read back %ld\n",
                    link->name().c_str(), link->where().c_str(), link->ok(), link->failed(), link->timedOut(),
                    link->errors(), link->attempts(), link->recoveries(), link->writes(), link->readBacks());
    if (m_setPointBox && m_analogBox)
        std::fprintf(out, "summary: set point box %d, %s box %.2f\n", m_setPointBox->value(),
                     m_dosing ? "flow" : "temperature", m_analogBox->value());
    if (m_dosing && m_silentFrom >= 0) {
        const double until = m_silentUntil < 0 ? m_view->elapsed() : m_silentUntil;
        const DemoPollTally& dosing = m_dosing->window();
        const DemoPollTally& press = m_press->window();
        std::fprintf(out, "summary: dosing unit silent for %.1f s (%s): polls timed out %ld of %ld, %s\n",
                     until - m_silentFrom,
                     m_silentUntil < 0 ? "SIGSTOP, continued on the way out" : "SIGSTOP, then SIGCONT",
                     dosing.timedOut, dosing.started,
                     m_silentUntil < 0 ? "still silent at the end" : m_dosing->up() ? "recovered" : "NOT recovered");
        std::fprintf(out, "summary: press while the dosing unit was silent: polls ok %ld, failed %ld, "
                          "%.1f polls/s (%.1f before)\n",
                     press.ok, press.failed, press.okRate(), m_press->rateBeforeWindow());
    }
    if (m_mbpoll) {
        const bool read = m_mbpoll->done() && m_mbpoll->status() == 0;
        std::fprintf(out, "summary: mbpoll read the panel's own map: %s%s\n", read ? "yes" : "no",
                     read && silentWindowHolds(m_mbpollFrom, m_mbpoll->endedAt())
                         ? ", while the dosing unit was silent" : "");
    }
    if (m_routed)
        std::fprintf(out, "summary: mbpoll read the dosing unit through the panel's route: %s\n",
                     m_routed->done() && m_routed->status() == 0 ? "yes" : "no");
    if (m_probe && m_silentFrom >= 0)
        std::fprintf(out, "summary: worst loop stall %.0f ms (%.0f ms while the dosing unit was silent)\n",
                     m_probe->worstMs(), m_probe->windowWorstMs());
    else if (m_probe)
        std::fprintf(out, "summary: worst loop stall %.0f ms\n", m_probe->worstMs());
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
                 "the panel's own register map, a device that goes silent for a while and one that goes "
                 "away and comes back, with the panel carrying on all the while. "
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
        std::fprintf(stderr, "%s: %s\n%sRun with --help for more information.\n", kDemoProgram, e.what(),
                     tvktool::didYouMean(app).c_str());
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
