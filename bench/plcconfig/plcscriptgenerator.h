// SPDX-License-Identifier: MIT
#ifndef PLCSCRIPTGENERATOR_H
#define PLCSCRIPTGENERATOR_H

#include <cstddef>
#include <cstdint>
#include <string>

// Writes a large, realistic PLC communication script: a protocol element,
// line status, actual data, a mold set with many blocks and tens of
// thousands of triggers with condition trees, laid out the way a tool
// writes it (one member per line down to the conditions). Deterministic.
class PlcScriptGenerator {
public:
    explicit PlcScriptGenerator(std::uint32_t seed) : m_state(seed) {}
    std::string generate(std::size_t targetBytes, std::size_t moldBlocks);
    std::size_t triggers() const { return m_triggers; }

private:
    std::uint32_t next();
    void numberList(std::string& out, std::size_t n, std::uint32_t base, std::uint32_t spread);
    void wordList(std::string& out, std::size_t n);
    void feature(std::string& out, const char* name, bool last);
    void trigger(std::string& out);

    std::uint32_t m_state;
    std::size_t m_triggers = 0;
};

#endif
