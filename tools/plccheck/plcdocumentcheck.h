// SPDX-License-Identifier: MIT
#ifndef PLCDOCUMENTCHECK_H
#define PLCDOCUMENTCHECK_H

#include "tvkmessagehandler.h"
#include "tvkparseplccommon.h"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// The checker never judges a script itself: the library reads it, and every
// verdict (the root's, each section's, each list's, each condition's) is the
// isValid() of a library object, built by the library's root or by a
// library class handed the value in question. What this unit adds is only
// where and why: it walks a DOM of the same text to find the place (a JSON
// path and a byte offset) of each part the library holds not valid, and
// describes what stands there.
struct PlcFinding {
    enum Severity { Error, Warning };
    Severity severity = Error;
    std::string place;        // JSON path, "(root)" for the document as a whole
    std::size_t offset = 0;   // byte in the text where the place begins
    std::string text;
};

// Which words of a word list the script held were written as fractional
// numbers, so that their single-precision bits can be shown as the number
// they stand for. Keyed by the held list, inside the script it was made for.
using PlcFloatWords = std::map<const Quorvan::CtvkParseParamsArray*, std::vector<bool>>;

// For a text that script has just read (with parseText): every part not
// valid (errors), and everything the reader dropped, ignored or replaced,
// every endpoint a host could not connect to, and every identifier, cycle
// time or list length a panel cannot use (warnings: the library's flags
// let them pass, the checker by default does not), in text order.
// A text that did not parse gives the one error that stopped it. floatWords,
// if given, receives the marks for the trigger conditions' parameters.
std::vector<PlcFinding> plcExplain(const std::string& text, const Quorvan::CtvkParsePlcCommon& script,
                                   PlcFloatWords* floatWords = nullptr);

// Line and column (both from 1) of byte offsets in a text. Columns count
// characters: UTF-8 continuation bytes do not start a new column.
class PlcLineIndex {
public:
    // Offsets up to end can be asked for; the rest of the text is not scanned.
    explicit PlcLineIndex(const std::string& text, std::size_t end = std::string::npos);
    std::size_t line(std::size_t offset) const;
    std::size_t column(std::size_t offset) const;

private:
    const std::string& m_text;
    std::vector<std::size_t> m_lineStarts;
};

// Takes the library's own lines (the version line, word-list messages)
// while it lives, through the library's message handler, so that the
// checker decides where they go and standard output carries none of them.
// One at a time; the checker is single-threaded.
class PlcLibraryLines {
public:
    PlcLibraryLines();
    ~PlcLibraryLines();
    PlcLibraryLines(const PlcLibraryLines&) = delete;
    PlcLibraryLines& operator=(const PlcLibraryLines&) = delete;

    // Every line so far, each with its line end.
    const std::string& text() const { return m_text; }

private:
    static void take(const char* library, const char* line);

    std::string m_text;
    PlcLibraryLines* m_outer;
    Quorvan::CtvkMessageHandler m_previous;
};

#endif
