// SPDX-License-Identifier: MIT
#include "descriptors.h"
#include "errorrecorder.h"
#include "fakeslave.h"
#include "loopback.h"
#include "waiting.h"

#include "tvkmessagehandler.h"
#include "tvkmodbustcpclient.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <clocale>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Quorvan;
using tvktest::ErrorRecorder;
using tvktest::FakeSlave;
using tvktest::LowDescriptorsTaken;
using tvktest::RefusingPort;

namespace {

class TcpClientTest : public ::testing::Test {
protected:
    void SetUp() override { m_descriptors = tvktest::openDescriptors(); }
    void TearDown() override
    {
        recorder.reset();
        client.reset();
        slave.reset();
        refusing.reset();
        EXPECT_EQ(tvktest::openDescriptors(), m_descriptors) << "a descriptor was left open";
    }

    void aimAt(int port) { client->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port)); }

    // Opens while standard output is captured; answers what was printed.
    std::string openCapturingStdout(bool* result)
    {
        ::testing::internal::CaptureStdout();
        *result = client->open();
        return ::testing::internal::GetCapturedStdout();
    }

    std::unique_ptr<FakeSlave> slave;
    std::unique_ptr<RefusingPort> refusing;
    std::unique_ptr<CtvkModbusTcpClient> client = std::make_unique<CtvkModbusTcpClient>();
    std::unique_ptr<ErrorRecorder> recorder = std::make_unique<ErrorRecorder>(client.get());

private:
    int m_descriptors = 0;
};

TEST_F(TcpClientTest, RefusedConnectionRecordsConnectionErrorAndPrintsOneLine)
{
    refusing = std::make_unique<RefusingPort>();
    aimAt(refusing->port());
    // The error is recorded (and announced) before the line is written.
    CtvkObject::connect<CtvkModbusDevice::Error>(
        client.get(), "errorOccurred(CtvkModbusDevice::Error)", recorder.get(),
        std::function<void(CtvkModbusDevice::Error)>([](CtvkModbusDevice::Error) { std::cout << "handler\n"; }));
    bool opened = true;
    const std::string out = openCapturingStdout(&opened);
    const std::string text = modbus_strerror(ECONNREFUSED);
    EXPECT_FALSE(opened);
    EXPECT_EQ(out, "handler\nerror = " + text + "\n");
    EXPECT_EQ(client->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_EQ(client->errorString().toStdString(), text);
    ASSERT_EQ(recorder->codes.size(), 1u);
    EXPECT_EQ(recorder->codes[0], CtvkModbusDevice::ConnectionError);
    EXPECT_FALSE(client->setTimeout(1, 0)) << "a failed open left a context";
}

TEST_F(TcpClientTest, HostNameThatNamesNothingIsSaidSo)
{
    const std::string reason = tvktest::unresolvedHostReason();
    if (reason.empty())
        GTEST_SKIP() << "the resolver here answers for " << tvktest::kHostThatNamesNothing;
    client->setConnectionParameter(CtvkModbusDevice::NetworkAddress,
                                   CtvkVariant(CtvkString::fromAscii(tvktest::kHostThatNamesNothing)));
    bool opened = true;
    const std::string out = openCapturingStdout(&opened);
    const std::string text = "the host name could not be resolved: " + reason;
    EXPECT_FALSE(opened);
    EXPECT_EQ(client->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_EQ(client->errorString().toStdString(), text);
    EXPECT_EQ(out, "error = " + text + "\n");
}

namespace {
std::vector<std::string> routedLines;
void routeLine(const char* library, const char* line)
{
    routedLines.push_back(std::string(library) + ": " + line);
}
} // namespace

TEST_F(TcpClientTest, InstalledHandlerTakesTheLineAndStandardOutputStaysClean)
{
    refusing = std::make_unique<RefusingPort>();
    aimAt(refusing->port());
    routedLines.clear();
    EXPECT_EQ(tvkInstallFieldlinkMessageHandler(&routeLine), nullptr);
    bool opened = true;
    const std::string out = openCapturingStdout(&opened);
    EXPECT_EQ(tvkInstallFieldlinkMessageHandler(nullptr), &routeLine);
    EXPECT_FALSE(opened);
    EXPECT_EQ(out, "");
    EXPECT_EQ(routedLines, std::vector<std::string>{"fieldlink: error = " + std::string(modbus_strerror(ECONNREFUSED))});
}

// A host that calls setlocale(LC_ALL, "") gets the C library's texts in its
// own language and encoding; the line and errorString() keep them intact.
TEST_F(TcpClientTest, RefusalUnderAHostLocaleKeepsTheLibraryText)
{
    struct Case {
        const char* locale;
        CtvkString (*decode)(const char*, int);
    };
    const Case cases[] = {{"fr_FR.UTF-8", &CtvkString::fromUtf8}, {"fr_FR.ISO-8859-1", &CtvkString::fromLatin1}};
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    int tried = 0;
    for (const Case& c : cases) {
        if (!std::setlocale(LC_ALL, c.locale))
            continue;
        const std::string text = modbus_strerror(ECONNREFUSED);
        if (std::all_of(text.begin(), text.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; })) {
            std::setlocale(LC_ALL, saved.c_str());
            continue;   // no translation of the C library's messages
        }
        ++tried;
        refusing = std::make_unique<RefusingPort>();
        aimAt(refusing->port());
        bool opened = true;
        const std::string out = openCapturingStdout(&opened);
        std::setlocale(LC_ALL, saved.c_str());
        EXPECT_FALSE(opened);
        EXPECT_EQ(out, "error = " + text + "\n") << c.locale;
        EXPECT_EQ(client->errorString().toStdString(), c.decode(text.c_str(), -1).toStdString()) << c.locale;
    }
    std::setlocale(LC_ALL, saved.c_str());
    if (tried == 0)
        GTEST_SKIP() << "no French locale with translated C library messages "
                        "(localedef -i fr_FR -f UTF-8 fr_FR.UTF-8, package libc-l10n)";
}

TEST_F(TcpClientTest, DefaultsReachLoopbackPort502)
{
    try {
        slave = std::make_unique<FakeSlave>(0, 502);
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "port 502 is taken or needs privileges here";
    }
    ASSERT_TRUE(client->open()) << client->errorString().toStdString();
    unsigned short reg = 0;
    EXPECT_TRUE(client->sendReadHoldingRegisters(502, 1, &reg));
    EXPECT_EQ(reg, 502);
}

TEST_F(TcpClientTest, RequestsAfterAFailedOpenFail)
{
    refusing = std::make_unique<RefusingPort>();
    aimAt(refusing->port());
    bool opened = true;
    openCapturingStdout(&opened);
    ASSERT_FALSE(opened);
    unsigned short reg = 0;
    EXPECT_FALSE(client->sendReadHoldingRegisters(0, 1, &reg));
    EXPECT_EQ(client->error(), CtvkModbusDevice::ReadError);
    EXPECT_FALSE(client->sendWriteSingleRegisters(0, 1));
    EXPECT_EQ(client->error(), CtvkModbusDevice::WriteError);
}

TEST_F(TcpClientTest, SecondOpenBuildsAContextFromTheCurrentParameters)
{
    refusing = std::make_unique<RefusingPort>();
    aimAt(refusing->port());
    bool opened = true;
    openCapturingStdout(&opened);
    ASSERT_FALSE(opened);

    slave = std::make_unique<FakeSlave>(0);
    aimAt(slave->port());
    ASSERT_TRUE(client->open());
    unsigned short reg = 0;
    EXPECT_TRUE(client->sendReadHoldingRegisters(21, 1, &reg));
    EXPECT_EQ(reg, 21);
}

TEST_F(TcpClientTest, AddressLibmodbusRefusesIsAConfigurationErrorWithoutOutput)
{
    // libmodbus takes host names up to 1024 characters, no longer.
    const std::string tooLong(1100, 'h');
    client->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant(CtvkString::fromAscii(tooLong.c_str())));
    bool opened = true;
    const std::string out = openCapturingStdout(&opened);
    EXPECT_FALSE(opened);
    EXPECT_EQ(out, "");
    EXPECT_EQ(client->error(), CtvkModbusDevice::ConfigurationError);
    EXPECT_TRUE(client->errorString() == "Unable to create the libmodbus context");
    ASSERT_EQ(recorder->codes.size(), 1u);
    EXPECT_EQ(recorder->codes[0], CtvkModbusDevice::ConfigurationError);
}

TEST_F(TcpClientTest, PortOutsideSixteenBitsGetsNoContext)
{
    // 65536 + port would reach the slave if the port were cut to 16 bits.
    slave = std::make_unique<FakeSlave>(0);
    for (int port : {65536 + slave->port(), slave->port() - 65536}) {
        aimAt(port);
        bool opened = true;
        const std::string out = openCapturingStdout(&opened);
        EXPECT_FALSE(opened) << "port " << port;
        EXPECT_EQ(out, "");
        EXPECT_EQ(client->error(), CtvkModbusDevice::ConfigurationError);
        EXPECT_TRUE(client->errorString() == "Unable to create the libmodbus context");
    }
    EXPECT_EQ(slave->connections(), 0);
    EXPECT_EQ(recorder->codes.size(), 2u);
}

TEST_F(TcpClientTest, ReopeningAConnectedClientKeepsOneConnection)
{
    slave = std::make_unique<FakeSlave>(0);
    aimAt(slave->port());
    ASSERT_TRUE(client->open());
    ASSERT_TRUE(tvktest::waitFor([&] { return slave->connections() == 1; }));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(client->open()) << client->errorString().toStdString();
    // The slave sees each replaced connection end; a socket left open would
    // keep its connection alive.
    EXPECT_TRUE(tvktest::waitFor([&] { return slave->connections() == 1; }))
        << slave->connections() << " connections still open";
    unsigned short reg = 0;
    EXPECT_TRUE(client->sendReadInputRegisters(2, 1, &reg));
    EXPECT_EQ(reg, 2);
    client->close();
    EXPECT_TRUE(tvktest::waitFor([&] { return slave->connections() == 0; }));
}

TEST_F(TcpClientTest, SocketNumberSelectCannotTakeIsRefusedAtOpen)
{
    slave = std::make_unique<FakeSlave>(0);
    aimAt(slave->port());
    bool opened = true;
    std::string out;
    std::string recorded;
    {
        LowDescriptorsTaken taken(FD_SETSIZE);
        ASSERT_GE(LowDescriptorsTaken::next(), FD_SETSIZE) << "could not occupy the low descriptors";
        out = openCapturingStdout(&opened);
        recorded = client->errorString().toStdString();
        // Without a context every request fails cleanly instead of aborting
        // the process inside select().
        unsigned short reg = 0;
        EXPECT_FALSE(client->sendReadHoldingRegisters(0, 1, &reg));
        EXPECT_EQ(client->error(), CtvkModbusDevice::ReadError);
    }
    EXPECT_FALSE(opened);
    ASSERT_GE(recorder->codes.size(), 1u);
    EXPECT_EQ(recorder->codes[0], CtvkModbusDevice::ConnectionError);
    // The number is whatever was free (capturing the output took one too).
    const std::string prefix = "error = Socket number ";
    const std::string suffix = " is beyond what libmodbus can wait on (select() takes numbers below "
        + std::to_string(FD_SETSIZE) + ")\n";
    ASSERT_GT(out.size(), prefix.size() + suffix.size()) << out;
    EXPECT_EQ(out.substr(0, prefix.size()), prefix);
    EXPECT_EQ(out.substr(out.size() - suffix.size()), suffix);
    EXPECT_GE(std::stoi(out.substr(prefix.size())), FD_SETSIZE);
    EXPECT_EQ(recorded + "\n", out.substr(8)) << "printed and recorded texts differ";

    // Once low numbers are free again the same client connects.
    ASSERT_TRUE(client->open());
    unsigned short reg = 0;
    EXPECT_TRUE(client->sendReadHoldingRegisters(3, 1, &reg));
    EXPECT_EQ(reg, 3);
}

TEST_F(TcpClientTest, HandlerOfAFailedOpenMayOpenAgain)
{
    refusing = std::make_unique<RefusingPort>();
    slave = std::make_unique<FakeSlave>(0);
    aimAt(refusing->port());
    bool retried = false;
    bool retryOpened = false;
    CtvkObject::connect<CtvkModbusDevice::Error>(
        client.get(), "errorOccurred(CtvkModbusDevice::Error)", recorder.get(),
        std::function<void(CtvkModbusDevice::Error)>([&](CtvkModbusDevice::Error code) {
            if (code != CtvkModbusDevice::ConnectionError || retried)
                return;
            retried = true;
            aimAt(slave->port());
            retryOpened = client->open();
        }));
    bool opened = true;
    openCapturingStdout(&opened);
    EXPECT_FALSE(opened);
    ASSERT_TRUE(retried);
    EXPECT_TRUE(retryOpened);
    // The outer open must not release the context the handler connected.
    unsigned short reg = 0;
    EXPECT_TRUE(client->sendReadHoldingRegisters(8, 1, &reg));
    EXPECT_EQ(reg, 8);
}

TEST_F(TcpClientTest, TimeoutSetAfterOpenReadsBack)
{
    slave = std::make_unique<FakeSlave>(0);
    aimAt(slave->port());
    ASSERT_TRUE(client->open());
    ASSERT_TRUE(client->setTimeout(2, 250000));
    unsigned seconds = 0;
    unsigned microseconds = 0;
    client->timeout(&seconds, &microseconds);
    EXPECT_EQ(seconds, 2u);
    EXPECT_EQ(microseconds, 250000u);
    microseconds = 0;
    client->timeout(nullptr, &microseconds);
    EXPECT_EQ(microseconds, 250000u);

    EXPECT_FALSE(client->setTimeout(0, 0));
    EXPECT_FALSE(client->setTimeout(0, 1000000));
    EXPECT_EQ(client->error(), CtvkModbusDevice::ConfigurationError);
    EXPECT_EQ(recorder->codes.size(), 2u);
    client->timeout(&seconds, &microseconds);
    EXPECT_EQ(seconds, 2u) << "a refused timeout changed the context";
}

// A host may keep its device in static storage: it is destroyed after the
// main thread's thread-local data is gone, and exit must still be clean.
void useStaticClient()
{
    static CtvkModbusTcpClient plc(nullptr);
    plc.setConnectionParameter(CtvkModbusDevice::NetworkPort, 1);
}

TEST(TcpClientLifetimeTest, ClientInStaticStorageExitsCleanly)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        useStaticClient();
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit ended with status " << status;
}

} // namespace
