// SPDX-License-Identifier: MIT
#ifndef POLL_POLLOPTIONS_H
#define POLL_POLLOPTIONS_H

#include "tvktoolexit.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace tvkpoll {

// Register tables, numbered as on the command line (-t).
enum class Table { Coils = 0, DiscreteInputs = 1, InputRegisters = 3, HoldingRegisters = 4 };

// How register contents are shown and written: 16-bit decimal or hex, or
// pairs of registers taken as one 32-bit integer or float.
enum class Format { Decimal, Hex, Int32, Float32 };

enum class Mode { Tcp, Rtu };

struct PollOptions {
    Mode mode = Mode::Tcp;
    std::string device;            // host name or address (TCP), serial port (RTU)
    std::vector<int> slaves{1};    // polled in this order each round; one only for a write
    int reference = 1;             // first reference as the user counts
    bool zeroBased = false;        // -0: references are protocol addresses
    int count = 1;                 // number of values (32-bit values count once)
    Table table = Table::HoldingRegisters;
    Format format = Format::Decimal;
    bool bigEndianWords = false;   // -B: first register of a pair is the high word
    bool once = false;
    long polls = 0;                // 0: until interrupted
    int intervalMs = 1000;
    double timeoutSeconds = 1.0;
    int retries = 1;
    int port = 502;
    int baudRate = 19200;
    char parity = 'E';             // 'N', 'E' or 'O'
    int dataBits = 8;
    int stopBits = 1;
    bool json = false;
    bool quiet = false;            // -q: the values and the errors only
    bool verbose = false;          // -v: each request, its frames and its outcome on standard error
    bool reportSlaveId = false;    // -u: ask each slave for its id (function 17) instead
    int serialMode = 0;            // -F 1 RS-485 with RTS on when sending, -R 2 after sending
    std::vector<std::string> writeValues;
    // -m tls: Modbus/TCP Security, with this end's certificate and key and
    // the CA the server's certificate must chain up to.
    bool tls = false;
    std::string certificate;
    std::string key;
    std::string ca;

    // Protocol address of the first value.
    int address() const { return zeroBased ? reference : reference - 1; }
    bool isBitTable() const { return table == Table::Coils || table == Table::DiscreteInputs; }
    // Registers (or bits) one value takes.
    int width() const { return format == Format::Int32 || format == Format::Float32 ? 2 : 1; }
    // Coils or registers on the wire: what -c asks for, in protocol units.
    int units() const { return isBitTable() ? count : count * width(); }
    bool isWrite() const { return !writeValues.empty(); }
    // Polling on until stopped or a number of polls, rather than one round.
    bool isPolling() const { return polls != 1; }
};

// What parsing decided: run with the options, or end at once with the exit
// status (success after --help or --version, ExitUsage after a usage error,
// whose message and usage line went to `err`).
struct ParseOutcome {
    bool run = false;
    tvktool::ExitStatus exitStatus = tvktool::ExitSuccess;
    PollOptions options;
};

ParseOutcome parsePollOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// "-a 1,3,5", "-a 1:5", "-a 32,33,36:40": the slaves in the order given, a
// range in rising order. False with `message` set for anything else or an
// address above `highest`.
bool parseSlaveList(const std::string& text, int lowest, int highest, std::vector<int>& slaves,
                    std::string& message);

// What the tool says of a table, and the function codes that reach it.
struct TableInfo {
    Table table;
    const char* name;         // "holding registers", in JSON and messages
    const char* mbpollName;   // "output (holding) register", in mbpoll's lines
    int readFunction;
    int writeSingleFunction;     // 0: the table cannot be written
    int writeMultipleFunction;
};

const TableInfo& tableInfo(Table table);
const char* tableName(Table table);
const char* programVersion();

} // namespace tvkpoll

#endif
