// SPDX-License-Identifier: MIT
// The role rules file: whatever text it holds, reading it ends in rules or
// in one reason with a line number, and the rules read grant a request only
// what they name. The input is the rules text, then, behind a zero byte, a
// role and requests to judge against it.
#include "tvkmodbusaccess_p.h"
#include "tvkmodbuspdu_p.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace Quorvan;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto* text = reinterpret_cast<const char*>(data);
    const std::size_t split = std::strlen(std::string(text, size).c_str());
    CtvkModbusRoleRules rules;
    std::string error;
    const bool read = rules.parse(std::string(text, split), &error);
    if (!read) {
        // "LINE: reason", the line a number from 1.
        check(!error.empty() && error[0] >= '1' && error[0] <= '9' && error.find(": ") != std::string::npos);
        check(rules.isEmpty());
        return 0;
    }
    if (split + 1 >= size)
        return 0;
    // The role: up to the next zero byte; then requests of 12 bytes each.
    const std::string rest(text + split + 1, size - split - 1);
    const std::string role = rest.substr(0, rest.find('\0'));
    std::size_t at = role.size() + 1;
    while (at + 12 <= rest.size()) {
        std::uint8_t request[pdu::kMaxPduBytes] = {};
        std::memcpy(request, rest.data() + at, 12);
        at += 12;
        const bool granted = rules.allows(role, request);
        // Empty rules grant nothing that reaches a table.
        pdu::Access reached[2];
        if (rules.isEmpty() && pdu::accesses(request, reached) > 0)
            check(!granted);
    }
    return 0;
}
