// tvk-plccheck <script.json>: reads a PLC communication script with the
// library, prints what it holds, then every place where a part is not valid
// and everything the reader drops. Exit status: 0 all valid, 1 some part not
// valid, 2 the script as a whole is not valid (or cannot be read).
#include "plcdocumentcheck.h"

#include "tvkparseplccommon.h"

#include <cstdio>
#include <iostream>
#include <sstream>

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

void endpoint(const char* name, const CtvkParseProtocolData& e)
{
    std::cout << "  " << name << ": " << (e.ip().empty() ? "(no IP)" : e.ip()) << " port " << e.port() << " ("
              << validity(e.isValid()) << ")\n";
}

void feature(const char* name, const CtvkParseTriggerFeature& f)
{
    std::cout << "    " << name << ": " << f.triggerParams().size() << " parameter sets (" << validity(f.isValid())
              << ")\n";
    for (std::size_t i = 0; i < f.triggerParams().size(); ++i) {
        const CtvkParseTriggerParamSet& set = f.triggerParams()[i];
        std::cout << "      set " << i << " (" << validity(set.isValid()) << ")\n";
        for (const CtvkParseTriggerCondition& c : set.conditions())
            std::cout << "        condition type " << c.type() << " params [" << joined(c.params().array()) << "]"
                      << (c.params().isValid() ? "" : " (params NOT valid)") << "\n";
    }
}

void summary(const CtvkParsePlcCommon& s)
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
        feature("start", t.startTrigger());
        feature("send", t.sendTrigger());
        feature("stop", t.stopTrigger());
    }
}

// The whole file; on failure the reason (a directory opens but does not read).
bool readWhole(const std::string& path, std::string& text, const char*& failure)
{
    failure = "cannot open ";
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    failure = "cannot read ";
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0)
        text.append(buf, n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return !failed;
}

void list(const char* title, const std::vector<PlcFinding>& findings)
{
    if (findings.empty())
        return;
    std::cout << title << ":\n";
    for (const PlcFinding& f : findings)
        std::cout << "  " << f.place << ": " << f.text << "\n";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: tvk-plccheck <script.json>\n";
        return 2;
    }
    const std::string path = argv[1];
    std::string text;
    const char* failure = nullptr;
    if (!readWhole(path, text, failure)) {
        std::cerr << "tvk-plccheck: " << failure << path << "\n";
        return 2;
    }

    std::cout << "script: " << path << "\n";
    const CtvkParsePlcCommon script(path);   // may print the reader's own lines
    std::cout.flush();

    rapidjson::Document doc;
    std::string error;
    if (!plcParseDocument(text, doc, error)) {
        std::cout << "root: NOT valid: the text does not parse: " << (text.empty() ? "the file is empty" : error)
                  << "\n";
        return 2;
    }
    summary(script);
    const PlcFindings findings = plcCheckDocument(doc);
    list("not valid", findings.problems);
    list("dropped", findings.dropped);
    list("ignored", findings.notes);
    std::cout << "root: " << validity(script.isValid()) << "\n";
    if (!script.isValid())
        return 2;
    return findings.problems.empty() ? 0 : 1;
}
