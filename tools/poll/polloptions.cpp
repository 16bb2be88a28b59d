// SPDX-License-Identifier: MIT
#include "polloptions.h"

#include "tvkmodbustls.h"
#include "pollvalues.h"

#include "tvktoolusage.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace tvkpoll {

namespace {

// The rates a serial line can be set to. libmodbus would open a port at any
// other rate with 9600 baud and only a warning, so such a rate is refused
// here before it can talk to a device at the wrong speed.
const int kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 500000, 576000,
                          921600};

// What one request of the protocol carries at most, and where the tables end.
constexpr int kMaxReadBits = 2000;
constexpr int kMaxReadRegisters = 125;
constexpr int kMaxWriteCoils = 1968;
constexpr int kMaxWriteRegisters = 123;
constexpr int kHighestAddress = 65535;
constexpr int kHighestSlave = 255;

constexpr long kNoUpperBound = -1;

// The function codes of the requests the tool sends.
enum FunctionCode {
    NotWritable = 0,
    ReadCoils = 1,
    ReadDiscreteInputs = 2,
    ReadHoldingRegisters = 3,
    ReadInputRegisters = 4,
    WriteSingleCoil = 5,
    WriteSingleRegister = 6,
    WriteMultipleCoils = 15,
    WriteMultipleRegisters = 16
};

int maxReadCount(Table table)
{
    return table == Table::Coils || table == Table::DiscreteInputs ? kMaxReadBits : kMaxReadRegisters;
}

int maxWriteCount(Table table)
{
    return table == Table::Coils ? kMaxWriteCoils : kMaxWriteRegisters;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string shortNumber(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// A number within bounds, said in words ("the poll interval must be 10 to
// 86400000 ms, not 5"): CLI11's own range check prints the bound of an
// open range as a double in all its digits. `whole` refuses fractions.
CLI::Validator numberIn(const std::string& what, double lowest, double highest, const std::string& unit,
                        bool whole = true)
{
    const std::string bounds = highest == kNoUpperBound
        ? shortNumber(lowest) + " or more"
        : shortNumber(lowest) + " to " + shortNumber(highest) + unit;
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const double value =
                whole ? double(std::strtoll(text.c_str(), &end, 10)) : std::strtod(text.c_str(), &end);
            if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || *end != '\0' || errno != 0
                || !std::isfinite(value))
                return "\"" + text + "\" is not " + (whole ? "a whole number" : "a number");
            if (value < lowest || (highest != kNoUpperBound && value > highest))
                return what + " must be " + bounds + ", not " + text;
            return std::string();
        },
        "");
}

// "-t 4", "-t 3:hex", "-t 4:int", "-t 4:float".
bool parseTableType(const std::string& text, PollOptions& o)
{
    const std::string::size_type colon = text.find(':');
    const std::string table = text.substr(0, colon);
    const std::string suffix = colon == std::string::npos ? "" : lower(text.substr(colon + 1));
    if (table == "0")
        o.table = Table::Coils;
    else if (table == "1")
        o.table = Table::DiscreteInputs;
    else if (table == "3")
        o.table = Table::InputRegisters;
    else if (table == "4")
        o.table = Table::HoldingRegisters;
    else
        return false;
    if (suffix.empty() && colon == std::string::npos)
        o.format = Format::Decimal;
    else if (o.isBitTable())
        return false;
    else if (suffix == "hex")
        o.format = Format::Hex;
    else if (suffix == "int")
        o.format = Format::Int32;
    else if (suffix == "float")
        o.format = Format::Float32;
    else
        return false;
    return true;
}

// What the command line says beyond single options; throws
// CLI::ValidationError.
struct Unparsed {
    std::string mode = "tcp";
    std::string slaves = "1";
    std::string tableType = "4";
    std::string parity = "even";
    bool reportSlaveId = false;
    bool rtsAfterSending = false;
    bool rtsWhileSending = false;
};

void checkCombination(PollOptions& o, const Unparsed& u)
{
    o.mode = lower(u.mode) == "rtu" ? Mode::Rtu : Mode::Tcp;
    o.tls = lower(u.mode) == "tls";
    if (o.tls && (o.certificate.empty() || o.key.empty() || o.ca.empty()))
        throw CLI::ValidationError("-m", "tls needs --cert, --key and --ca");
    if (!o.tls && !(o.certificate.empty() && o.key.empty() && o.ca.empty()))
        throw CLI::ValidationError("--cert", "certificates are for -m tls");
    if (!parseTableType(u.tableType, o))
        throw CLI::ValidationError("-t", "unknown table type \"" + u.tableType
                                             + "\" (0, 1, 3, 4, or 3 and 4 with :hex, :int or :float)");
    const std::string p = lower(u.parity);
    if (p == "none")
        o.parity = 'N';
    else if (p == "even")
        o.parity = 'E';
    else if (p == "odd")
        o.parity = 'O';
    else
        throw CLI::ValidationError("-P", "parity must be none, even or odd, not \"" + u.parity + "\"");

    o.reportSlaveId = u.reportSlaveId;
    if (o.reportSlaveId && !o.writeValues.empty())
        throw CLI::ValidationError("-u", "reading the slave id takes no values to write");
    if (u.rtsAfterSending && u.rtsWhileSending)
        throw CLI::ValidationError("-R", "-R and -F exclude each other");
    if ((u.rtsAfterSending || u.rtsWhileSending) && o.mode != Mode::Rtu)
        throw CLI::ValidationError(u.rtsAfterSending ? "-R" : "-F", "RS-485 mode is for a serial line (-m rtu)");
    o.serialMode = u.rtsWhileSending ? 1 : u.rtsAfterSending ? 2 : 0;

    std::string message;
    if (!parseSlaveList(u.slaves, 0, kHighestSlave, o.slaves, message))
        throw CLI::ValidationError("-a", message);
    if (o.mode == Mode::Rtu && std::find(o.slaves.begin(), o.slaves.end(), 0) != o.slaves.end())
        throw CLI::ValidationError("-a", "slave address 0 is the broadcast address, which never answers: use 1 to 255");
    if (std::find(std::begin(kBaudRates), std::end(kBaudRates), o.baudRate) == std::end(kBaudRates))
        throw CLI::ValidationError("-b", "unsupported baud rate " + std::to_string(o.baudRate));

    int units = o.units();
    if (o.isWrite()) {
        if (o.slaves.size() > 1)
            throw CLI::ValidationError("-a", "a slave list is for reading: write to one slave at a time");
        if (!tableInfo(o.table).writeSingleFunction)
            throw CLI::ValidationError("values", std::string("the ") + tableName(o.table) + " table cannot be written");
        std::vector<unsigned short> words;
        if (!encodeValues(o.writeValues, o.table, o.format, o.bigEndianWords, words, message))
            throw CLI::ValidationError("values", message);
        units = int(words.size());
        if (units > maxWriteCount(o.table))
            throw CLI::ValidationError("values", "one request writes at most " + std::to_string(maxWriteCount(o.table))
                                                     + (o.isBitTable() ? " coils" : " registers"));
        o.count = int(o.writeValues.size());
    } else if (units > maxReadCount(o.table)) {
        throw CLI::ValidationError("-c", "one request reads at most " + std::to_string(maxReadCount(o.table))
                                             + (o.isBitTable() ? " bits" : " registers") + ", " + std::to_string(units)
                                             + " asked");
    }
    const int first = o.zeroBased ? 0 : 1;
    if (o.reference < first || o.address() > kHighestAddress)
        throw CLI::ValidationError("-r", "reference " + std::to_string(o.reference) + " is outside "
                                             + std::to_string(first) + " to "
                                             + std::to_string(kHighestAddress + first));
    if (o.address() + units > kHighestAddress + 1)
        throw CLI::ValidationError("-c", "the values would run past the last address of the table");
    if (o.once)
        o.polls = 1;
}

} // namespace

bool parseSlaveList(const std::string& text, int lowest, int highest, std::vector<int>& slaves, std::string& message)
{
    // Five digits at most: enough to name an address out of range, too few
    // to overflow.
    const auto address = [](const std::string& item, int& value) {
        const bool digits = !item.empty() && item.size() <= 5
            && std::all_of(item.begin(), item.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
        if (digits)
            value = std::stoi(item);
        return digits;
    };
    std::vector<int> found;
    std::string::size_type from = 0;
    while (from <= text.size()) {
        const std::string::size_type comma = std::min(text.find(',', from), text.size());
        const std::string item = text.substr(from, comma - from);
        const std::string::size_type colon = item.find(':');
        int first = 0;
        int last = 0;
        if (!address(item.substr(0, colon), first)
            || (colon != std::string::npos && !address(item.substr(colon + 1), last))) {
            message = "\"" + text + "\" is not a slave address or list (such as 1, 1,3,5 or 1:5)";
            return false;
        }
        if (colon == std::string::npos)
            last = first;
        for (const int a : {first, last}) {
            if (a < lowest || a > highest) {
                message = "slave " + std::to_string(a) + " is outside " + std::to_string(lowest) + " to "
                    + std::to_string(highest);
                return false;
            }
        }
        for (int a = std::min(first, last); a <= std::max(first, last); ++a)
            found.push_back(a);
        from = comma + 1;
    }
    slaves = found;
    return true;
}

const TableInfo& tableInfo(Table table)
{
    static const TableInfo kTables[] = {
        {Table::Coils, "coils", "discrete output (coil)", ReadCoils, WriteSingleCoil, WriteMultipleCoils},
        {Table::DiscreteInputs, "discrete inputs", "discrete input", ReadDiscreteInputs, NotWritable, NotWritable},
        {Table::InputRegisters, "input registers", "input register", ReadInputRegisters, NotWritable, NotWritable},
        {Table::HoldingRegisters, "holding registers", "output (holding) register", ReadHoldingRegisters,
         WriteSingleRegister, WriteMultipleRegisters},
    };
    for (const TableInfo& info : kTables)
        if (info.table == table)
            return info;
    return kTables[3];
}

const char* tableName(Table table)
{
    return tableInfo(table).name;
}

const char* programVersion()
{
    return TVK_VERSION;
}

ParseOutcome parsePollOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err)
{
    ParseOutcome outcome;
    PollOptions& o = outcome.options;
    Unparsed u;

    CLI::App app{"Polls a Modbus device over TCP or a serial line (RTU): reads one of its four tables\n"
                 "again and again, or writes the values given after the device once.",
                 "tvk-modbus-poll"};
    app.set_version_flag("-V,--version", std::string("tvk-modbus-poll ") + programVersion());
    app.footer("Exit status: 0 when every poll succeeded, 1 on a device error, 2 on bad usage.\n"
               "Values below 0 follow a \"--\": tvk-modbus-poll -t 4:int 127.0.0.1 -- -5 7");

    app.add_option("device", o.device, "Host name or address (TCP), or serial port (RTU)")->required();
    app.add_option("values", o.writeValues,
                   "Values to write from the first reference on; without them the tool reads");

    app.add_option("-m", u.mode, "Mode: tcp, rtu, or tls for Modbus/TCP Security (tcp is default)")
        ->check(CLI::IsMember({"tcp", "rtu", "tls"}, CLI::ignore_case));
    app.add_option("--cert", o.certificate, "TLS: this client's certificate (PEM), which carries its role")
        ->check(CLI::ExistingFile);
    app.add_option("--key", o.key, "TLS: its private key (PEM)")->check(CLI::ExistingFile);
    app.add_option("--ca", o.ca, "TLS: the CA the server's certificate must chain up to (file or folder)")
        ->check(CLI::ExistingPath);
    app.add_option("-a", u.slaves,
                   "Slave address (1-255 for rtu, 0-255 for tcp, 1 is default); for reading, a list polled in "
                   "turn: 1,3,5 or 1:5 or 32,33,36:40");
    app.add_option("-r", o.reference, "Start reference (1 is default)")
        ->check(numberIn("the reference", 0, kHighestAddress + 1, ""));
    app.add_option("-c", o.count, "Number of values to read (1-125 registers, 1-2000 bits, 1 is default)")
        ->check(numberIn("the number of values", 1, kMaxReadBits, ""));
    app.add_option("-t", u.tableType,
                   "Table: 0 coils, 1 discrete inputs, 3 input registers, 4 holding registers (default); "
                   "3 and 4 take :hex for hexadecimal, :int for 32-bit integers, :float for 32-bit floats");
    app.add_flag("-0", o.zeroBased, "First reference is 0 (protocol addressing) instead of 1");
    app.add_flag("-B", o.bigEndianWords, "Big-endian word order for 32-bit integers and floats");
    auto* once = app.add_flag("-1", o.once, "Poll only once, otherwise every poll interval");
    app.add_option("--polls", o.polls, "Stop after this many polls (default: until Ctrl-C or SIGTERM)")
        ->check(numberIn("the number of polls", 1, kNoUpperBound, ""))
        ->excludes(once);
    app.add_option("-l", o.intervalMs, "Poll interval in ms (10 or more, 1000 is default)")
        ->check(numberIn("the poll interval", 10, 86400000, " ms"));
    app.add_option("-o", o.timeoutSeconds, "Response timeout in seconds (0.01-10.00, 1.00 is default)")
        ->check(numberIn("the timeout", 0.01, 10.0, " s", false));
    app.add_option("--retries", o.retries, "Attempts per request before a poll fails (1 is default)")
        ->check(numberIn("the number of attempts", 1, 100, ""));
    app.add_flag("-q", o.quiet, "Quiet: the values and the errors only, no header, slave lines or summary");
    app.add_flag("-v", o.verbose, "Verbose: each request and its outcome, and the connection, on standard error");
    app.add_flag("-u", u.reportSlaveId, "Report slave id (function 17) instead of reading a table");
    app.add_flag("--json", o.json,
                 "One JSON object per slave and poll on standard output: time, poll, slave, table, start, "
                 "values or error (with the exception code and name)");
    CLI::Option* portOption = app.add_option("-p", o.port, "TCP: port number (502 is default, 802 with -m tls)")
        ->check(numberIn("the port", 1, 65535, ""));
    app.add_option("-b", o.baudRate, "RTU: baud rate (1200-921600, 19200 is default)")
        ->check(numberIn("the baud rate", 1, kNoUpperBound, ""));
    app.add_option("-d", o.dataBits, "RTU: data bits (7 or 8, 8 is default)")->check(CLI::IsMember({7, 8}));
    app.add_option("-s", o.stopBits, "RTU: stop bits (1 or 2, 1 is default)")->check(CLI::IsMember({1, 2}));
    app.add_option("-P", u.parity, "RTU: parity (none, even, odd; even is default)");
    app.add_flag("-R", u.rtsAfterSending, "RTU: RS-485 mode, RTS on (0) after sending (by the serial driver)");
    app.add_flag("-F", u.rtsWhileSending, "RTU: RS-485 mode, RTS on (0) when sending (by the serial driver)");

    try {
        app.parse(argc, argv);
        checkCombination(o, u);
        if (o.tls && portOption->count() == 0)
            o.port = Quorvan::kModbusTlsPort;
    } catch (const CLI::ParseError& e) {
        outcome.exitStatus = tvktool::parseFailure(app, e, out, err);
        return outcome;
    }
    outcome.run = true;
    return outcome;
}

} // namespace tvkpoll
