// SPDX-License-Identifier: MIT
#include "plcscriptgenerator.h"

#include <cstdio>

std::uint32_t PlcScriptGenerator::next()
{
    m_state = m_state * 1664525u + 1013904223u;
    return m_state >> 8;
}

void PlcScriptGenerator::numberList(std::string& out, std::size_t n, std::uint32_t base, std::uint32_t spread)
{
    out += '[';
    for (std::size_t i = 0; i < n; ++i) {
        if (i)
            out += ", ";
        out += std::to_string(base + next() % spread);
    }
    out += ']';
}

void PlcScriptGenerator::wordList(std::string& out, std::size_t n)
{
    char buf[32];
    out += '[';
    for (std::size_t i = 0; i < n; ++i) {
        if (i)
            out += ", ";
        switch (next() % 4) {
        case 0:
            std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(next() % 100000) / 7.0);
            break;
        case 1:
            std::snprintf(buf, sizeof buf, "-%u", next() % 5000);
            break;
        default:
            std::snprintf(buf, sizeof buf, "%u", next() % 200000);
            break;
        }
        out += buf;
    }
    out += ']';
}

void PlcScriptGenerator::feature(std::string& out, const char* name, bool last)
{
    out += "      \"";
    out += name;
    out += "\": [\n";
    const std::size_t sets = 1 + next() % 3;
    for (std::size_t s = 0; s < sets; ++s) {
        out += "        {\n          \"Condition\": [\n";
        const std::size_t conditions = 1 + next() % 3;
        for (std::size_t c = 0; c < conditions; ++c) {
            out += "            {\"Type\": " + std::to_string(1 + next() % 12) + ", \"Params\": ";
            wordList(out, 2 + next() % 4);
            out += c + 1 < conditions ? "},\n" : "}\n";
        }
        out += s + 1 < sets ? "          ]\n        },\n" : "          ]\n        }\n";
    }
    out += last ? "      ]\n" : "      ],\n";
}

void PlcScriptGenerator::trigger(std::string& out)
{
    ++m_triggers;
    out += "  {\n    \"Type\": {\n      \"ID\": 17,\n";
    out += "      \"GroupID\": " + std::to_string(next() % 64) + ",\n";
    out += "      \"OutTime\": " + std::to_string(1000 + next() % 9000) + ",\n";
    out += "      \"DelayTime\": " + std::to_string(next() % 500) + ",\n";
    out += "      \"SendCount\": " + std::to_string(1 + next() % 5) + ",\n";
    out += "      \"DataIDFlag\": " + std::to_string(next() % 2) + ",\n";
    out += "      \"DataIDList\": ";
    numberList(out, 4 + next() % 12, 100000, 900000);
    out += ",\n";
    feature(out, "StartTrigger", false);
    feature(out, "SendTrigger", false);
    feature(out, "StopTrigger", true);
    out += "    }\n  }";
}

std::string PlcScriptGenerator::generate(std::size_t targetBytes, std::size_t moldBlocks)
{
    std::string out;
    out.reserve(targetBytes + targetBytes / 16);
    out += "[\n  {\n    \"Protocol\": {\n      \"Version\": 3,\n      \"Private\": 1,\n"
           "      \"Src\": {\"IP\": \"192.168.10.20\", \"Port\": 6000},\n"
           "      \"Host\": {\"IP\": \"192.168.10.1\", \"Port\": 6001}\n    }\n  },\n";
    out += "  {\n    \"Type\": {\"ID\": 7, \"CycleTime\": 1000}\n  },\n";
    out += "  {\n    \"Type\": {\n      \"ID\": 1,\n      \"CycleTime\": 200,\n      \"DataIDList\": ";
    numberList(out, 400, 100000, 900000);
    out += "\n    }\n  },\n  {\n    \"Type\": {\n      \"ID\": 9,\n      \"MoldList\": [\n";
    for (std::size_t b = 0; b < moldBlocks; ++b) {
        const std::size_t n = 20 + next() % 60;
        out += "        {\n          \"Type\": " + std::to_string(b + 1) + ",\n          \"DataIDList\": ";
        numberList(out, n, 200000, 100000);
        out += ",\n          \"DataTypeList\": ";
        numberList(out, n, 0, 8);
        out += ",\n          \"DataStateList\": ";
        numberList(out, n, 0, 3);
        out += ",\n          \"DataValueList\": ";
        wordList(out, n);
        out += b + 1 < moldBlocks ? "\n        },\n" : "\n        }\n";
    }
    out += "      ]\n    }\n  }";
    while (out.size() < targetBytes) {
        out += ",\n";
        trigger(out);
    }
    out += "\n]\n";
    return out;
}
