// SPDX-License-Identifier: MIT
// tvk-modbus-slave on a serial line: polled by mbpoll and by the library's
// own serial requester over a linked pair of pseudo terminals.
#include "childprocess.h"
#include "ptypair.h"

#include "tvkmodbusrtuserialslave.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

using namespace Quorvan;

namespace {

constexpr int StartMs = 10000;   // generous: the machine may be loaded

std::unique_ptr<tvktest::ChildProcess> startSerialSlave(const std::string& port,
                                                       const std::vector<std::string>& extra = {})
{
    std::vector<std::string> argv{TVK_SLAVE_PATH, "--serial", port, "--parity", "none", "--slave-id", "7"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<tvktest::ChildProcess>(argv);
}

} // namespace

TEST(ModbusSlaveSerial, ServesMbpollAndTheLibraryRequester)
{
    tvktest::PtyLink link;
    ASSERT_TRUE(link.ok());
    char name[] = "/tmp/tvk-slave-serial-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(name) << "hr 0 100 200 0x1234\ncoils 3 1\n";

    auto slave = startSerialSlave(link.pathA(), {"--init", name});
    const std::string serving = slave->waitForLine("serving slave 7", StartMs);
    ::unlink(name);
    ASSERT_FALSE(serving.empty()) << slave->errors();
    EXPECT_NE(serving.find("19200 baud, 8N1"), std::string::npos) << serving;

    tvktest::ChildProcess mbpoll({"/usr/bin/mbpoll", "-m", "rtu", "-b", "19200", "-P", "none", "-a", "7", "-0",
                                 "-t", "4", "-r", "0", "-c", "3", "-1", link.pathB()});
    EXPECT_EQ(mbpoll.waitForExit(StartMs), 0) << mbpoll.errors();
    EXPECT_NE(mbpoll.output().find("[2]: \t4660"), std::string::npos) << mbpoll.output();

    CtvkModbusRtuSerialSlave requester;
    requester.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                     CtvkVariant(CtvkString::fromAscii(link.pathB().c_str())));
    requester.setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(0));
    requester.setSlave(7);
    ASSERT_TRUE(requester.open());
    ASSERT_TRUE(requester.setTimeout(2, 0));
    unsigned char coil = 0;
    EXPECT_TRUE(requester.sendReadColis(3, 1, &coil));
    EXPECT_EQ(coil, 1);
    EXPECT_TRUE(requester.sendWriteSingleRegisters(10, 4242));
    unsigned short value = 0;
    EXPECT_TRUE(requester.sendReadHoldingRegisters(10, 1, &value));
    EXPECT_EQ(value, 4242);
    requester.setSlave(8);   // another slave id: nobody answers
    requester.setNumberOfRetries(1);
    ASSERT_TRUE(requester.open());
    ASSERT_TRUE(requester.setTimeout(0, 200000));
    EXPECT_FALSE(requester.sendReadHoldingRegisters(10, 1, &value));
    requester.close();

    EXPECT_FALSE(slave->waitForLine("requests/s", StartMs).empty()) << slave->output();
    slave->signal(SIGTERM);
    EXPECT_EQ(slave->waitForExit(StartMs), 0);
    EXPECT_NE(slave->output().find("stopping on SIGTERM"), std::string::npos);
}

TEST(ModbusSlaveSerial, PortThatCannotBeOpenedEndsWithStatusOne)
{
    auto slave = startSerialSlave("/nonexistent/ttyQ2");
    EXPECT_EQ(slave->waitForExit(StartMs), 1);
    EXPECT_NE(slave->output().find("connect failed"), std::string::npos) << slave->output();
    EXPECT_NE(slave->errors().find("cannot open /nonexistent/ttyQ2"), std::string::npos) << slave->errors();
}

TEST(ModbusSlaveSerial, LineThatHangsUpEndsWithStatusOne)
{
    auto link = std::make_unique<tvktest::PtyLink>();
    ASSERT_TRUE(link->ok());
    auto slave = startSerialSlave(link->pathA());
    ASSERT_FALSE(slave->waitForLine("serving slave 7", StartMs).empty()) << slave->errors();
    link.reset();
    EXPECT_EQ(slave->waitForExit(StartMs), 1);
    EXPECT_NE(slave->errors().find("serial line lost"), std::string::npos) << slave->errors();
}

TEST(ModbusSlaveSerial, BadLineSettingsAreUsageErrors)
{
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--parity", "mark"},
                                                {"--data-bits", "9"}, {"--stop-bits", "3"},
                                                {"--slave-id", "0"}, {"--baud", "0"}}) {
        auto slave = startSerialSlave("/dev/null", bad);
        EXPECT_EQ(slave->waitForExit(StartMs), 2) << bad[0];
    }
}
