// SPDX-License-Identifier: MIT
#include "slaveinitfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
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

// A word of the file as a message quotes it: bytes that are not printable
// become '?', and a long word is cut, so that a binary file read by mistake
// cannot fill a terminal with garbage.
std::string shown(const std::string& word)
{
    constexpr std::size_t kShownBytes = 32;
    std::string out;
    for (std::size_t i = 0; i < word.size() && i < kShownBytes; ++i) {
        const auto c = static_cast<unsigned char>(word[i]);
        out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    return word.size() > kShownBytes ? out + "..." : out;
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

namespace {

// One line without its comment. True when it fits; a blank line gives a
// block without values.
bool readLine(const std::string& text, const Layout& layout, InitialBlock* block, std::string* why)
{
    std::istringstream words(text);
    std::string word;
    if (!(words >> word))
        return true;   // blank or comment only

    bool known = false;
    for (const TableName& t : kTableNames) {
        if (word == t.name || word == t.shortName) {
            block->table = t.table;
            known = true;
        }
    }
    if (!known) {
        *why = "unknown table \"" + shown(word)
            + "\" (coils, discrete-inputs, holding-registers, input-registers, or co, di, hr, ir)";
        return false;
    }

    const TableLayout& table = layout.of(block->table);
    long long address = 0;
    if (!(words >> word)) {
        *why = "address missing after \"" + std::string(tableName(block->table)) + "\"";
        return false;
    }
    if (!parseNumber(word, &address)) {
        *why = "address \"" + shown(word) + "\" is not a number";
        return false;
    }

    long long at = address;
    while (words >> word) {
        long long value = 0;
        if (!parseNumber(word, &value)) {
            *why = "value \"" + shown(word) + "\" is not a number";
            return false;
        }
        if (isBitTable(block->table) ? (value != 0 && value != 1) : (value < -32768 || value > 65535)) {
            *why = "value " + word + " does not fit " + tableName(block->table)
                + (isBitTable(block->table) ? " (0 or 1)" : " (0..65535, or -32768..-1)");
            return false;
        }
        if (at < table.start || at >= static_cast<long long>(table.start) + table.size) {
            *why = "address " + std::to_string(at) + " is outside " + tableName(block->table) + " (" + range(table)
                + ")";
            return false;
        }
        block->values.push_back(static_cast<unsigned short>(value & 0xffff));
        ++at;
    }
    if (block->values.empty()) {
        *why = "no value after the address";
        return false;
    }
    block->address = static_cast<int>(address);
    return true;
}

std::string tooLarge()
{
    return "larger than " + std::to_string(kMaxFileBytes / (1024 * 1024)) + " MiB";
}

// The whole text of `path` ("-": standard input), refused when it is not a
// regular file or standard input, or larger than kMaxFileBytes.
bool readText(const std::string& path, std::string* text, std::string* why)
{
    const bool own = path != "-";
    int fd = STDIN_FILENO;
    if (own) {
        // Non-blocking: opening a FIFO must not wait for a writer before it
        // is refused below.
        do
            fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        while (fd < 0 && errno == EINTR);
        const int openErr = errno;
        if (fd < 0) {
            *why = std::strerror(openErr);
            return false;
        }
        struct stat st{};
        if (::fstat(fd, &st) != 0)
            *why = std::strerror(errno);
        else if (S_ISDIR(st.st_mode))
            *why = "is a directory";
        else if (!S_ISREG(st.st_mode))
            *why = "not a regular file (- reads standard input)";
        else if (static_cast<unsigned long long>(st.st_size) > kMaxFileBytes)
            *why = tooLarge();
        if (!why->empty()) {
            ::close(fd);
            return false;
        }
    }
    bool ok = true;
    char chunk[64 * 1024];
    while (text->size() <= kMaxFileBytes) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        const int err = errno;
        if (n < 0 && err == EINTR)
            continue;
        if (n < 0) {
            *why = std::string("read error: ") + std::strerror(err);
            ok = false;
        }
        if (n <= 0)
            break;
        text->append(chunk, static_cast<std::size_t>(n));
    }
    if (ok && text->size() > kMaxFileBytes) {
        *why = tooLarge();
        ok = false;
    }
    if (own)
        ::close(fd);
    return ok;
}

} // namespace

bool readInitialValues(const std::string& text, const Layout& layout, std::vector<InitialBlock>* blocks,
                       std::vector<InitFileError>* errors)
{
    std::size_t bad = 0;
    const auto report = [&](int line, std::string message) {
        if (++bad <= kMaxReportedErrors && errors)
            errors->push_back(InitFileError{line, std::move(message)});
    };
    // Read as part of the first table's name, it would only make line 1 look
    // wrong for a reason nobody can see.
    constexpr const char kByteOrderMark[] = "\xEF\xBB\xBF";
    if (text.compare(0, 3, kByteOrderMark) == 0) {
        report(1, "starts with a UTF-8 byte-order mark (save it without one)");
        return false;
    }
    int lineNumber = 0;
    for (std::size_t at = 0; at < text.size();) {
        ++lineNumber;
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, std::min(end - at, kMaxLineBytes + 1));
        at = end + 1;
        if (line.size() > kMaxLineBytes) {
            report(lineNumber, "line longer than " + std::to_string(kMaxLineBytes / 1024) + " KiB");
            continue;
        }
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        InitialBlock block;
        block.line = lineNumber;
        std::string why;
        if (!readLine(line, layout, &block, &why))
            report(lineNumber, why);
        else if (!block.values.empty() && blocks)
            blocks->push_back(std::move(block));
    }
    if (bad > kMaxReportedErrors && errors)
        errors->push_back(InitFileError{0, std::to_string(bad - kMaxReportedErrors) + " more bad lines"});
    return bad == 0;
}

bool readInitialValuesFile(const std::string& path, const Layout& layout, std::vector<InitialBlock>* blocks,
                           std::vector<InitFileError>* errors)
{
    std::string text;
    std::string why;
    if (!readText(path, &text, &why)) {
        if (errors)
            errors->push_back(InitFileError{0, why});
        return false;
    }
    return readInitialValues(text, layout, blocks, errors);
}

} // namespace tvkslave
