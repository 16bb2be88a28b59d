// SPDX-License-Identifier: MIT
// tvk-modbus-gateway between independent peers: mbpoll as the masters, a
// pymodbus RTU slave on a linked pseudo-terminal line and pymodbus's RTU
// framer on a TCP server as the devices, socat as a TLS master's tunnel.
#include "polltooltest.h"

#include "loopback.h"
#include "ptypair.h"
#include "tlspeer.h"
#include "waiting.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

using tvktest::ChildProcess;
using namespace polltest;

namespace {

constexpr int kSerialSlave = 7;   // what the pymodbus line serves

ToolResult mbpoll(const std::string& port, Args args)
{
    args.insert(args.begin(), {"/usr/bin/mbpoll", "-m", "tcp", "-p", port, "-1", "-o", "2"});
    args.push_back("127.0.0.1");
    return runTool(args);
}

class GatewayTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveMbpoll())
            GTEST_SKIP() << "mbpoll is not installed";
        ASSERT_TRUE(link.ok());
        slave = std::make_unique<tvktest::PymodbusSerialPeer>(
            Args{"server", link.pathB(), std::to_string(kSerialSlave)});
        ASSERT_FALSE(slave->waitForLine("serving", 30000).empty()) << "the pymodbus slave did not start";
    }
    // The gateway with `extra` options; its port once it listens.
    std::string start(Args extra)
    {
        Args argv{TVK_GATEWAY_PATH, "-p", "0", "--timeout", "300", "--retries", "1",
                  "--route", "1-10=rtu:" + link.pathA() + ",parity=N"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        gateway = std::make_unique<ChildProcess>(argv);
        return listeningPort(*gateway);
    }
    void TearDown() override
    {
        if (gateway) {
            gateway->signal(SIGTERM);
            EXPECT_EQ(gateway->waitForExit(10000), 0) << gateway->errors();
        }
    }

    tvktest::PtyLink link;
    std::unique_ptr<tvktest::PymodbusSerialPeer> slave;
    std::unique_ptr<ChildProcess> gateway;
};

} // namespace

TEST_F(GatewayTool, MbpollReadsAndWritesASerialSlaveThroughIt)
{
    const std::string port = start({});
    ASSERT_FALSE(port.empty()) << gateway->errors();
    const ToolResult read = mbpoll(port, {"-a", "7", "-t", "4", "-r", "1", "-c", "3"});
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(linesStartingWith(read.out, "["), (std::vector<std::string>{"[1]: \t1000", "[2]: \t1001", "[3]: \t1002"}));
    const ToolResult write = runTool({"/usr/bin/mbpoll", "-m", "tcp", "-p", port, "-a", "7", "-t", "4", "-r", "51",
                                      "127.0.0.1", "4242"});
    ASSERT_EQ(write.status, 0) << write.err;
    EXPECT_EQ(linesStartingWith(mbpoll(port, {"-a", "7", "-t", "4", "-r", "51"}).out, "["),
              (std::vector<std::string>{"[51]: \t4242"}));
}

TEST_F(GatewayTool, TwoMastersAtOnceAreBothServed)
{
    const std::string port = start({});
    ASSERT_FALSE(port.empty()) << gateway->errors();
    // Both poll every 10 ms, at the same time, on the one line behind.
    const auto polling = [&](const char* table) {
        return std::make_unique<ChildProcess>(Args{"/usr/bin/mbpoll", "-m", "tcp", "-p", port, "-a", "7", "-t", table,
                                                   "-r", "1", "-c", "2", "-l", "10", "-o", "2", "127.0.0.1"});
    };
    auto inputs = polling("3");
    auto holding = polling("4");
    for (int round = 0; round < 4; ++round) {
        EXPECT_FALSE(inputs->waitForLine("[2]: \t2001", 10000).empty()) << inputs->errors();
        EXPECT_FALSE(holding->waitForLine("[2]: \t1001", 10000).empty()) << holding->errors();
    }
    inputs->signal(SIGINT);
    holding->signal(SIGINT);
    inputs->waitForExit(5000);
    holding->waitForExit(5000);
}

TEST_F(GatewayTool, UnroutedUnitAndSilentDeviceGetTheGatewayExceptions)
{
    const std::string port = start({"-v"});
    ASSERT_FALSE(port.empty()) << gateway->errors();
    const ToolResult unrouted = mbpoll(port, {"-a", "12", "-t", "4", "-r", "1"});
    EXPECT_NE(unrouted.status, 0);
    EXPECT_NE(unrouted.err.find("Gateway path unavailable"), std::string::npos) << unrouted.err;
    // Unit 3 is routed to the line, where nobody answers it.
    const ToolResult silent = mbpoll(port, {"-a", "3", "-t", "4", "-r", "1"});
    EXPECT_NE(silent.status, 0);
    EXPECT_NE(silent.err.find("Target device failed to respond"), std::string::npos) << silent.err;
    gateway->signal(SIGUSR1);
    EXPECT_FALSE(gateway->waitForLine("1 failed", 5000).empty()) << "the route's line on demand";
}

TEST_F(GatewayTool, RtuOverTcpDeviceIsReadThroughIt)
{
    tvktest::PymodbusPeer server(true);
    const int serverPort = server.waitForPort(30000);
    ASSERT_NE(serverPort, 0);
    const std::string port = start({"--route", "20=rtu-tcp:127.0.0.1:" + std::to_string(serverPort)});
    ASSERT_FALSE(port.empty()) << gateway->errors();
    const ToolResult read = mbpoll(port, {"-a", "20", "-t", "3", "-r", "5", "-c", "2"});
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(linesStartingWith(read.out, "["), (std::vector<std::string>{"[5]: \t2004", "[6]: \t2005"}));
}

TEST_F(GatewayTool, ATlsViewerCannotWriteThroughIt)
{
    std::string why;
    const std::string certs = tvktest::TestCertificates::folder(&why);
    ASSERT_FALSE(certs.empty()) << why;
    const std::string port = start({"--tls", "--cert", certs + "/server.pem", "--key", certs + "/server.key", "--ca",
                                    certs + "/ca.pem", "--roles", certs + "/roles.rules", "-v"});
    ASSERT_FALSE(port.empty()) << gateway->errors();
    const int plain = tvktest::freeLoopbackPort();
    ChildProcess socat({"socat", "TCP-LISTEN:" + std::to_string(plain) + ",bind=127.0.0.1,reuseaddr,fork",
                        "OPENSSL:localhost:" + port + ",cert=" + certs + "/viewer.pem,key=" + certs
                            + "/viewer.key,cafile=" + certs + "/ca.pem,verify=1"});
    ASSERT_TRUE(tvktest::waitFor([&] {
        const int fd = tvktest::connectToLoopback(plain);
        if (fd >= 0)
            ::close(fd);
        return fd >= 0;
    }, 10000)) << socat.errors();
    const ToolResult write = runTool({"/usr/bin/mbpoll", "-m", "tcp", "-p", std::to_string(plain), "-a", "7", "-t",
                                      "4", "-r", "1", "-o", "2", "127.0.0.1", "99"});
    EXPECT_NE(write.status, 0);
    EXPECT_NE(write.err.find("Illegal function"), std::string::npos) << write.err;
    EXPECT_FALSE(gateway->waitForLine("exception 1 (not granted)", 5000).empty());
    gateway->signal(SIGUSR1);
    EXPECT_FALSE(gateway->waitForLine(": 0 requests, 0 failed", 5000).empty()) << "the device was never asked";
    // A viewer may read.
    const ToolResult read = runTool({"/usr/bin/mbpoll", "-m", "tcp", "-p", std::to_string(plain), "-a", "7", "-t",
                                     "4", "-r", "1", "-1", "-o", "2", "127.0.0.1"});
    EXPECT_EQ(read.status, 0) << read.err;
    socat.signal(SIGTERM);
    socat.waitForExit(5000);
}
