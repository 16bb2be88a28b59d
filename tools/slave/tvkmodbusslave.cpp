// tvk-modbus-slave: a Modbus slave simulator on the fieldlink library, for
// panel engineers and for tests. It serves the four tables over TCP from one
// event loop, printing connections as they come and go and the requests per
// second while there is traffic, or on a serial line (RTU) as one slave id.
// It ends with status 0 on Ctrl-C or SIGTERM.
//
// Exit status: 0 stopped by a signal; 1 the server could not be opened, could
// not listen, or its serial line hung up; 2 bad usage or an initial-values
// file that cannot be read (the first bad line is named).
#include "slaveinitfile.h"
#include "slavemonitor.h"

#include "tvkeventloop.h"
#include "tvkmodbusdataunit.h"
#include "tvkmodbusrtuserialmaster.h"
#include "tvkmodbustcpserver.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace Quorvan;
using tvkslave::Layout;
using tvkslave::Table;

namespace {

constexpr int ExitFault = 1;
constexpr int ExitUsage = 2;
constexpr int kAddressSpace = 65536;   // Modbus addresses are 16 bits wide
constexpr int kDefaultTableSize = 1000;
constexpr int kRateIntervalMs = 1000;

const char* const FileFormat = R"(Initial values (--init FILE, or - for standard input), one block per line:
  <table> <address> <value> [<value> ...]     # comment
  table    coils (co), discrete-inputs (di), holding-registers (hr),
           input-registers (ir)
  address  Modbus address of the first value, as on the wire, decimal or 0x hex
  value    goes to consecutive addresses: 0 or 1 for coils and discrete
           inputs, 0..65535 (or -32768..-1) for registers, decimal or 0x hex
Blank lines and text from '#' on are ignored. Every value must fall inside
its table; a bad line is reported with its number and the exit status is 2.
Example:
  hr 0 100 200 0x1234      # holding registers 0, 1, 2
  coils 10 1 0 1

Polling it with mbpoll (which counts from 1; -0 makes it count from 0):
  tvk-modbus-slave --port 1502 --init values.txt
  mbpoll -m tcp -p 1502 -0 -a 1 -t 4 -r 0 -c 3 -1 127.0.0.1
On a serial line (Modbus RTU), as slave id 7 at 19200 baud 8E1:
  tvk-modbus-slave --serial /dev/ttyUSB0 --baud 19200 --parity even --slave-id 7
  mbpoll -m rtu -b 19200 -P even -a 7 -0 -t 4 -r 0 -c 3 -1 /dev/ttyUSB1

Exit status: 0 stopped by Ctrl-C or SIGTERM, 1 cannot open or listen (or the
serial line hung up), 2 bad usage or bad initial values.)";

struct TableOption {
    const char* name;
    const char* what;
    Table table;
    tvkslave::TableLayout* layout;
};

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
    std::string address = "127.0.0.1";
    int port = 502;
    SerialOptions serial;
    Layout layout;
    std::string initFile;
};

int parityCode(const std::string& parity)
{
    if (parity == "even")
        return CtvkModbusDevice::EvenParity;
    if (parity == "odd")
        return CtvkModbusDevice::OddParity;
    return CtvkModbusDevice::NoParity;
}

// The soft descriptor limit goes up to the hard one: each master holds a
// descriptor for as long as it stays connected. Answers the limit in force.
rlim_t raiseDescriptorLimit()
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return 0;
    if (lim.rlim_cur != lim.rlim_max) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            return raised.rlim_cur;
    }
    return lim.rlim_cur;
}

// The server refuses port 0, so "any free port" is found here: the kernel
// picks one for a probe socket, which is closed again before the server
// binds it. Answers 0 when no port could be had.
int freePort(const std::string& address)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
        return 0;
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return 0;
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0
        && ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(probe);
    return port;
}

CtvkModbusDataUnit::RegisterType registerType(Table table)
{
    switch (table) {
    case Table::Coils: return CtvkModbusDataUnit::Coils;
    case Table::DiscreteInputs: return CtvkModbusDataUnit::DiscreteInputs;
    case Table::HoldingRegisters: return CtvkModbusDataUnit::HoldingRegisters;
    case Table::InputRegisters: break;
    }
    return CtvkModbusDataUnit::InputRegisters;
}

std::string describe(const Layout& layout)
{
    std::string text;
    for (Table t : {Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters, Table::InputRegisters}) {
        const tvkslave::TableLayout& l = layout.of(t);
        if (!text.empty())
            text += ", ";
        text += std::string(tvkslave::tableName(t)) + " ";
        text += l.size > 0 ? std::to_string(l.start) + ".." + std::to_string(l.start + l.size - 1) : "none";
    }
    return text;
}

// Ctrl-C and SIGTERM arrive as readable data on a signalfd that the event
// loop watches, so the loop ends between two dispatches and everything is
// taken down in order. Answers the descriptor, or -1.
int signalDescriptor()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// Lays out the tables and fills them; false (with the reason printed) when
// the map cannot be built.
bool prepareTables(CtvkModbusServer& server, const Options& options, const std::vector<tvkslave::InitialBlock>& blocks)
{
    const Layout& l = options.layout;
    server.setStartAddressAndNum(l.coils.start, l.coils.size, l.discreteInputs.start, l.discreteInputs.size,
                                 l.holdingRegisters.start, l.holdingRegisters.size, l.inputRegisters.start,
                                 l.inputRegisters.size);
    if (server.error() == CtvkModbusDevice::ConfigurationError) {
        std::fprintf(stderr, "tvk-modbus-slave: cannot build the tables: %s\n",
                     server.errorString().toStdString().c_str());
        return false;
    }
    for (const tvkslave::InitialBlock& b : blocks)
        for (std::size_t i = 0; i < b.values.size(); ++i)
            server.setData(registerType(b.table), b.address + static_cast<int>(i), b.values[i]);
    return true;
}

// Runs the loop until a signal arrives on `signals` (status 0) or the
// transport gives up (the status it passes to exit()).
int serve(CtvkEventLoop& loop, int signals)
{
    CtvkSocketNotifier stopper(signals, CtvkSocketNotifier::Read);
    CtvkObject::connect<int>(&stopper, "activated", nullptr, std::function<void(int)>([&loop](int fd) {
        signalfd_siginfo info{};
        const char* name = "a signal";
        if (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            name = info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
        std::printf("stopping on %s\n", name);
        std::fflush(stdout);
        loop.exit(0);
    }));
    const int status = loop.exec();
    stopper.setEnabled(false);
    return status;
}

int runTcp(const Options& options, const std::vector<tvkslave::InitialBlock>& blocks, int signals, rlim_t limit)
{
    int port = options.port;
    if (port == 0 && (port = freePort(options.address)) == 0) {
        std::fprintf(stderr, "tvk-modbus-slave: no free port on %s\n", options.address.c_str());
        return ExitFault;
    }
    CtvkEventLoop loop;
    CtvkModbusTcpServer server;
    tvkslave::TrafficMonitor monitor(&server, stdout);
    server.setConnectionParameter(CtvkModbusDevice::NetworkAddress,
                                  CtvkVariant(CtvkString::fromAscii(options.address.c_str())));
    server.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    if (!prepareTables(server, options, blocks))
        return ExitFault;
    if (!server.open()) {
        std::fprintf(stderr, "tvk-modbus-slave: cannot open %s:%d: %s\n", options.address.c_str(), port,
                     server.errorString().toStdString().c_str());
        return ExitFault;
    }
    server.processRequest();
    const int listening = monitor.listeningPort();
    if (listening <= 0) {
        const CtvkString why = server.errorString();
        std::fprintf(stderr, "tvk-modbus-slave: cannot listen on %s:%d%s%s\n", options.address.c_str(), port,
                     why.isEmpty() ? "" : ": ", why.toStdString().c_str());
        server.close();
        return ExitFault;
    }
    std::printf("listening on %s:%d (%s; descriptor limit %llu)\n", options.address.c_str(), listening,
                describe(options.layout).c_str(), static_cast<unsigned long long>(limit));
    std::fflush(stdout);
    const int status = serve(loop, signals);
    server.close();
    return status;
}

// Once a second while there is traffic on the line: the requests this slave
// took (answered, and broadcasts applied) per second, and what passed by for
// other slaves or was noise.
class SerialMonitor : public CtvkObject {
public:
    SerialMonitor(CtvkModbusRtuSerialMaster* server, std::FILE* out) : m_server(server), m_out(out)
    {
        m_timer = startTimer(kRateIntervalMs);
    }
    ~SerialMonitor() override { killTimer(m_timer); }

protected:
    void timerEvent(CtvkTimerEvent*) override
    {
        const CtvkModbusRtuSerialMaster::LineCounters c = m_server->lineCounters();
        const std::uint64_t taken = c.requests + c.broadcasts;
        if (taken == m_taken && c.otherSlaveFrames == m_passed && c.noiseBytes == m_dropped)
            return;
        std::fprintf(m_out, "%llu requests/s, %llu frames for other slaves, %llu noise bytes\n",
                     static_cast<unsigned long long>(taken - m_taken),
                     static_cast<unsigned long long>(c.otherSlaveFrames - m_passed),
                     static_cast<unsigned long long>(c.noiseBytes - m_dropped));
        std::fflush(m_out);
        m_taken = taken;
        m_passed = c.otherSlaveFrames;
        m_dropped = c.noiseBytes;
    }

private:
    CtvkModbusRtuSerialMaster* m_server;
    std::FILE* m_out;
    std::uint64_t m_taken = 0;
    std::uint64_t m_passed = 0;
    std::uint64_t m_dropped = 0;
    int m_timer = 0;
};

int runSerial(const Options& options, const std::vector<tvkslave::InitialBlock>& blocks, int signals)
{
    const SerialOptions& o = options.serial;
    CtvkEventLoop loop;
    CtvkModbusRtuSerialMaster server;
    server.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                  CtvkVariant(CtvkString::fromAscii(o.device.c_str())));
    server.setConnectionParameter(CtvkModbusDevice::SerialBaudRate, CtvkVariant(o.baud));
    server.setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(parityCode(o.parity)));
    server.setConnectionParameter(CtvkModbusDevice::SerialDataBits, CtvkVariant(o.dataBits));
    server.setConnectionParameter(CtvkModbusDevice::SerialStopBits, CtvkVariant(o.stopBits));
    server.setSlave(o.slaveId);
    if (!prepareTables(server, options, blocks))
        return ExitFault;
    // The library prints its own line when the port cannot be opened; the
    // reason goes to standard error here.
    if (!server.open()) {
        std::fprintf(stderr, "tvk-modbus-slave: cannot open %s: %s\n", o.device.c_str(),
                     server.errorString().toStdString().c_str());
        return ExitFault;
    }
    server.processRequest();
    if (server.error() == CtvkModbusDevice::ConnectionError) {
        std::fprintf(stderr, "tvk-modbus-slave: cannot watch %s: %s\n", o.device.c_str(),
                     server.errorString().toStdString().c_str());
        server.close();
        return ExitFault;
    }
    // A line that hangs up is not coming back by itself: say so and stop.
    CtvkObject::connect<CtvkModbusDevice::Error>(
        &server, "errorOccurred(CtvkModbusDevice::Error)", nullptr,
        std::function<void(CtvkModbusDevice::Error)>([&](CtvkModbusDevice::Error code) {
            if (code != CtvkModbusDevice::ConnectionError)
                return;
            std::fprintf(stderr, "tvk-modbus-slave: serial line lost: %s\n", server.errorString().toStdString().c_str());
            loop.exit(ExitFault);
        }));
    std::printf("serving slave %d on %s at %d baud, %d%c%d (%s)\n", o.slaveId, o.device.c_str(), o.baud, o.dataBits,
                static_cast<char>(std::toupper(static_cast<unsigned char>(o.parity[0]))), o.stopBits,
                describe(options.layout).c_str());
    std::fflush(stdout);
    SerialMonitor monitor(&server, stdout);
    const int status = serve(loop, signals);
    server.close();
    return status;
}

int run(const Options& options, const std::vector<tvkslave::InitialBlock>& blocks)
{
    const rlim_t limit = raiseDescriptorLimit();
    // A master that goes away while its answer is being written must not
    // end the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    const int signals = signalDescriptor();
    if (signals < 0) {
        std::fprintf(stderr, "tvk-modbus-slave: cannot watch signals: %s\n", std::strerror(errno));
        return ExitFault;
    }
    const int status = options.serial.device.empty() ? runTcp(options, blocks, signals, limit)
                                                      : runSerial(options, blocks, signals);
    ::close(signals);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    options.layout.coils.size = kDefaultTableSize;
    options.layout.discreteInputs.size = kDefaultTableSize;
    options.layout.holdingRegisters.size = kDefaultTableSize;
    options.layout.inputRegisters.size = kDefaultTableSize;

    CLI::App app{"Modbus slave simulator: serves coils, discrete inputs, holding and input registers to any number "
                 "of TCP masters (printing connections and requests per second), or on a serial line (RTU).",
                 "tvk-modbus-slave"};
    app.set_version_flag("--version", std::string("tvk-modbus-slave ") + TVK_VERSION);
    app.footer(FileFormat);
    CLI::Option* address =
        app.add_option("-a,--address", options.address, "IPv4 address to listen on")->capture_default_str();
    CLI::Option* port = app.add_option("-p,--port", options.port, "TCP port to listen on; 0 picks a free one (printed)")
                            ->check(CLI::Range(0, 65535))
                            ->capture_default_str();
    CLI::Option_group* serial =
        app.add_option_group("Serial line (RTU)", "Given --serial, the tables are served on that line instead of TCP");
    serial->add_option("--serial", options.serial.device, "serial device, e.g. /dev/ttyUSB0")
        ->excludes(address)
        ->excludes(port);
    serial->add_option("--baud", options.serial.baud, "baud rate")->check(CLI::PositiveNumber)->capture_default_str();
    serial->add_option("--parity", options.serial.parity, "none, even or odd")
        ->check(CLI::IsMember({"none", "even", "odd"}))
        ->capture_default_str();
    serial->add_option("--data-bits", options.serial.dataBits, "data bits")->check(CLI::Range(5, 8))->capture_default_str();
    serial->add_option("--stop-bits", options.serial.stopBits, "stop bits")->check(CLI::Range(1, 2))->capture_default_str();
    serial->add_option("--slave-id", options.serial.slaveId,
                       "slave id answered on the line (broadcasts, id 0, are applied)")
        ->check(CLI::Range(1, 247))
        ->capture_default_str();
    const TableOption tables[] = {
        {"coils", "coils", Table::Coils, &options.layout.coils},
        {"discrete", "discrete inputs", Table::DiscreteInputs, &options.layout.discreteInputs},
        {"holding", "holding registers", Table::HoldingRegisters, &options.layout.holdingRegisters},
        {"input", "input registers", Table::InputRegisters, &options.layout.inputRegisters},
    };
    for (const TableOption& t : tables) {
        const std::string what = t.what;
        app.add_option(std::string("--") + t.name + "-start", t.layout->start,
                       "first Modbus address of the " + what)
            ->check(CLI::Range(0, kAddressSpace - 1))
            ->capture_default_str();
        app.add_option(std::string("--") + t.name + "-size", t.layout->size, "number of " + what)
            ->check(CLI::Range(0, kAddressSpace))
            ->capture_default_str();
    }
    app.add_option("-i,--init", options.initFile, "file of initial values (format below)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : ExitUsage;
    }
    for (const TableOption& t : tables) {
        if (t.layout->start + t.layout->size > kAddressSpace) {
            std::fprintf(stderr, "tvk-modbus-slave: --%s-start %d with --%s-size %d passes address %d\n", t.name,
                         t.layout->start, t.name, t.layout->size, kAddressSpace - 1);
            return ExitUsage;
        }
    }

    std::vector<tvkslave::InitialBlock> blocks;
    if (!options.initFile.empty()) {
        tvkslave::InitFileError error;
        if (!tvkslave::readInitialValuesFile(options.initFile, options.layout, &blocks, &error)) {
            if (error.line > 0)
                std::fprintf(stderr, "%s:%d: %s\n", options.initFile.c_str(), error.line, error.message.c_str());
            else
                std::fprintf(stderr, "tvk-modbus-slave: %s: %s\n", options.initFile.c_str(), error.message.c_str());
            return ExitUsage;
        }
    }
    return run(options, blocks);
}
