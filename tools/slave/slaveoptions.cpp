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
constexpr int kMaxUnitId = 255;
constexpr int kMaxDelayMs = 600000;
const char* const kBacklogSetting = "/proc/sys/net/core/somaxconn";

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
serial line hung up), 2 bad usage or bad initial values.)";

struct TableOption {
    const char* name;
    const char* what;
    TableLayout* layout;
};

bool parseId(const std::string& text, int* id)
{
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, *id);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && *id >= 0 && *id <= kMaxUnitId;
}

} // namespace

bool parseUnitIds(const std::string& text, std::vector<int>* ids, std::string* why)
{
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t comma = text.find(',', at);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string part = text.substr(at, comma - at);
        const std::size_t dash = part.find('-');
        int first = 0;
        int last = 0;
        const bool ok = dash == std::string::npos
            ? parseId(part, &first) && parseId(part, &last)
            : parseId(part.substr(0, dash), &first) && parseId(part.substr(dash + 1), &last) && first <= last;
        if (!ok) {
            *why = "\"" + part + "\" is not a unit id 0..255 or a range of them such as 10-20";
            return false;
        }
        for (int id = first; id <= last; ++id)
            ids->push_back(id);
        at = comma + 1;
    }
    return true;
}

int systemMaxBacklog()
{
    int value = 0;
    std::ifstream setting(kBacklogSetting);
    if (setting >> value && value > 0)
        return value;
    return SOMAXCONN;
}

int parseCommandLine(int argc, char** argv, Options* options)
{
    Options& o = *options;
    o.backlog = systemMaxBacklog();
    o.layout.coils.size = kDefaultTableSize;
    o.layout.discreteInputs.size = kDefaultTableSize;
    o.layout.holdingRegisters.size = kDefaultTableSize;
    o.layout.inputRegisters.size = kDefaultTableSize;

    CLI::App app{"Modbus slave simulator: serves coils, discrete inputs, holding and input registers to any number "
                 "of TCP masters (printing connections and requests per second), or on a serial line (RTU).",
                 "tvk-modbus-slave"};
    app.set_version_flag("-V,--version", std::string("tvk-modbus-slave ") + TVK_VERSION);
    app.footer(kFooter);

    CLI::Option* address =
        app.add_option("-a,--address", o.address,
                       "address or host name to listen on, IPv4 or IPv6; the default keeps the simulator to this "
                       "machine, 0.0.0.0 or :: opens it to the network")
            ->capture_default_str();
    CLI::Option* port = app.add_option("-p,--port", o.port, "TCP port to listen on; 0 picks a free one (printed)")
                            ->check(CLI::Range(0, 65535))
                            ->capture_default_str();
    CLI::Option* backlog =
        app.add_option("--backlog", o.backlog,
                       "connection requests the system may queue before they are taken (default: the system's "
                       "maximum, net.core.somaxconn)")
            ->check(CLI::PositiveNumber);
    std::string unitIds;
    const CLI::Validator unitIdList(
        [](std::string& text) {
            std::vector<int> ids;
            std::string why;
            return parseUnitIds(text, &ids, &why) ? std::string() : why;
        },
        "LIST");
    CLI::Option* unitId = app.add_option("--unit-id", unitIds,
                                         "unit ids answered, e.g. 1,2,10-20; a request for another gets no answer, "
                                         "as from a gateway without that device (default: every unit id)")
                              ->check(unitIdList);
    CLI::Option* delay = app.add_option("--delay", o.delayMs, "answer every request this many milliseconds late")
                             ->check(CLI::Range(0, kMaxDelayMs))
                             ->capture_default_str();
    bool verbose = false;
    bool quiet = false;
    CLI::Option* verboseFlag =
        app.add_flag("-v,--verbose", verbose,
                     "one line per request: peer, unit, function, address, count and result");
    app.add_flag("-q,--quiet", quiet, "print errors only")->excludes(verboseFlag);

    CLI::Option_group* security = app.add_option_group(
        "Security", "Who may connect, and Modbus/TCP Security: TLS with a certificate on both ends, the client's "
                    "role deciding what it may read and write");
    CLI::Option* tls = security->add_flag("--tls", o.security.tls,
                                          "serve Modbus/TCP Security (port 802 unless -p says otherwise)");
    CLI::Option* certificate =
        security->add_option("--cert", o.security.certificate, "the server's certificate (PEM)")->check(CLI::ExistingFile);
    CLI::Option* key = security->add_option("--key", o.security.key, "its private key (PEM)")->check(CLI::ExistingFile);
    CLI::Option* ca = security->add_option("--ca", o.security.ca,
                                           "the CA the clients' certificates must chain up to (file or folder)")
                          ->check(CLI::ExistingPath);
    CLI::Option* roles = security->add_option("--roles", o.security.roles,
                                              "rules file, one rule a line: ROLE read|write TABLE FIRST-LAST "
                                              "(without it, clients may do nothing)")
                             ->check(CLI::ExistingFile);
    for (CLI::Option* needed : {certificate, key, ca}) {
        tls->needs(needed);
        needed->needs(tls);
    }
    roles->needs(tls);
    CLI::Option* allow = security->add_option("--allow", o.security.allow,
                                              "a network that may connect, e.g. 192.168.10.0/24 or fd00::/8 "
                                              "(repeatable; default: anyone who reaches the port)")
                             ->check([](const std::string& text) {
                                 return validNetwork(text) ? std::string() : "not a network (CIDR): " + text;
                             });

    CLI::Option_group* serial =
        app.add_option_group("Serial line (RTU)", "Given --serial, the tables are served on that line instead of TCP");
    CLI::Option* device = serial->add_option("--serial", o.serial.device, "serial device, e.g. /dev/ttyUSB0");
    // Over TCP only: the serial responder answers one slave id, at once,
    // and reports no single requests.
    for (CLI::Option* tcpOnly : {address, port, backlog, unitId, delay, verboseFlag, tls, allow})
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
        parseUnitIds(unitIds, &o.unitIds, &why);   // checked while parsing
    o.verbosity = quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal;
    if (o.security.tls && port->count() == 0)
        o.port = Quorvan::kModbusTlsPort;
    return -1;
}

bool validNetwork(const std::string& text)
{
    const std::size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    unsigned char address[16];
    int width = 0;
    if (::inet_pton(AF_INET, host.c_str(), address) == 1)
        width = 32;
    else if (::inet_pton(AF_INET6, host.c_str(), address) == 1)
        width = 128;
    else
        return false;
    if (slash == std::string::npos)
        return true;
    const std::string bits = text.substr(slash + 1);
    return !bits.empty() && bits.size() <= 3 && bits.find_first_not_of("0123456789") == std::string::npos
        && std::stoi(bits) <= width;
}

} // namespace tvkslave
