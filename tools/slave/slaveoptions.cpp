// SPDX-License-Identifier: MIT
#include "slaveoptions.h"

#include "tvkmodbustls.h"

#include "tvktoolusage.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>

#include <sys/socket.h>

#include <charconv>
#include <cstdio>
#include <fstream>

namespace tvkslave {

namespace {

constexpr int kAddressSpace = 65536;   // Modbus addresses are 16 bits wide
constexpr int kDefaultTableSize = 1000;
constexpr int kMaxDelayMs = 600000;

// Rendered alike by --help and by the man page made from it: plain
// paragraphs, no indented lines that help2man would take for options.
const char* const kFooter =
    R"(Initial values (--init FILE, or - for standard input) hold one block per line
made of a table, the Modbus address of its first value as on the wire, and the
values for consecutive addresses, as in "hr 0 100 200 0x1234". The table is coils
(co), discrete-inputs (di), holding-registers (hr) or input-registers (ir);
bits are 0 or 1, registers 0..65535 or -32768..-1; numbers are decimal or 0x
hex. Text from '#' on is a comment. Every value must fall inside its table as
laid out by the options above; each bad line is named as FILE:LINE: reason,
and nothing is served.

Every line printed while serving starts with the time in UTC, as
2025-03-01T14:02:03.456Z. Lines that standard output does not take in time
are dropped, never waited for; their number is said at the end.

Exit status: 0 stopped by Ctrl-C or SIGTERM, 1 cannot open or listen (or the
serial line hung up), 2 bad usage, bad initial values, or TLS files that
cannot be used.)";

struct TableOption {
    const char* name;
    const char* what;
    TableLayout* layout;
};

} // namespace

int parseCommandLine(int argc, char** argv, Options* options)
{
    Options& o = *options;
    o.layout.coils.size = kDefaultTableSize;
    o.layout.discreteInputs.size = kDefaultTableSize;
    o.layout.holdingRegisters.size = kDefaultTableSize;
    o.layout.inputRegisters.size = kDefaultTableSize;

    CLI::App app{"Modbus slave simulator: serves coils, discrete inputs, holding and input registers to any number "
                 "of TCP masters (printing connections and requests per second), or on a serial line (RTU).",
                 "tvk-modbus-slave"};
    app.set_version_flag("-V,--version", std::string("tvk-modbus-slave ") + TVK_VERSION);
    app.footer(kFooter);

    const tvktool::ServerOptionHandles tcp = tvktool::addServerOptions(
        app, &o.tcp, "one line per request: peer, unit, function, address, count and result");
    std::string unitIds;
    const CLI::Validator unitIdList(
        [](std::string& text) {
            std::vector<int> ids;
            std::string why;
            return tvktool::parseUnitIds(text, &ids, &why) ? std::string() : why;
        },
        "LIST");
    CLI::Option* unitId = app.add_option("--unit-id", unitIds,
                                         "unit ids answered, e.g. 1,2,10-20; a request for another gets no answer, "
                                         "as from a gateway without that device (default: every unit id)")
                              ->check(unitIdList);
    CLI::Option* delay = app.add_option("--delay", o.delayMs, "answer every request this many milliseconds late")
                             ->check(CLI::Range(0, kMaxDelayMs))
                             ->capture_default_str();
    CLI::Option_group* serial =
        app.add_option_group("Serial line (RTU)", "Given --serial, the tables are served on that line instead of TCP");
    CLI::Option* device = serial->add_option("--serial", o.serial.device, "serial device, e.g. /dev/ttyUSB0");
    // Over TCP only: the serial responder answers one slave id, at once,
    // and reports no single requests.
    for (CLI::Option* tcpOnly : {tcp.address, tcp.port, tcp.backlog, unitId, delay, tcp.verbose, tcp.tls, tcp.allow})
        device->excludes(tcpOnly);
    serial->add_option("--baud", o.serial.baud, "baud rate")->check(CLI::PositiveNumber)->capture_default_str();
    serial->add_option("--parity", o.serial.parity, "none, even or odd")
        ->check(CLI::IsMember({"none", "even", "odd"}))
        ->capture_default_str();
    serial->add_option("--data-bits", o.serial.dataBits, "data bits")->check(CLI::Range(5, 8))->capture_default_str();
    serial->add_option("--stop-bits", o.serial.stopBits, "stop bits")->check(CLI::Range(1, 2))->capture_default_str();
    serial->add_option("--slave-id", o.serial.slaveId, "slave id answered on the line (broadcasts, id 0, are applied)")
        ->check(CLI::Range(1, 247))
        ->capture_default_str();

    const TableOption tables[] = {
        {"coils", "coils", &o.layout.coils},
        {"discrete", "discrete inputs", &o.layout.discreteInputs},
        {"holding", "holding registers", &o.layout.holdingRegisters},
        {"input", "input registers", &o.layout.inputRegisters},
    };
    for (const TableOption& t : tables) {
        const std::string what = t.what;
        app.add_option(std::string("--") + t.name + "-start", t.layout->start, "first Modbus address of the " + what)
            ->check(CLI::Range(0, kAddressSpace - 1))
            ->capture_default_str();
        app.add_option(std::string("--") + t.name + "-size", t.layout->size, "number of " + what)
            ->check(CLI::Range(0, kAddressSpace))
            ->capture_default_str();
    }
    app.add_option("-i,--init", o.initFile, "file of initial values (format below)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return tvktool::parseFailure(app, e);
    }
    for (const TableOption& t : tables) {
        if (t.layout->start + t.layout->size > kAddressSpace) {
            std::fprintf(stderr, "tvk-modbus-slave: --%s-start %d with --%s-size %d passes address %d\n", t.name,
                         t.layout->start, t.name, t.layout->size, kAddressSpace - 1);
            return tvktool::ExitUsage;
        }
    }
    std::string why;
    if (!unitIds.empty())
        tvktool::parseUnitIds(unitIds, &o.unitIds, &why);   // checked while parsing
    tvktool::finishServerOptions(&o.tcp, tcp);
    return -1;
}

} // namespace tvkslave
