// libFuzzer target for the checker's explanations: whatever the text, the
// library reads it and the checker explains the result without crashing,
// every place lies inside the text, and a script the library holds not
// valid always gets at least one error.
#include "plcdocumentcheck.h"

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The reader's version and word-list lines would flood the fuzzer's log.
    static_cast<void>(std::freopen("/dev/null", "w", stdout));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    Quorvan::CtvkParsePlcCommon script;
    script.parseText(text);
    const std::vector<PlcFinding> findings = plcExplain(text, script);
    bool anyError = false;
    for (const PlcFinding& f : findings) {
        if (f.offset > size)
            __builtin_trap();
        anyError = anyError || f.severity == PlcFinding::Error;
    }
    if (!script.isValid() && !anyError)
        __builtin_trap();
    const PlcLineIndex lines(text);
    for (const PlcFinding& f : findings)
        if (lines.line(f.offset) == 0 || lines.column(f.offset) == 0)
            __builtin_trap();
    return 0;
}
