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
// inside the table as the command line lays it out; the first line that does
// not fit stops the reading with its line number.

#include <istream>
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

// Where and why the reading stopped. line is 0 when the file as a whole
// cannot be read.
struct InitFileError {
    int line = 0;
    std::string message;
};

bool readInitialValues(std::istream& in, const Layout& layout, std::vector<InitialBlock>* blocks,
                       InitFileError* error);
// The same from a path; "-" reads standard input.
bool readInitialValuesFile(const std::string& path, const Layout& layout, std::vector<InitialBlock>* blocks,
                           InitFileError* error);

} // namespace tvkslave

#endif
