// SPDX-License-Identifier: MIT
// Who may do what over Modbus/TCP Security, as pure code: the roles' rights
// at the edges of their ranges and for the requests that read and write at
// once, and the networks a master may come from at prefixes that end
// inside a byte.
#include "tvkmodbusaccess_p.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>
#include <vector>

using namespace Quorvan;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read(int function, int address, int count)
{
    return {static_cast<std::uint8_t>(function), static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)};
}

Bytes writeRegisters(int address, int count)
{
    Bytes pdu{0x10, static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address), 0,
              static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(2 * count)};
    pdu.resize(pdu.size() + static_cast<std::size_t>(2 * count), 0);
    return pdu;
}

// Function 23: reads `readCount` from `readAt`, writes one register at `writeAt`.
Bytes readWrite(int readAt, int readCount, int writeAt)
{
    return {0x17, 0, static_cast<std::uint8_t>(readAt), 0, static_cast<std::uint8_t>(readCount), 0,
            static_cast<std::uint8_t>(writeAt), 0, 1, 2, 0, 0};
}

class RoleRules : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(rules.parse("operator write hr 0-99\n"
                                "viewer   read  hr 10-19   # a window\n"
                                "viewer   read  co 0x10\n",
                                &why))
            << why;
    }
    bool allows(const std::string& role, const Bytes& pdu) const { return rules.allows(role, pdu.data()); }

    CtvkModbusRoleRules rules;
};

TEST_F(RoleRules, ARangeHoldsItsFirstAndLastAddressAndNothingBeside)
{
    EXPECT_TRUE(allows("viewer", read(3, 10, 1)));
    EXPECT_TRUE(allows("viewer", read(3, 19, 1)));
    EXPECT_TRUE(allows("viewer", read(3, 10, 10)));
    EXPECT_FALSE(allows("viewer", read(3, 9, 1)));
    EXPECT_FALSE(allows("viewer", read(3, 20, 1)));
    EXPECT_FALSE(allows("viewer", read(3, 10, 11))) << "ends one past the range";
    EXPECT_TRUE(allows("viewer", read(1, 16, 1))) << "a single address stands for itself";
    EXPECT_FALSE(allows("viewer", read(1, 17, 1)));
    EXPECT_FALSE(allows("viewer", read(4, 10, 1))) << "another table";
}

TEST_F(RoleRules, AWriteThatLeavesItsRangeIsRefusedWhole)
{
    EXPECT_TRUE(allows("operator", writeRegisters(95, 5)));
    EXPECT_FALSE(allows("operator", writeRegisters(95, 6)));
    EXPECT_FALSE(allows("viewer", writeRegisters(10, 1))) << "read grants no write";
}

TEST_F(RoleRules, ReadWriteAndMaskWriteNeedTheRightToWrite)
{
    EXPECT_TRUE(allows("operator", readWrite(10, 2, 12)));
    EXPECT_FALSE(allows("viewer", readWrite(10, 2, 12))) << "its write part under a read-only role";
    const Bytes maskWrite{0x16, 0, 12, 0xFF, 0x00, 0x00, 0x0F};
    EXPECT_TRUE(allows("operator", maskWrite));
    EXPECT_FALSE(allows("viewer", maskWrite));
    EXPECT_FALSE(allows("", read(3, 10, 1))) << "no role and no default entry";
}

TEST(RoleRulesFile, ByteOrderMarkIsNamedAndShownRolesStayOneShortLine)
{
    CtvkModbusRoleRules rules;
    std::string why;
    EXPECT_FALSE(rules.parse("\xEF\xBB\xBFoperator write hr 0-9\n", &why));
    EXPECT_EQ(why, "1: starts with a UTF-8 byte-order mark (save it without one)");

    EXPECT_EQ(CtvkModbusRoleRules::shown("op\nerator\\"), "op\\x0aerator\\x5c");
    const std::string shown = CtvkModbusRoleRules::shown(std::string(200, 'r'));
    EXPECT_EQ(shown, std::string(CtvkModbusRoleRules::kShownRoleBytes, 'r') + "...");
    // Cut between characters: the two-byte é is never split.
    const std::string accented = CtvkModbusRoleRules::shown(std::string(63, 'r') + "\xC3\xA9" + "rest");
    EXPECT_EQ(accented, std::string(63, 'r') + "\xC3\xA9...");
}

sockaddr_storage peer(const char* address)
{
    sockaddr_storage s{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&s);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&s);
    if (::inet_pton(AF_INET, address, &v4->sin_addr) == 1)
        v4->sin_family = AF_INET;
    else if (::inet_pton(AF_INET6, address, &v6->sin6_addr) == 1)
        v6->sin6_family = AF_INET6;
    return s;
}

bool allows(const CtvkNetworkList& list, const char* address)
{
    const sockaddr_storage s = peer(address);
    return list.allows(reinterpret_cast<const sockaddr*>(&s));
}

TEST(NetworkList, PrefixesThatEndInsideAByte)
{
    CtvkNetworkList list;
    ASSERT_TRUE(list.add("10.1.16.0/20"));
    ASSERT_TRUE(list.add("192.168.1.128/25"));
    ASSERT_TRUE(list.add("fd00::80/121"));
    for (const char* in : {"10.1.16.0", "10.1.31.255", "192.168.1.128", "192.168.1.255", "fd00::80", "fd00::ff",
                           "::ffff:10.1.20.1"})
        EXPECT_TRUE(allows(list, in)) << in;
    for (const char* out : {"10.1.15.255", "10.1.32.0", "192.168.1.127", "192.168.2.128", "fd00::7f", "fd00::100"})
        EXPECT_FALSE(allows(list, out)) << out;
}

TEST(NetworkList, AnIpv4BlockMappedIntoIpv6IsTheIpv4Block)
{
    CtvkNetworkList list;
    ASSERT_TRUE(list.add("::ffff:127.0.0.0/104"));
    EXPECT_TRUE(allows(list, "127.0.0.1"));
    EXPECT_TRUE(allows(list, "::ffff:127.9.9.9"));
    EXPECT_FALSE(allows(list, "128.0.0.1"));
    EXPECT_FALSE(allows(list, "::1"));
    EXPECT_FALSE(list.add("::ffff:0.0.0.0/95")) << "reaches beyond the mapped addresses";
    EXPECT_FALSE(list.add("10.0.0.0/33"));
    EXPECT_FALSE(list.add("10.0.0.0/"));
}

} // namespace
