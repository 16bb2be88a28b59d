// SPDX-License-Identifier: MIT
#ifndef SLAVEINITFILE_H
#define SLAVEINITFILE_H

// The initial-values file of tvk-modbus-slave: one block of values per line,
//
//     <table> <address> <value> [<value> ...]     # comment
//
// table    coils (co), discrete-inputs (di), holding-registers (hr),
//          input-registers (ir)
// address  the Modbus address of the first value, as on the wire (the first
//          entry of a table is its start address), decimal or 0x hex
// value    written to consecutive addresses; 0 or 1 for the bit tables,
//          0..65535 (or -32768..-1, stored as its 16-bit pattern) for the
//          register tables; decimal or 0x hex
//
// Blank lines and everything from '#' on are ignored. Every value must land
// inside the table as the command line lays it out. Every line that does
// not fit is named with its number (the first kMaxReportedErrors of them);
// nothing is served then.
//
// The file is a regular file or standard input, at most kMaxFileBytes, its
// lines at most kMaxLineBytes: the largest tables written one value per
// line, or a whole table on one line, fit many times over, while a device
// or an endless stream is refused instead of filling memory.

#include <cstddef>
#include <string>
#include <vector>

namespace tvkslave {

enum class Table { Coils, DiscreteInputs, HoldingRegisters, InputRegisters };

// Modbus address of the first entry and number of entries of one table.
struct TableLayout {
    int start = 0;
    int size = 0;
};

struct Layout {
    TableLayout coils;
    TableLayout discreteInputs;
    TableLayout holdingRegisters;
    TableLayout inputRegisters;

    const TableLayout& of(Table table) const;
};

const char* tableName(Table table);

// Values for consecutive addresses of one table, from one line.
struct InitialBlock {
    Table table = Table::Coils;
    int address = 0;
    std::vector<unsigned short> values;
    int line = 0;
};

constexpr std::size_t kMaxFileBytes = 16 * 1024 * 1024;
constexpr std::size_t kMaxLineBytes = 1024 * 1024;
constexpr std::size_t kMaxReportedErrors = 100;

// A line that does not fit and why; line 0 when the file as a whole cannot
// be read, or to say how many more bad lines there were.
struct InitFileError {
    int line = 0;
    std::string message;
};

// Reads the whole text of a file; true when every line fits. Each bad line
// adds one error, in order.
bool readInitialValues(const std::string& text, const Layout& layout, std::vector<InitialBlock>* blocks,
                       std::vector<InitFileError>* errors);
// The same from a path; "-" reads standard input.
bool readInitialValuesFile(const std::string& path, const Layout& layout, std::vector<InitialBlock>* blocks,
                           std::vector<InitFileError>* errors);

} // namespace tvkslave

#endif
