// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSACCESS_P_H
#define TVKMODBUSACCESS_P_H

#include "tvkfieldlink_global.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct sockaddr;

namespace Quorvan {

// Who may do what over Modbus/TCP Security: each role a client certificate
// carries is granted reads or writes of address ranges of the four tables,
// from a rules file of one rule a line:
//
//   ROLE ACCESS TABLE FIRST-LAST      # comment
//
// ACCESS is "read" or "write" (write includes read); TABLE is "coils"
// ("co"), "discrete-inputs" ("di"), "holding-registers" ("hr") or
// "input-registers" ("ir"); FIRST-LAST is an address range, decimal or 0x
// hex (a single address stands for itself). The ROLE "*" is the default
// entry: it applies to a role the file does not name and to a certificate
// without a role. Without a default entry such a client may do nothing.
// Pure code: no I/O beyond reading the file.
// What a file that starts with a UTF-8 byte-order mark is told, as the
// tools tell it of their own files.
constexpr const char* kByteOrderMarkText = "starts with a UTF-8 byte-order mark (save it without one)";

class TVK_FIELDLINK_EXPORT CtvkModbusRoleRules {
public:
    static constexpr const char* kDefaultRole = "*";
    // Rules files are small; a larger one is refused unread.
    static constexpr long kMaxFileBytes = 1 << 20;

    struct Rule {
        int table = 0;   // as CtvkModbusDataUnit numbers them
        int first = 0;
        int last = 0;
        bool write = false;
    };

    // Replaces the rules with those of `text`; on the first bad line, false
    // with `error` set to "LINE: reason" and the rules left empty.
    bool parse(const std::string& text, std::string* error);
    // The same from a file: "PATH:LINE: reason", or "PATH: reason" when it
    // cannot be read.
    bool load(const std::string& path, std::string* error);

    // Whether `role` ("" for a certificate without one) may make the
    // request in the complete PDU `pdu`: every address it reads or writes is
    // granted. A request that reaches no table is left to a role that has
    // any right at all.
    bool allows(const std::string& role, const std::uint8_t* pdu) const;

    bool isEmpty() const { return m_roles.empty(); }
    std::size_t roleCount() const { return m_roles.size(); }

    // A role as logs and observers show it: a certificate's role is the
    // client's own text, so control bytes are written as \xNN (a log line
    // stays one line) and a long one is cut to kShownRoleBytes and "...".
    static constexpr std::size_t kShownRoleBytes = 64;
    static std::string shown(const std::string& role);

private:
    const std::vector<Rule>* rulesOf(const std::string& role) const;

    std::map<std::string, std::vector<Rule>> m_roles;
};

// The networks a client may connect from, as CIDR blocks, IPv4 or IPv6
// ("192.168.10.0/24", "fd00::/8", or an address alone). Empty: any. An
// IPv4 block may also be written mapped into IPv6 ("::ffff:10.0.0.0/104"):
// it is the IPv4 block, which IPv4 peers and their mapped addresses reach
// alike; such an entry with a prefix shorter than 96 is refused.
class TVK_FIELDLINK_EXPORT CtvkNetworkList {
public:
    // Adds one block; false for text that is not one (nothing added).
    bool add(const std::string& cidr);
    void clear() { m_blocks.clear(); }
    bool isEmpty() const { return m_blocks.empty(); }
    // Whether the peer address belongs to one of the blocks; an IPv4
    // address mapped into IPv6 counts as the IPv4 one.
    bool allows(const sockaddr* peer) const;

    // The port of an IPv4 or IPv6 socket address; -1 for another family.
    static int portOf(const sockaddr* address);
    // "address:port", an IPv6 address in brackets so that its colons do not
    // run into the port's.
    static std::string endpointText(const sockaddr* address);

private:
    struct Block {
        bool v6 = false;
        std::uint8_t bytes[16] = {};
        int prefix = 0;
    };
    std::vector<Block> m_blocks;
};

} // namespace Quorvan

#endif
