#ifndef PLCDOCUMENTCHECK_H
#define PLCDOCUMENTCHECK_H

#include <rapidjson/document.h>

#include <string>
#include <vector>

// Walks a script document beside the library's readers, following the same
// rules, and notes every place where a part ends up not valid, where the
// reader drops something, and where a scalar is ignored. The walk follows
// the fixed shape of a script, so it never recurses on document depth.
struct PlcFinding {
    std::string place;
    std::string text;
};

struct PlcFindings {
    std::vector<PlcFinding> problems;   // parts that are not valid
    std::vector<PlcFinding> dropped;    // conditions and blocks the reader drops
    std::vector<PlcFinding> notes;      // ignored members and skipped elements
};

// Parses the text as the library does (iterative, same nesting limit, no
// byte-order mark, nothing after the root). Returns false with a message
// when the text does not parse.
bool plcParseDocument(const std::string& text, rapidjson::Document& doc, std::string& error);

PlcFindings plcCheckDocument(const rapidjson::Value& root);

#endif
