#ifndef POLL_POLLOPTIONS_H
#define POLL_POLLOPTIONS_H

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
    int slave = 1;
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
    std::vector<std::string> writeValues;

    // Protocol address of the first value.
    int address() const { return zeroBased ? reference : reference - 1; }
    bool isBitTable() const { return table == Table::Coils || table == Table::DiscreteInputs; }
    // Registers (or bits) one value takes.
    int width() const { return format == Format::Int32 || format == Format::Float32 ? 2 : 1; }
};

// What parsing decided: run with the options, or end at once with the exit
// status (0 after --help or --version, 2 after a usage error, whose message
// and usage line went to `err`).
struct ParseOutcome {
    bool run = false;
    int exitStatus = 0;
    PollOptions options;
};

ParseOutcome parsePollOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

const char* tableName(Table table);
const char* programVersion();

} // namespace tvkpoll

#endif
