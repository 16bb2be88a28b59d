// SPDX-License-Identifier: MIT
// libFuzzer target for the script reader. It reads the input through the
// library's internal text entry point (the same path parse() takes after
// reading the file), so no file is written per input.
#include "tvkparseplccommon_p.h"

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The reader's version and word-list lines would flood the fuzzer's log.
    // If /dev/null cannot be opened the lines simply go on to the log.
    static_cast<void>(std::freopen("/dev/null", "w", stdout));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);   // adds the terminating zero
    std::string text = input;   // parsed in place
    Quorvan::CtvkParsePlcCommon root;
    const bool parsed = Quorvan::CtvkPlcScriptReader::readText(root, &text[0], text.size());
    if (!parsed && (root.isValid() || !root.triggers().empty()))
        __builtin_trap();   // a text that does not parse must leave the root untouched
    // The reason agrees with the outcome and points inside the text.
    using Root = Quorvan::CtvkParsePlcCommon;
    if (root.isValid() != (root.error() == Root::NoError) || root.errorOffset() > size)
        __builtin_trap();
    if (parsed != (root.isValid() || root.error() >= Root::ElementNotObject))
        __builtin_trap();
    // Copies are deep: reading more into a copy leaves the original as it was.
    Quorvan::CtvkParsePlcCommon copy = root;
    const std::size_t before = root.triggers().size();
    text = input;
    Quorvan::CtvkPlcScriptReader::readText(copy, &text[0], text.size());
    if (root.triggers().size() != before)
        __builtin_trap();
    return 0;
}
