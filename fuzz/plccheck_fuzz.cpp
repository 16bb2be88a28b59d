// SPDX-License-Identifier: MIT
// libFuzzer target for the checker's explanations: whatever the text, the
// library reads it and the checker explains the result without crashing,
// every place lies inside the text, a script the library holds not valid
// always gets at least one error, the endpoint warnings name exactly the
// endpoints the library holds that a host could not connect to, and the
// words marked as fractional belong to conditions the library holds.
#include "plcdocumentcheck.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

namespace {

using namespace Quorvan;

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Endpoints the library holds with a port outside 1..65535, and with an
// address that is not IPv4.
void unreachable(const CtvkParsePlcCommon& script, std::size_t& ports, std::size_t& addresses)
{
    ports = addresses = 0;
    if (!script.protocol().isValid())
        return;
    for (const CtvkParseProtocolData* e : {&script.protocol().source(), &script.protocol().host()}) {
        if (!e->isValid())
            continue;
        if (e->port() == 0 || e->port() > 65535)
            ++ports;
        in_addr address{};
        if (::inet_pton(AF_INET, e->ip().c_str(), &address) != 1)
            ++addresses;
    }
}

std::set<const CtvkParseParamsArray*> heldParams(const CtvkParsePlcCommon& script)
{
    std::set<const CtvkParseParamsArray*> held;
    for (const CtvkParseTrigger& t : script.triggers())
        for (const CtvkParseTriggerFeature* f : {&t.startTrigger(), &t.sendTrigger(), &t.stopTrigger()})
            for (const CtvkParseTriggerParamSet& set : f->triggerParams())
                for (const CtvkParseTriggerCondition& c : set.conditions())
                    held.insert(&c.params());
    return held;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The reader's version and word-list lines would flood the fuzzer's log.
    static_cast<void>(std::freopen("/dev/null", "w", stdout));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    CtvkParsePlcCommon script;
    script.parseText(text);
    PlcFloatWords floats;
    const std::vector<PlcFinding> findings = plcExplain(text, script, &floats);
    bool anyError = false;
    std::size_t portWarnings = 0;
    std::size_t addressWarnings = 0;
    for (const PlcFinding& f : findings) {
        if (f.offset > size)
            __builtin_trap();
        anyError = anyError || f.severity == PlcFinding::Error;
        if (f.severity != PlcFinding::Warning)
            continue;
        // Only the address message quotes the document, and it starts with
        // the quote.
        if (f.text.rfind("port ", 0) == 0 && endsWith(f.text, " is outside 1..65535"))
            ++portWarnings;
        else if (endsWith(f.text, "IPv4 address"))
            ++addressWarnings;
    }
    if (!script.isValid() && !anyError)
        __builtin_trap();
    std::size_t ports = 0;
    std::size_t addresses = 0;
    unreachable(script, ports, addresses);
    if (portWarnings != ports || addressWarnings != addresses)
        __builtin_trap();
    const std::set<const CtvkParseParamsArray*> held = heldParams(script);
    for (const auto& marked : floats)
        if (!held.count(marked.first) || marked.second.size() != marked.first->array().size())
            __builtin_trap();
    const PlcLineIndex lines(text);
    for (const PlcFinding& f : findings)
        if (lines.line(f.offset) == 0 || lines.column(f.offset) == 0)
            __builtin_trap();
    return 0;
}
