#include "slaveinitfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace tvkslave {

namespace {

struct TableName {
    const char* name;
    const char* shortName;
    Table table;
};

constexpr TableName kTableNames[] = {
    {"coils", "co", Table::Coils},
    {"discrete-inputs", "di", Table::DiscreteInputs},
    {"holding-registers", "hr", Table::HoldingRegisters},
    {"input-registers", "ir", Table::InputRegisters},
};

bool isBitTable(Table table)
{
    return table == Table::Coils || table == Table::DiscreteInputs;
}

// Decimal, or hex with 0x; a leading '-' for decimal only. Octal is not
// guessed from a leading 0: "010" is ten, as an engineer reading it expects.
bool parseNumber(const std::string& word, long long* value)
{
    const char* begin = word.data();
    const char* end = begin + word.size();
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        begin += 2;
        base = 16;
        if (*begin == '-' || *begin == '+')
            return false;
    }
    const auto result = std::from_chars(begin, end, *value, base);
    return result.ec == std::errc() && result.ptr == end;
}

bool fail(InitFileError* error, int line, const std::string& message)
{
    if (error) {
        error->line = line;
        error->message = message;
    }
    return false;
}

std::string range(const TableLayout& t)
{
    if (t.size <= 0)
        return "it has no entries";
    return "it holds " + std::to_string(t.start) + ".." + std::to_string(static_cast<long long>(t.start) + t.size - 1);
}

} // namespace

const TableLayout& Layout::of(Table table) const
{
    switch (table) {
    case Table::Coils: return coils;
    case Table::DiscreteInputs: return discreteInputs;
    case Table::HoldingRegisters: return holdingRegisters;
    case Table::InputRegisters: break;
    }
    return inputRegisters;
}

const char* tableName(Table table)
{
    for (const TableName& t : kTableNames)
        if (t.table == table)
            return t.name;
    return "?";
}

bool readInitialValues(std::istream& in, const Layout& layout, std::vector<InitialBlock>* blocks,
                       InitFileError* error)
{
    std::string text;
    int lineNumber = 0;
    while (std::getline(in, text)) {
        ++lineNumber;
        const std::size_t hash = text.find('#');
        if (hash != std::string::npos)
            text.erase(hash);
        std::istringstream words(text);
        std::string word;
        if (!(words >> word))
            continue;   // blank or comment only

        InitialBlock block;
        block.line = lineNumber;
        bool known = false;
        for (const TableName& t : kTableNames) {
            if (word == t.name || word == t.shortName) {
                block.table = t.table;
                known = true;
            }
        }
        if (!known)
            return fail(error, lineNumber,
                        "unknown table \"" + word
                            + "\" (coils, discrete-inputs, holding-registers, input-registers, or co, di, hr, ir)");

        const TableLayout& table = layout.of(block.table);
        long long address = 0;
        if (!(words >> word))
            return fail(error, lineNumber, "address missing after \"" + std::string(tableName(block.table)) + "\"");
        if (!parseNumber(word, &address))
            return fail(error, lineNumber, "address \"" + word + "\" is not a number");

        long long at = address;
        while (words >> word) {
            long long value = 0;
            if (!parseNumber(word, &value))
                return fail(error, lineNumber, "value \"" + word + "\" is not a number");
            if (isBitTable(block.table) ? (value != 0 && value != 1) : (value < -32768 || value > 65535))
                return fail(error, lineNumber,
                            "value " + word + " does not fit " + tableName(block.table)
                                + (isBitTable(block.table) ? " (0 or 1)" : " (0..65535, or -32768..-1)"));
            if (at < table.start || at >= static_cast<long long>(table.start) + table.size)
                return fail(error, lineNumber,
                            "address " + std::to_string(at) + " is outside " + tableName(block.table) + " ("
                                + range(table) + ")");
            block.values.push_back(static_cast<unsigned short>(value & 0xffff));
            ++at;
        }
        if (block.values.empty())
            return fail(error, lineNumber, "no value after the address");
        block.address = static_cast<int>(address);
        if (blocks)
            blocks->push_back(std::move(block));
    }
    if (in.bad())
        return fail(error, lineNumber, "read error after this line");
    return true;
}

bool readInitialValuesFile(const std::string& path, const Layout& layout, std::vector<InitialBlock>* blocks,
                           InitFileError* error)
{
    if (path == "-")
        return readInitialValues(std::cin, layout, blocks, error);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return fail(error, 0, std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return fail(error, 0, "is a directory");
    std::ifstream in(path);
    if (!in)
        return fail(error, 0, std::strerror(errno));
    return readInitialValues(in, layout, blocks, error);
}

} // namespace tvkslave
