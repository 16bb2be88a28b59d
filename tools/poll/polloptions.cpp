#include "polloptions.h"
#include "pollvalues.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <ostream>

namespace tvkpoll {

namespace {

// The rates a serial line can be set to. libmodbus would open a port at any
// other rate with 9600 baud and only a warning, so such a rate is refused
// here before it can talk to a device at the wrong speed.
const int kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 500000, 576000,
                          921600};

// What one request of the protocol carries at most.
int maxReadCount(Table table)
{
    return table == Table::Coils || table == Table::DiscreteInputs ? 2000 : 125;
}

int maxWriteCount(Table table)
{
    return table == Table::Coils ? 1968 : 123;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
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

// The checks that span several options; throws CLI::ValidationError.
void checkCombination(PollOptions& o, const std::string& tableType, const std::string& parity)
{
    if (!parseTableType(tableType, o))
        throw CLI::ValidationError("-t", "unknown table type \"" + tableType
                                             + "\" (0, 1, 3, 4, or 3 and 4 with :hex, :int or :float)");
    const std::string p = lower(parity);
    if (p == "none")
        o.parity = 'N';
    else if (p == "even")
        o.parity = 'E';
    else if (p == "odd")
        o.parity = 'O';
    else
        throw CLI::ValidationError("-P", "parity must be none, even or odd, not \"" + parity + "\"");

    if (o.mode == Mode::Rtu && o.slave == 0)
        throw CLI::ValidationError("-a", "slave address 0 is the broadcast address, which never answers: use 1 to 255");
    if (std::find(std::begin(kBaudRates), std::end(kBaudRates), o.baudRate) == std::end(kBaudRates))
        throw CLI::ValidationError("-b", "unsupported baud rate " + std::to_string(o.baudRate));

    int units = o.count * o.width();
    if (!o.writeValues.empty()) {
        if (o.table == Table::DiscreteInputs || o.table == Table::InputRegisters)
            throw CLI::ValidationError("values", std::string("the ") + tableName(o.table) + " table cannot be written");
        std::vector<unsigned short> words;
        std::string message;
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
    if (o.reference < first || o.address() > 65535)
        throw CLI::ValidationError("-r", "reference " + std::to_string(o.reference) + " is outside "
                                             + std::to_string(first) + " to " + std::to_string(65535 + first));
    if (o.address() + units > 65536)
        throw CLI::ValidationError("-c", "the values would run past the last address of the table");
}

} // namespace

const char* tableName(Table table)
{
    switch (table) {
    case Table::Coils:
        return "coils";
    case Table::DiscreteInputs:
        return "discrete inputs";
    case Table::InputRegisters:
        return "input registers";
    case Table::HoldingRegisters:
        return "holding registers";
    }
    return "?";
}

const char* programVersion()
{
    return TVK_VERSION;
}

ParseOutcome parsePollOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err)
{
    ParseOutcome outcome;
    PollOptions& o = outcome.options;
    std::string mode = "tcp";
    std::string tableType = "4";
    std::string parity = "even";

    CLI::App app{"Polls a Modbus device over TCP or a serial line (RTU): reads one of its four tables\n"
                 "again and again, or writes the values given after the device once.",
                 "tvk-modbus-poll"};
    app.set_version_flag("-V,--version", std::string("tvk-modbus-poll ") + programVersion());
    app.footer("Exit status: 0 when every poll succeeded, 1 on a device error, 2 on bad usage.\n"
               "Values below 0 follow a \"--\": tvk-modbus-poll -t 4:int 127.0.0.1 -- -5 7");

    app.add_option("device", o.device, "Host name or address (TCP), or serial port (RTU)")->required();
    app.add_option("values", o.writeValues,
                   "Values to write from the first reference on; without them the tool reads");

    app.add_option("-m", mode, "Mode: tcp or rtu (tcp is default)")
        ->check(CLI::IsMember({"tcp", "rtu"}, CLI::ignore_case));
    app.add_option("-a", o.slave, "Slave address (1-255 for rtu, 0-255 for tcp, 1 is default)")
        ->check(CLI::Range(0, 255));
    app.add_option("-r", o.reference, "Start reference (1 is default)");
    app.add_option("-c", o.count, "Number of values to read (1-125 registers, 1-2000 bits, 1 is default)")
        ->check(CLI::Range(1, 2000));
    app.add_option("-t", tableType,
                   "Table: 0 coils, 1 discrete inputs, 3 input registers, 4 holding registers (default); "
                   "3 and 4 take :hex for hexadecimal, :int for 32-bit integers, :float for 32-bit floats");
    app.add_flag("-0", o.zeroBased, "First reference is 0 (protocol addressing) instead of 1");
    app.add_flag("-B", o.bigEndianWords, "Big-endian word order for 32-bit integers and floats");
    auto* once = app.add_flag("-1", o.once, "Poll only once, otherwise every poll interval");
    app.add_option("--polls", o.polls, "Stop after this many polls (default: until Ctrl-C or SIGTERM)")
        ->check(CLI::PositiveNumber)
        ->excludes(once);
    app.add_option("-l", o.intervalMs, "Poll interval in ms (10 or more, 1000 is default)")
        ->check(CLI::Range(10, 86400000));
    app.add_option("-o", o.timeoutSeconds, "Response timeout in seconds (0.01-10.00, 1.00 is default)")
        ->check(CLI::Range(0.01, 10.0));
    app.add_option("--retries", o.retries, "Attempts per request before a poll fails (1 is default)")
        ->check(CLI::Range(1, 100));
    app.add_flag("--json", o.json, "One JSON object per poll on standard output: time, table, start, values or error");
    app.add_option("-p", o.port, "TCP: port number (502 is default)")->check(CLI::Range(1, 65535));
    app.add_option("-b", o.baudRate, "RTU: baud rate (1200-921600, 19200 is default)");
    app.add_option("-d", o.dataBits, "RTU: data bits (7 or 8, 8 is default)")->check(CLI::IsMember({7, 8}));
    app.add_option("-s", o.stopBits, "RTU: stop bits (1 or 2, 1 is default)")->check(CLI::IsMember({1, 2}));
    app.add_option("-P", parity, "RTU: parity (none, even, odd; even is default)");

    try {
        app.parse(argc, argv);
        o.mode = lower(mode) == "rtu" ? Mode::Rtu : Mode::Tcp;
        checkCombination(o, tableType, parity);
        if (o.once)
            o.polls = 1;
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {   // --help or --version
            app.exit(e, out, err);
            return outcome;
        }
        err << "tvk-modbus-poll: " << e.what() << "\n"
            << CLI::Formatter().make_usage(&app, "tvk-modbus-poll")
            << "Run with --help for more information.\n";
        outcome.exitStatus = 2;
        return outcome;
    }
    outcome.run = true;
    return outcome;
}

} // namespace tvkpoll
