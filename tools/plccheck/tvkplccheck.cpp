// SPDX-License-Identifier: MIT
// tvk-plccheck [--lenient] [--json | --quiet] <script.json | ->: reads a
// PLC communication script once (a file, a pipe or standard input), has
// the library read that text, prints what the library holds and whether
// its reading got to the end, then every place where a part is not valid,
// where the reader dropped, ignored or replaced what the author wrote, or
// where a value is one the panel cannot use, as FILE:LINE:COLUMN: error:
// PATH: TEXT, and last the verdict. Every finding is an error: a script
// must mean what it says. With --lenient, only the parts the library holds
// not valid are errors and the rest are warnings, which pass. Exit status:
// 0 no errors, 1 some error, 2 bad usage or input that cannot be read.
//
// --json prints one object: "file", "valid" (no errors), "lenient",
// "rootValid" (the library's isValid()), "status" (the exit status),
// "errors" and "warnings" (how many findings of each), "messages" (the
// library's own lines), "sections" (each section's validity, the
// mold-block and trigger counts) and "findings", each with "severity",
// "line", "column", "offset" (byte), "path" (JSON path) and "message".
// Input that cannot be read gives "file", "valid", "status" and "error".
#include "plcdocumentcheck.h"

#include "tvkparseplccommon.h"
#include "tvktoolusage.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <sstream>
#include <vector>

using namespace Quorvan;

namespace {

const char* validity(bool valid)
{
    return valid ? "valid" : "NOT valid";
}

template <class List>
std::string joined(const List& list)
{
    std::ostringstream out;
    for (std::size_t i = 0; i < list.size(); ++i)
        out << (i ? " " : "") << list[i];
    return out.str();
}

// A word the script wrote as a fractional number: its bits, and beside them
// the single-precision number they hold, in the shortest form that reads
// back to the same bits.
std::string floatWord(int word)
{
    float value;
    static_assert(sizeof value == sizeof word, "a word is 32 bits");
    std::memcpy(&value, &word, sizeof value);
    char number[32];
    char* end = std::to_chars(number, number + sizeof number, value).ptr;
    char bits[16];
    std::snprintf(bits, sizeof bits, "0x%08X", static_cast<unsigned int>(word));
    return std::string(bits) + " (float " + std::string(number, static_cast<std::size_t>(end - number)) + ")";
}

std::string words(const CtvkParseParamsArray& list, const PlcFloatWords& floats)
{
    const auto marks = floats.find(&list);
    std::string out;
    for (std::size_t i = 0; i < list.array().size(); ++i) {
        const int word = list.array()[i];
        const bool isFloat = marks != floats.end() && i < marks->second.size() && marks->second[i];
        out += (i ? ", " : "") + (isFloat ? floatWord(word) : std::to_string(word));
    }
    return out;
}

std::string counted(std::size_t n, const char* what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

void endpoint(const char* name, const CtvkParseProtocolData& e)
{
    std::cout << "  " << name << ": " << (e.ip().empty() ? "(no IP)" : e.ip()) << " port " << e.port() << " ("
              << validity(e.isValid()) << ")\n";
}

void feature(const char* name, const CtvkParseTriggerFeature& f, const PlcFloatWords& floats)
{
    std::cout << "    " << name << ": " << f.triggerParams().size() << " parameter sets (" << validity(f.isValid())
              << ")\n";
    for (std::size_t i = 0; i < f.triggerParams().size(); ++i) {
        const CtvkParseTriggerParamSet& set = f.triggerParams()[i];
        std::cout << "      set " << i << " (" << validity(set.isValid()) << ")\n";
        for (const CtvkParseTriggerCondition& c : set.conditions())
            std::cout << "        condition type " << c.type() << " params [" << words(c.params(), floats) << "]"
                      << (c.params().isValid() ? "" : " (params NOT valid)") << "\n";
    }
}

void summary(const CtvkParsePlcCommon& s, const PlcFloatWords& floats)
{
    const CtvkParseProtocol& p = s.protocol();
    std::cout << "protocol: version " << p.version() << ", private " << p.priv() << " (" << validity(p.isValid())
              << ")\n";
    endpoint("source", p.source());
    endpoint("host", p.host());
    const CtvkParseLineStatus& l = s.lineStatus();
    std::cout << "line status: ID " << l.ID() << ", cycle time " << l.cycleTime() << ", version " << l.version()
              << ", private " << l.priv() << " (" << validity(l.isValid()) << ")\n";
    const CtvkParseActual& a = s.actual();
    std::cout << "actual data: ID " << a.ID() << ", cycle time " << a.cycleTime() << ", "
              << a.dataIDSet().array().size() << " data IDs (" << validity(a.isValid()) << ", list "
              << validity(a.dataIDSet().isValid()) << ")\n";
    const CtvkParseMoldSet& m = s.moldSet();
    std::cout << "mold set: ID " << m.ID() << ", " << m.moldList().size() << " blocks (" << validity(m.isValid())
              << ")\n";
    for (const auto& entry : m.moldList()) {
        const CtvkParseMoldBlock& b = entry.second;
        std::cout << "  type " << entry.first << ": " << b.dataIDSet().array().size() << " data IDs, "
                  << b.dataTypeSet().array().size() << " types, " << b.dataStateSet().array().size() << " states, "
                  << b.dataValueSet().array().size() << " values\n";
    }
    std::cout << "triggers: " << s.triggers().size() << "\n";
    for (std::size_t i = 0; i < s.triggers().size(); ++i) {
        const CtvkParseTrigger& t = s.triggers()[i];
        std::cout << "  trigger " << i << ": group " << t.groupID() << ", out time " << t.outTime() << ", delay "
                  << t.delayTime() << ", send count " << t.sendCount() << ", data ID flag " << t.dataIDFlag()
                  << ", data IDs [" << joined(t.dataIDSet().array()) << "]\n";
        feature("start", t.startTrigger(), floats);
        feature("send", t.sendTrigger(), floats);
        feature("stop", t.stopTrigger(), floats);
    }
}

// The whole input, read once and never more than one byte past the
// script size limit (the library refuses the rest). Any kind of file is
// read here, pipes and FIFOs included: the checker hands the library text,
// not a path.
bool readInput(const std::string& path, std::string& text, std::string& why)
{
    const bool own = path != "-";
    int fd = STDIN_FILENO;
    if (own) {
        do
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            why = std::string("cannot open: ") + std::strerror(errno);
            return false;
        }
    }
    constexpr std::size_t kCapBytes = CtvkParsePlcCommon::kMaxScriptSizeBytes + 1;
    bool ok = true;
    try {
        // Reserved up front so the text is not copied as it grows: a
        // regular file's size, or else the whole limit (pages that are
        // never written cost nothing). Each read fills one chunk.
        struct stat st{};
        const bool sized = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0;
        text.reserve(sized ? std::min(static_cast<std::size_t>(st.st_size) + 1, kCapBytes) : kCapBytes);
        constexpr std::size_t kChunkBytes = 1024 * 1024;
        std::size_t used = 0;
        while (used < kCapBytes) {
            text.resize(std::min(used + kChunkBytes, kCapBytes));
            const ssize_t n = ::read(fd, &text[used], text.size() - used);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                why = std::string("cannot read: ") + std::strerror(errno);
                ok = false;
                break;
            }
            if (n == 0)
                break;
            used += static_cast<std::size_t>(n);
        }
        text.resize(used);
    } catch (const std::bad_alloc&) {
        why = "cannot read: not enough memory";
        ok = false;
    }
    if (own)
        ::close(fd);
    return ok;
}

std::string location(const std::string& name, const PlcLineIndex& lines, const PlcFinding& f)
{
    return name + ":" + std::to_string(lines.line(f.offset)) + ":" + std::to_string(lines.column(f.offset));
}

const char* severity(const PlcFinding& f)
{
    return f.severity == PlcFinding::Error ? "error" : "warning";
}

// Lines are counted only as far as the last place reported.
std::size_t lastOffset(const std::vector<PlcFinding>& findings)
{
    std::size_t last = 0;
    for (const PlcFinding& f : findings)
        last = std::max(last, f.offset);
    return last;
}

void printFindings(const std::string& name, const std::string& text, const std::vector<PlcFinding>& findings)
{
    const PlcLineIndex lines(text, lastOffset(findings));
    for (const PlcFinding& f : findings) {
        std::cout << location(name, lines, f) << ": " << severity(f) << ": ";
        if (!f.place.empty())
            std::cout << f.place << ": ";
        std::cout << f.text << "\n";
    }
}

using JsonWriter = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

void jsonString(JsonWriter& w, const std::string& s)
{
    w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

void jsonSections(JsonWriter& w, const CtvkParsePlcCommon& s)
{
    w.Key("sections");
    w.StartObject();
    w.Key("protocol");
    w.Bool(s.protocol().isValid());
    w.Key("actual");
    w.Bool(s.actual().isValid());
    w.Key("lineStatus");
    w.Bool(s.lineStatus().isValid());
    w.Key("moldSet");
    w.Bool(s.moldSet().isValid());
    w.Key("moldBlocks");
    w.Uint64(s.moldSet().moldList().size());
    w.Key("triggers");
    w.Uint64(s.triggers().size());
    w.EndObject();
}

// One object: the verdict, the library's own lines, what it holds and every
// finding with its place.
void printJson(const std::string& name, const std::string& text, const CtvkParsePlcCommon& script,
               const std::string& libraryLines, const std::vector<PlcFinding>& findings, tvktool::ExitStatus status,
               std::size_t errors, bool lenient)
{
    const PlcLineIndex lines(text, lastOffset(findings));
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartObject();
    w.Key("file");
    jsonString(w, name);
    w.Key("valid");
    w.Bool(status == tvktool::ExitSuccess);
    w.Key("lenient");
    w.Bool(lenient);
    w.Key("rootValid");
    w.Bool(script.isValid());
    w.Key("status");
    w.Int(status);
    w.Key("errors");
    w.Uint64(errors);
    w.Key("warnings");
    w.Uint64(findings.size() - errors);
    w.Key("messages");
    w.StartArray();
    std::istringstream in(libraryLines);
    for (std::string line; std::getline(in, line);)
        jsonString(w, line);
    w.EndArray();
    jsonSections(w, script);
    w.Key("findings");
    w.StartArray();
    for (const PlcFinding& f : findings) {
        w.StartObject();
        w.Key("severity");
        w.String(severity(f));
        w.Key("line");
        w.Uint64(lines.line(f.offset));
        w.Key("column");
        w.Uint64(lines.column(f.offset));
        w.Key("offset");
        w.Uint64(f.offset);
        w.Key("path");
        jsonString(w, f.place);
        w.Key("message");
        jsonString(w, f.text);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    std::cout << buffer.GetString() << "\n";
}

void printUnreadableJson(const std::string& name, const std::string& why)
{
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartObject();
    w.Key("file");
    jsonString(w, name);
    w.Key("valid");
    w.Bool(false);
    w.Key("status");
    w.Int(tvktool::ExitUsage);
    w.Key("error");
    jsonString(w, why);
    w.EndObject();
    std::cout << buffer.GetString() << "\n";
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app("Checks a PLC communication script: prints what the library reads from it, then\n"
                 "every place where a part is not valid, where the reader drops, ignores or\n"
                 "replaces what was written, or where a value is one the panel cannot use, as\n"
                 "FILE:LINE:COLUMN: error: PATH: TEXT, and last the verdict: \"verdict: valid\"\n"
                 "when there is no error. With --lenient only parts the library holds not valid\n"
                 "are errors; the rest are warnings, which pass.",
                 "tvk-plccheck");
    app.footer("The --json object holds file, valid, lenient, rootValid, status, errors,\n"
               "warnings, messages, sections and findings (severity, line, column, offset,\n"
               "path, message).\n\n"
               "Exit status: 0 valid, 1 some error in the script, 2 bad usage or unreadable input.");
    // Wide enough that no option runs into its description.
    app.get_formatter()->column_width(32);
    app.set_version_flag("-V,--version", std::string("tvk-plccheck ") + TVK_VERSION);
    std::string path;
    bool json = false;
    bool quiet = false;
    bool lenient = false;
    app.add_option("script", path, "the script file, or - for standard input")->required();
    app.add_flag("--lenient", lenient,
                 "judge by the library's flags; the rest are warnings");
    auto* jsonFlag = app.add_flag("--json", json, "print one JSON object for machines");
    app.add_flag("-q,--quiet", quiet, "print the verdict only")->excludes(jsonFlag);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return tvktool::parseFailure(app, e);
    }

    const std::string name = path == "-" ? std::string("<stdin>") : path;
    std::string text;
    std::string why;
    if (!readInput(path, text, why)) {
        if (json)
            printUnreadableJson(name, why);
        std::cerr << "tvk-plccheck: " << name << ": " << why << "\n";
        return tvktool::ExitUsage;
    }

    // The library's own lines (the version line, word-list messages) are
    // kept apart so that --json and --quiet stay what they say.
    CtvkParsePlcCommon script;
    std::string libraryLines;
    {
        const PlcLibraryLines capture;
        script.parseText(text);
        libraryLines = capture.text();
    }
    PlcFloatWords floats;
    std::vector<PlcFinding> findings = plcExplain(text, script, &floats);
    const auto libraryErrors = static_cast<std::size_t>(std::count_if(
        findings.begin(), findings.end(), [](const PlcFinding& f) { return f.severity == PlcFinding::Error; }));
    // What the library lets pass but a plant would get wrong fails the
    // script unless the engineer asks for the library's own judgement.
    if (!lenient)
        for (PlcFinding& f : findings)
            f.severity = PlcFinding::Error;
    const std::size_t errors = lenient ? libraryErrors : findings.size();
    const bool valid = script.isValid() && errors == 0;
    const tvktool::ExitStatus status = valid ? tvktool::ExitSuccess : tvktool::ExitFault;

    if (json) {
        printJson(name, text, script, libraryLines, findings, status, errors, lenient);
    } else if (quiet) {
        std::cout << name << ": " << validity(valid) << "\n";
    } else {
        std::cout << "script: " << name << "\n" << libraryLines;
        const bool parsed = script.isValid() || script.error() >= CtvkParsePlcCommon::ElementNotObject;
        if (parsed)
            summary(script, floats);
        // The library's own flag says only that its reading got to the
        // end; sections and lists inside may still be not valid, so it is
        // not put in the verdict's words.
        std::cout << "library: " << (script.isValid() ? "read to the end (isValid() true)"
                                                       : "stopped reading (isValid() false)")
                  << "\n";
        printFindings(name, text, findings);
        std::cout << "verdict: " << validity(valid) << " (" << counted(errors, "error") << ", "
                  << counted(findings.size() - errors, "warning");
        if (!valid && script.isValid() && libraryErrors == 0)
            std::cout << "; --lenient would pass it";
        std::cout << ")\n";
    }
    return status;
}
