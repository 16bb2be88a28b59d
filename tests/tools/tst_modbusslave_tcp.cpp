// SPDX-License-Identifier: MIT
// tvk-modbus-slave over TCP as engineers leave it running: bursts of
// masters, the address it listens on, an output nobody reads, and the
// options that shape its answers (--unit-id, --delay) and its lines (-v,
// -q). Requests are raw frames on plain sockets, independent of the library
// the tool is built on.
#include "slavetool.h"

#include "loopback.h"
#include "waiting.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>

using slavetest::exchange;
using slavetest::kStartMs;
using slavetest::startSlave;
using tvktest::Bytes;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAnswerMs = 2000;   // a live slave answers far sooner
constexpr int kSilenceMs = 300;   // how long "no answer" is waited for

// A master's connection to the slave; closed with the object.
struct Master {
    int fd;
    explicit Master(int port) : fd(tvktest::connectToLoopback(port)) {}
    ~Master()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;
};

// The function code of an answer, or -1 for none.
int functionOf(const Bytes& answer)
{
    return answer.size() > tvktest::kMbapHeaderBytes ? answer[tvktest::kMbapHeaderBytes] : -1;
}

int stopAndWait(tvktest::ChildProcess& slave)
{
    slave.signal(SIGTERM);
    return slave.waitForExit(kStartMs);
}

} // namespace

// 2,000 masters one after another, each with a blocking connect: a backlog
// that overflows drops connection requests, and each costs its master a
// retransmission of a second or more.
TEST(SlaveToolTcp, BurstOfBlockingConnectsIsTakenWithoutRetransmissions)
{
    constexpr int kMasters = 2000;
    int port = 0;
    auto slave = startSlave({}, &port);
    ASSERT_GT(port, 0) << slave->errors();
    const sockaddr_in address = tvktest::loopbackAddress(port);
    int connected = 0;
    unsigned retransmissions = 0;   // told by each master's own socket, whatever the clock says
    for (int i = 0; i < kMasters; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            ++connected;
        tcp_info info{};
        socklen_t length = sizeof info;
        if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0)
            retransmissions += info.tcpi_total_retrans;
        ::close(fd);
    }
    EXPECT_EQ(connected, kMasters);
    EXPECT_EQ(retransmissions, 0u) << "connection requests were dropped and sent again";
    {
        // Connections are taken in order: once this one is answered, the
        // slave has taken every one before it, which takes seconds on a
        // busy machine.
        Master last(port);
        EXPECT_EQ(functionOf(exchange(last.fd, tvktest::readRequest(1, tvktest::ReadCoils, 0, 1), kStartMs)),
                  tvktest::ReadCoils);
    }
    EXPECT_EQ(stopAndWait(*slave), 0);
    EXPECT_NE(slave->output().find("stopping on SIGTERM: 2001 connections"), std::string::npos)
        << slave->output().substr(slave->output().size() > 500 ? slave->output().size() - 500 : 0);
}

// Names and IPv6 literals are looked up as the server looks them up; an
// address that names nothing is refused, never served elsewhere.
TEST(SlaveToolTcp, ListensOnNamesAndIpv6AndRefusesAddressesThatNameNothing)
{
    int port = 0;
    auto named = startSlave({"-a", "localhost"}, &port);
    ASSERT_GT(port, 0) << named->errors();
    {
        Master master(port);   // localhost is 127.0.0.1 wherever the tests run
        ASSERT_GE(master.fd, 0);
        EXPECT_EQ(functionOf(exchange(master.fd, tvktest::readRequest(1, tvktest::ReadHoldingRegisters, 0, 2),
                                      kAnswerMs)),
                  tvktest::ReadHoldingRegisters);
    }
    EXPECT_EQ(stopAndWait(*named), 0);

    for (const char* nowhere : {"1.2.3.999", "no-such-host.invalid"}) {
        tvktest::ChildProcess slave({TVK_SLAVE_PATH, "--port", "0", "-a", nowhere});
        EXPECT_EQ(slave.waitForExit(kStartMs), 1) << nowhere;
        EXPECT_NE(slave.errors().find(std::string("tvk-modbus-slave: cannot listen on ") + nowhere + ": "),
                  std::string::npos)
            << slave.errors();
        EXPECT_EQ(slave.output().find("listening on"), std::string::npos) << slave.output();
    }

    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_ADDRCONFIG | AI_NUMERICHOST;
    addrinfo* v6 = nullptr;
    if (::getaddrinfo("::1", "0", &hints, &v6) != 0)
        GTEST_SKIP() << "no IPv6 here";
    ::freeaddrinfo(v6);
    auto slave = startSlave({"-a", "::1"}, &port);
    ASSERT_GT(port, 0) << slave->errors();
    EXPECT_NE(slave->output().find("listening on [::1]:" + std::to_string(port)), std::string::npos);
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    address.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(functionOf(exchange(fd, tvktest::readRequest(1, tvktest::ReadHoldingRegisters, 0, 2), kAnswerMs)),
              tvktest::ReadHoldingRegisters);
    EXPECT_NE(slave->waitForLine("connected [::1]:", kStartMs), "");
    ::close(fd);
    EXPECT_EQ(stopAndWait(*slave), 0);
}

// Standard output into a pipe nobody reads: the slave writes far more than
// the pipe holds, keeps answering, and says at the end what it dropped.
TEST(SlaveToolTcp, OutputNobodyReadsNeverStopsTheAnswers)
{
    constexpr int kRequests = 4000;   // one -v line each: several pipes full
    int port = 0;
    auto slave = startSlave({"-v"}, &port);   // its output is not read after this
    ASSERT_GT(port, 0) << slave->errors();
    Master master(port);
    ASSERT_GE(master.fd, 0);
    for (int i = 0; i < kRequests; ++i) {
        const Bytes answer =
            exchange(master.fd, tvktest::readRequest(i & 0xffff, tvktest::ReadHoldingRegisters, 0, 1), kAnswerMs);
        ASSERT_EQ(functionOf(answer), tvktest::ReadHoldingRegisters) << "request " << i << " was not answered";
    }
    EXPECT_EQ(stopAndWait(*slave), 0);
    EXPECT_TRUE(std::regex_search(slave->errors(), std::regex(R"(tvk-modbus-slave: \d+ output lines dropped)")))
        << slave->errors();
}

// -v: one line per request, with the time, the peer, the unit, the
// function, the first address, the count and what became of it.
TEST(SlaveToolTcp, VerboseLogsEveryRequestWithItsOutcome)
{
    int port = 0;
    auto slave = startSlave({"-v", "--unit-id", "1,7-9", "--holding-size", "10"}, &port);
    ASSERT_GT(port, 0) << slave->errors();
    Master master(port);
    ASSERT_GE(master.fd, 0);
    EXPECT_EQ(functionOf(exchange(master.fd, tvktest::readRequest(1, tvktest::ReadHoldingRegisters, 2, 3, 8),
                                  kAnswerMs)),
              tvktest::ReadHoldingRegisters);
    EXPECT_EQ(functionOf(exchange(master.fd, tvktest::readRequest(2, tvktest::ReadHoldingRegisters, 9, 5),
                                  kAnswerMs)),
              tvktest::ReadHoldingRegisters | tvktest::kExceptionBit);
    EXPECT_TRUE(exchange(master.fd, tvktest::readRequest(3, tvktest::ReadInputRegisters, 4, 1, 2), kSilenceMs).empty());

    const std::string peer = R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1:\d+ )";
    const std::string answered = slave->waitForLine("function 3 address 2", kStartMs);
    EXPECT_TRUE(std::regex_match(answered, std::regex(peer + "unit 8 function 3 address 2 count 3: answered$")))
        << answered;
    const std::string exception = slave->waitForLine("function 3 address 9", kStartMs);
    EXPECT_TRUE(std::regex_match(exception, std::regex(peer + "unit 1 function 3 address 9 count 5: exception 2$")))
        << exception;
    const std::string unanswered = slave->waitForLine("function 4 address 4", kStartMs);
    EXPECT_TRUE(std::regex_match(
        unanswered, std::regex(peer + "unit 2 function 4 address 4 count 1: not answered \\(unit id not served\\)$")))
        << unanswered;
    EXPECT_EQ(stopAndWait(*slave), 0);
}

// --unit-id: the listed units are answered, others get no answer at all,
// as from a gateway without such a device; the connection stays usable.
TEST(SlaveToolTcp, UnitIdListAnswersOnlyThoseUnits)
{
    int port = 0;
    auto slave = startSlave({"--unit-id", "0,5,10-12"}, &port);
    ASSERT_GT(port, 0) << slave->errors();
    Master master(port);
    ASSERT_GE(master.fd, 0);
    int tid = 0;
    for (int unit : {0, 5, 10, 11, 12}) {
        EXPECT_EQ(functionOf(exchange(master.fd, tvktest::readRequest(++tid, tvktest::ReadCoils, 0, 8, unit),
                                      kAnswerMs)),
                  tvktest::ReadCoils)
            << "unit " << unit;
    }
    for (int unit : {1, 9, 13, 255}) {
        EXPECT_TRUE(exchange(master.fd, tvktest::readRequest(++tid, tvktest::ReadCoils, 0, 8, unit), kSilenceMs)
                        .empty())
            << "unit " << unit;
    }
    EXPECT_EQ(stopAndWait(*slave), 0);
}

// --delay: every answer comes that late, so that a master's time limit can
// be tried; the slave meanwhile takes other masters.
TEST(SlaveToolTcp, DelayHoldsEveryAnswerBack)
{
    constexpr int kDelayMs = 400;
    int port = 0;
    auto slave = startSlave({"--delay", std::to_string(kDelayMs)}, &port);
    ASSERT_GT(port, 0) << slave->errors();
    Master first(port);
    Master second(port);
    ASSERT_GE(first.fd, 0);
    ASSERT_GE(second.fd, 0);
    const Bytes request = tvktest::readRequest(1, tvktest::ReadHoldingRegisters, 0, 1);
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(::send(first.fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    EXPECT_EQ(functionOf(exchange(second.fd, request, kDelayMs + kAnswerMs)), tvktest::ReadHoldingRegisters);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kDelayMs));
    EXPECT_EQ(functionOf(exchange(first.fd, {}, kAnswerMs)), tvktest::ReadHoldingRegisters);
    EXPECT_EQ(stopAndWait(*slave), 0);
}

// -q: nothing but errors, and those on standard error.
TEST(SlaveToolTcp, QuietPrintsErrorsOnly)
{
    const int port = tvktest::freeLoopbackPort();
    tvktest::ChildProcess slave({TVK_SLAVE_PATH, "-q", "--port", std::to_string(port)});
    int fd = -1;
    tvktest::waitFor([&] { return (fd = tvktest::connectToLoopback(port)) >= 0 || slave.finished(); }, kStartMs);
    ASSERT_GE(fd, 0) << slave.errors();
    EXPECT_EQ(functionOf(exchange(fd, tvktest::readRequest(1, tvktest::ReadHoldingRegisters, 0, 1), kAnswerMs)),
              tvktest::ReadHoldingRegisters);
    ::close(fd);

    tvktest::ChildProcess taken({TVK_SLAVE_PATH, "-q", "--port", std::to_string(port)});
    EXPECT_EQ(taken.waitForExit(kStartMs), 1);
    EXPECT_NE(taken.errors().find("tvk-modbus-slave: cannot listen on 127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << taken.errors();
    EXPECT_EQ(stopAndWait(slave), 0);
    EXPECT_EQ(slave.output(), "");
    EXPECT_EQ(taken.output(), "");
}

// Modbus/TCP Security from the command line: a viewer, through socat's TLS,
// may read and gets exception 1 for a write, which the slave logs.
TEST(SlaveToolTcp, SecureSlaveGrantsTheRolesWhatTheirRulesSay)
{
    char folder[] = "/tmp/tvk-slave-tls-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string certs = folder;
    tvktest::ChildProcess make({"bash", TVK_SOURCE_DIR "/scripts/make-test-certs.sh", certs});
    ASSERT_EQ(make.waitForExit(60000), 0) << make.errors();
    int port = 0;
    auto slave = startSlave({"--tls", "--cert", certs + "/server.pem", "--key", certs + "/server.key", "--ca",
                             certs + "/ca.pem", "--roles", certs + "/roles.rules", "-v"},
                            &port);
    ASSERT_GT(port, 0) << slave->errors();
    const int plain = tvktest::freeLoopbackPort();
    tvktest::ChildProcess socat({"socat", "TCP-LISTEN:" + std::to_string(plain) + ",bind=127.0.0.1,reuseaddr,fork",
                                 "OPENSSL:localhost:" + std::to_string(port) + ",cert=" + certs + "/viewer.pem,key="
                                     + certs + "/viewer.key,cafile=" + certs + "/ca.pem,verify=1"});
    Master viewer(-1);
    ASSERT_TRUE(tvktest::waitFor([&] { return (viewer.fd = tvktest::connectToLoopback(plain)) >= 0; }));
    const Bytes read = exchange(viewer.fd, tvktest::readRequest(1, 3, 0, 2), kAnswerMs);
    EXPECT_EQ(functionOf(read), 3);
    const Bytes write = exchange(viewer.fd, tvktest::writeRegistersRequest(2, 0, {5}), kAnswerMs);
    ASSERT_EQ(write.size(), 9u);
    EXPECT_EQ(write[7], 0x90);
    EXPECT_EQ(write[8], 1) << "illegal function: the viewer may not write";
    EXPECT_FALSE(slave->waitForLine("role viewer unit 1 function 16 address 0 count 1: exception 1", kAnswerMs).empty());
    EXPECT_EQ(stopAndWait(*slave), 0);
    std::system(("rm -rf " + certs).c_str());
}
