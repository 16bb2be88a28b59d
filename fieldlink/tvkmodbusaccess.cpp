// SPDX-License-Identifier: MIT
#include "tvkmodbusaccess_p.h"

#include "tvkmodbusdataunit.h"
#include "tvkmodbuspdu_p.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>

namespace Quorvan {

namespace {

constexpr int kHighestAddress = 0xFFFF;

int tableNamed(const std::string& name)
{
    static const std::pair<const char*, int> kNames[] = {
        {"coils", CtvkModbusDataUnit::Coils},
        {"co", CtvkModbusDataUnit::Coils},
        {"discrete-inputs", CtvkModbusDataUnit::DiscreteInputs},
        {"di", CtvkModbusDataUnit::DiscreteInputs},
        {"holding-registers", CtvkModbusDataUnit::HoldingRegisters},
        {"hr", CtvkModbusDataUnit::HoldingRegisters},
        {"input-registers", CtvkModbusDataUnit::InputRegisters},
        {"ir", CtvkModbusDataUnit::InputRegisters},
    };
    for (const auto& n : kNames)
        if (name == n.first)
            return n.second;
    return 0;
}

// An address, decimal or 0x hex, 0..65535.
bool address(const std::string& text, int* value)
{
    if (text.empty())
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 5)
        return false;
    long v = 0;
    for (const char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * (hex ? 16 : 10) + d;
    }
    if (v > kHighestAddress)
        return false;
    *value = static_cast<int>(v);
    return true;
}

// Reads one rule line (comment already cut); "" when it is sound.
std::string readRule(const std::string& line, std::string* role, CtvkModbusRoleRules::Rule* rule)
{
    std::istringstream words(line);
    std::string access, table, range, extra;
    if (!(words >> *role >> access >> table >> range))
        return "a rule is ROLE ACCESS TABLE FIRST-LAST";
    if (words >> extra)
        return "unexpected \"" + extra + "\" after the range";
    if (access == "write")
        rule->write = true;
    else if (access != "read")
        return "access \"" + access + "\" is neither read nor write";
    rule->table = tableNamed(table);
    if (!rule->table)
        return "unknown table \"" + table + "\"";
    const std::size_t dash = range.find('-');
    const std::string first = range.substr(0, dash);
    const std::string last = dash == std::string::npos ? first : range.substr(dash + 1);
    if (!address(first, &rule->first) || !address(last, &rule->last))
        return "range \"" + range + "\" is not FIRST-LAST with addresses 0..65535";
    if (rule->last < rule->first)
        return "range \"" + range + "\" ends before it starts";
    return std::string();
}

bool startsWithByteOrderMark(const std::string& text)
{
    return text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0;
}

} // namespace

bool CtvkModbusRoleRules::parse(const std::string& text, std::string* error)
{
    m_roles.clear();
    if (startsWithByteOrderMark(text)) {
        // Read as part of the first role, it would grant that role nothing.
        if (error)
            *error = std::string("1: ") + kByteOrderMarkText;
        return false;
    }
    std::map<std::string, std::vector<Rule>> roles;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        std::string role;
        Rule rule;
        const std::string why = readRule(line, &role, &rule);
        if (!why.empty()) {
            if (error)
                *error = std::to_string(number) + ": " + why;
            return false;
        }
        roles[role].push_back(rule);
    }
    m_roles = std::move(roles);
    return true;
}

bool CtvkModbusRoleRules::load(const std::string& path, std::string* error)
{
    m_roles.clear();
    const auto fail = [&](const std::string& why) {
        if (error)
            *error = path + ": " + why;
        return false;
    };
    // Non-blocking: a FIFO without a writer must not hold the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return fail(std::strerror(errno));
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxFileBytes;
    if (ok) {
        text.resize(static_cast<std::size_t>(st.st_size));
        ok = ::read(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    const bool regular = S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular)
        return fail("not a regular file");
    if (!ok)
        return fail("larger than " + std::to_string(kMaxFileBytes) + " bytes, or unreadable");
    std::string why;
    if (!parse(text, &why)) {
        if (error)
            *error = path + ":" + why;   // PATH:LINE: reason, as editors read it
        return false;
    }
    return true;
}

const std::vector<CtvkModbusRoleRules::Rule>* CtvkModbusRoleRules::rulesOf(const std::string& role) const
{
    auto it = role.empty() ? m_roles.end() : m_roles.find(role);
    if (it == m_roles.end())
        it = m_roles.find(kDefaultRole);
    return it == m_roles.end() ? nullptr : &it->second;
}

bool CtvkModbusRoleRules::allows(const std::string& role, const std::uint8_t* request) const
{
    const std::vector<Rule>* rules = rulesOf(role);
    if (!rules || rules->empty())
        return false;
    pdu::Access reached[2];
    const int n = pdu::accesses(request, reached);
    for (int i = 0; i < n; ++i) {
        const pdu::Access& a = reached[i];
        if (a.count < 1)
            continue;   // answered with an exception anyway
        // The granted ranges of this table, joined: the request must lie
        // inside one run of them.
        std::vector<std::pair<int, int>> granted;
        for (const Rule& r : *rules)
            if (r.table == a.table && (r.write || !a.write))
                granted.emplace_back(r.first, r.last);
        std::sort(granted.begin(), granted.end());
        long long covered = a.first;   // the next address still to cover
        const long long last = static_cast<long long>(a.first) + a.count - 1;
        for (const auto& g : granted) {
            if (g.first > covered)
                break;
            covered = std::max<long long>(covered, static_cast<long long>(g.second) + 1);
            if (covered > last)
                break;
        }
        if (covered <= last)
            return false;
    }
    return true;
}

bool CtvkNetworkList::add(const std::string& cidr)
{
    const std::size_t slash = cidr.find('/');
    const std::string host = cidr.substr(0, slash);
    Block block;
    int width = 32;
    if (::inet_pton(AF_INET, host.c_str(), block.bytes) == 1) {
        block.v6 = false;
    } else if (::inet_pton(AF_INET6, host.c_str(), block.bytes) == 1) {
        block.v6 = true;
        width = 128;
    } else {
        return false;
    }
    block.prefix = width;
    if (slash != std::string::npos) {
        const std::string bits = cidr.substr(slash + 1);
        if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        block.prefix = std::stoi(bits);
        if (block.prefix > width)
            return false;
    }
    // Peers are compared as IPv4 when they are mapped into IPv6, so a
    // mapped entry is kept as the IPv4 block it names; one that reaches
    // beyond the mapped addresses names no IPv4 block at all.
    constexpr int kMappedPrefixBits = 96;
    constexpr int kMappedAt = 12;
    static const std::uint8_t kMapped[kMappedAt] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (block.v6 && std::memcmp(block.bytes, kMapped, sizeof kMapped) == 0) {
        if (block.prefix < kMappedPrefixBits)
            return false;
        std::memmove(block.bytes, block.bytes + kMappedAt, 4);
        std::memset(block.bytes + 4, 0, sizeof block.bytes - 4);
        block.v6 = false;
        block.prefix -= kMappedPrefixBits;
    }
    m_blocks.push_back(block);
    return true;
}

bool CtvkNetworkList::allows(const sockaddr* peer) const
{
    if (m_blocks.empty())
        return true;
    std::uint8_t bytes[16] = {};
    bool v6 = false;
    if (peer->sa_family == AF_INET) {
        std::memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(peer)->sin_addr, 4);
    } else if (peer->sa_family == AF_INET6) {
        const auto* a = &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(a)) {
            std::memcpy(bytes, a->s6_addr + 12, 4);
        } else {
            std::memcpy(bytes, a->s6_addr, 16);
            v6 = true;
        }
    } else {
        return false;
    }
    for (const Block& b : m_blocks) {
        if (b.v6 != v6)
            continue;
        const int whole = b.prefix / 8;
        const int rest = b.prefix % 8;
        if (std::memcmp(b.bytes, bytes, static_cast<std::size_t>(whole)) != 0)
            continue;
        const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
        if (rest == 0 || ((b.bytes[whole] ^ bytes[whole]) & mask) == 0)
            return true;
    }
    return false;
}

int CtvkNetworkList::portOf(const sockaddr* address)
{
    if (address->sa_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    if (address->sa_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
    return -1;
}

std::string CtvkNetworkList::endpointText(const sockaddr* address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, host, sizeof host);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, host, sizeof host);
    const std::string shown = address->sa_family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host);
    return shown + ":" + std::to_string(std::max(portOf(address), 0));
}

std::string CtvkModbusRoleRules::shown(const std::string& role)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : role) {
        // Cut between characters, never inside one.
        if (out.size() >= kShownRoleBytes && (static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            out += "...";
            break;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace Quorvan
