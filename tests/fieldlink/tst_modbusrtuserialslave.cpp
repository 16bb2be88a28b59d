// SPDX-License-Identifier: MIT
#include "descriptors.h"
#include "errorrecorder.h"
#include "libmodbusresponder.h"
#include "ptypair.h"
#include "pymodbuspeers.h"
#include "rtuarguments.h"
#include "waiting.h"

#include "tvkmodbusrtuserialslave.h"
#include "tvkmodbusrtuserialslave_p.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

using namespace Quorvan;
using tvktest::ErrorRecorder;
using tvktest::LibmodbusResponder;
using tvktest::PtyPair;

namespace {

constexpr int SlaveId = 5;

class RtuRequester : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(line.ok());
        descriptors = tvktest::openDescriptors();
        requester = std::make_unique<CtvkModbusRtuSerialSlave>();
        recorder = std::make_unique<ErrorRecorder>(requester.get());
        requester->setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                          CtvkVariant(CtvkString::fromAscii(line.path().c_str())));
        requester->setSlave(SlaveId);
    }
    void TearDown() override
    {
        recorder.reset();
        requester.reset();
        EXPECT_EQ(tvktest::openDescriptors(), descriptors) << "a descriptor was left open";
    }

    bool hasContext() { return requester->d_func()->modbusContext != nullptr; }

    PtyPair line;
    int descriptors = 0;
    std::unique_ptr<CtvkModbusRtuSerialSlave> requester;
    std::unique_ptr<ErrorRecorder> recorder;
};

} // namespace

TEST(RtuRequesterNames, OnlyThePrivateTakingConstructorNamesTheClass)
{
    CtvkModbusRtuSerialSlave plain;
    EXPECT_STREQ(plain.className(), "CtvkModbusClient");
    EXPECT_FALSE(plain.inherits("CtvkModbusRtuSerialSlave"));
    EXPECT_TRUE(plain.inherits("CtvkModbusClient"));
    EXPECT_EQ(plain.numberOfRetries(), 3);

    CtvkModbusRtuSerialSlave named(new CtvkModbusRtuSerialSlavePrivate, nullptr);
    EXPECT_STREQ(named.className(), "CtvkModbusRtuSerialSlave");
    EXPECT_TRUE(named.inherits("CtvkModbusRtuSerialSlave"));
    EXPECT_TRUE(named.inherits("CtvkModbusDevice"));
}

TEST_F(RtuRequester, SerialParametersAndParityReachTheLine)
{
    // Defaults: 19200 baud, even parity, 8 data bits, 1 stop bit.
    ASSERT_TRUE(requester->open()) << requester->errorString().toStdString();
    EXPECT_EQ(tvktest::lastRtu().device, line.path());
    EXPECT_EQ(tvktest::lastRtu().baud, 19200);
    EXPECT_EQ(tvktest::lastRtu().parity, 'E');
    EXPECT_EQ(tvktest::lastRtu().dataBits, 8);
    EXPECT_EQ(tvktest::lastRtu().stopBits, 1);
    termios t{};
    ASSERT_EQ(::tcgetattr(line.device(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B19200);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    requester->close();   // parameters take effect with a new context

    struct Case { int parity; char expected; };
    for (const Case c : {Case{2, 'E'}, Case{3, 'O'}, Case{0, 'N'}, Case{1, 'N'}, Case{4, 'N'},
                         Case{5, 'N'}, Case{-1, 'N'}}) {
        requester->setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(c.parity));
        ASSERT_TRUE(requester->open());
        EXPECT_EQ(tvktest::lastRtu().parity, c.expected) << "parity " << c.parity;
        ASSERT_EQ(::tcgetattr(line.device(), &t), 0);
        EXPECT_EQ(bool(t.c_cflag & PARODD), c.expected == 'O') << "parity " << c.parity;
        requester->close();
    }

    requester->setConnectionParameter(CtvkModbusDevice::SerialBaudRate, CtvkVariant(9600));
    requester->setConnectionParameter(CtvkModbusDevice::SerialDataBits, CtvkVariant(7));
    requester->setConnectionParameter(CtvkModbusDevice::SerialStopBits, CtvkVariant(2));
    ASSERT_TRUE(requester->open());
    EXPECT_EQ(tvktest::lastRtu().dataBits, 7);
    ASSERT_EQ(::tcgetattr(line.device(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B9600);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(recorder->codes.empty());
}

TEST_F(RtuRequester, EightRequestsAgainstLibmodbusResponder)
{
    LibmodbusResponder responder(line.peer(), SlaveId);
    ASSERT_TRUE(requester->open());
    ASSERT_TRUE(requester->setTimeout(2, 0));

    unsigned char bits[10] = {};
    ASSERT_TRUE(requester->sendReadColis(3, 10, bits)) << requester->errorString().toStdString();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(bits[i], (3 + i) % 3 == 0) << "coil " << 3 + i;
    ASSERT_TRUE(requester->sendReadDiscreteInputs(10, 5, bits));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(bits[i], (10 + i) % 2) << "input " << 10 + i;
    unsigned short regs[4] = {};
    ASSERT_TRUE(requester->sendReadHoldingRegisters(20, 4, regs));
    EXPECT_EQ(regs[3], 1023);
    ASSERT_TRUE(requester->sendReadInputRegisters(96, 4, regs));
    EXPECT_EQ(regs[0], 2096);
    EXPECT_EQ(regs[3], 2099);

    ASSERT_TRUE(requester->sendWriteSingleColis(1, 1));
    unsigned char pattern[9] = {1, 0, 1, 1, 0, 0, 1, 0, 1};
    ASSERT_TRUE(requester->sendWriteMultiCoils(40, 9, pattern));
    ASSERT_TRUE(requester->sendWriteSingleRegisters(50, 0xBEEF));
    unsigned short values[3] = {7, 8, 9};
    ASSERT_TRUE(requester->sendWriteMultigisters(60, 3, values));

    modbus_mapping_t* map = responder.mapping();
    EXPECT_EQ(map->tab_bits[1], 1);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(map->tab_bits[40 + i], pattern[i]);
    EXPECT_EQ(map->tab_registers[50], 0xBEEF);
    EXPECT_EQ(map->tab_registers[62], 9);
    EXPECT_TRUE(recorder->codes.empty());
}

// No device answers a broadcast: the write went out once and is a success,
// not three response timeouts and a WriteError.
TEST_F(RtuRequester, BroadcastWriteIsSentOnceAndSucceeds)
{
    LibmodbusResponder responder(line.peer(), SlaveId);
    requester->setSlave(0);
    ASSERT_TRUE(requester->open());
    ASSERT_TRUE(requester->setTimeout(0, 200000));
    ASSERT_TRUE(requester->sendWriteSingleRegisters(50, 0x1234)) << requester->errorString().toStdString();
    unsigned short values[2] = {7, 8};
    ASSERT_TRUE(requester->sendWriteMultigisters(60, 2, values)) << requester->errorString().toStdString();
    EXPECT_TRUE(tvktest::waitFor([&] { return responder.mapping()->tab_registers[61] == 8; }));
    EXPECT_EQ(responder.mapping()->tab_registers[50], 0x1234);
    EXPECT_EQ(responder.served(), 0) << "a broadcast was answered";
    EXPECT_TRUE(recorder->codes.empty());
}

TEST_F(RtuRequester, PortThatCannotBeOpenedLeavesNoContextAndASecondOpenBuildsOne)
{
    requester->setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                      CtvkVariant(CtvkString::fromAscii("/nonexistent/ttyQ0")));
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(requester->open());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "connect failed\n");
    EXPECT_EQ(requester->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_EQ(requester->errorString().toStdString(), modbus_strerror(ENOENT));
    EXPECT_EQ(recorder->codes, std::vector<CtvkModbusDevice::Error>{CtvkModbusDevice::ConnectionError});
    EXPECT_FALSE(hasContext());
    requester->close();
    requester->close();

    requester->setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                      CtvkVariant(CtvkString::fromAscii(line.path().c_str())));
    ASSERT_TRUE(requester->open());
    EXPECT_TRUE(hasContext());
    EXPECT_GE(requester->interFrameDelay(), 0) << "an RTU context";
}

TEST_F(RtuRequester, ContextRefusedByLibmodbusIsAConfigurationError)
{
    requester->setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkVariant(CtvkString::fromAscii("")));
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(requester->open());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(requester->error(), CtvkModbusDevice::ConfigurationError);
    EXPECT_EQ(requester->errorString().toStdString(), "Unable to create the libmodbus context");
    EXPECT_FALSE(hasContext());
}

TEST_F(RtuRequester, OpenTwiceKeepsOneContextAndLeaksNoDescriptor)
{
    LibmodbusResponder responder(line.peer(), SlaveId);
    ASSERT_TRUE(requester->open());
    ASSERT_TRUE(requester->setTimeout(2, 0));
    modbus_t* context = requester->d_func()->modbusContext;
    const int opened = tvktest::openDescriptors();
    ASSERT_TRUE(requester->open());
    EXPECT_EQ(requester->d_func()->modbusContext, context);
    EXPECT_EQ(tvktest::openDescriptors(), opened);
    unsigned short value = 0;
    EXPECT_TRUE(requester->sendReadHoldingRegisters(7, 1, &value)) << "the response timeout is kept";
    EXPECT_EQ(value, 1007);
}

TEST_F(RtuRequester, InterFrameDelayRefusedForGoodIsRecordedNotRetriedForever)
{
    // No context: -1 is libmodbus's failure and no delay to compare with.
    EXPECT_EQ(requester->interFrameDelay(), -1);
    EXPECT_FALSE(requester->setInterFrameDelay(-1));
    EXPECT_EQ(requester->error(), CtvkModbusDevice::ConfigurationError);
    EXPECT_EQ(requester->errorString().toStdString(), modbus_strerror(EINVAL));
    EXPECT_EQ(recorder->codes.size(), 1u);

    ASSERT_TRUE(requester->open());
    EXPECT_TRUE(requester->setInterFrameDelay(1500));
    EXPECT_EQ(requester->interFrameDelay(), 1500);
    EXPECT_TRUE(requester->setInterFrameDelay(1500));
    EXPECT_FALSE(requester->setInterFrameDelay(-20));
    EXPECT_EQ(requester->interFrameDelay(), 1500);
    EXPECT_EQ(recorder->codes.size(), 2u);
}

TEST_F(RtuRequester, DescriptorBeyondWhatSelectTakesFailsOpenCleanly)
{
    if (!tvktest::LowDescriptorsTaken::possible())
        GTEST_SKIP() << "the descriptor limit stays below " << FD_SETSIZE;
    bool opened = false;
    bool context = true;
    std::string out;
    {
        tvktest::LowDescriptorsTaken fillers;   // so the port opens above FD_SETSIZE
        ::testing::internal::CaptureStdout();
        opened = requester->open();
        out = ::testing::internal::GetCapturedStdout();
        context = hasContext();
    }

    EXPECT_FALSE(opened);
    EXPECT_FALSE(context);
    EXPECT_EQ(out, "connect failed\n");
    EXPECT_EQ(requester->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_NE(requester->errorString().toStdString().find("beyond what libmodbus can wait on"),
              std::string::npos) << requester->errorString().toStdString();
}

TEST(RtuRequesterInterop, EightRequestsAgainstPymodbusSlave)
{
    tvktest::PtyLink link;
    ASSERT_TRUE(link.ok());
    tvktest::PymodbusSerialPeer peer({"server", link.pathA(), std::to_string(SlaveId)});
    ASSERT_FALSE(peer.waitForLine("serving", 30000).empty()) << "pymodbus did not start: " << peer.output();

    CtvkModbusRtuSerialSlave requester;
    ErrorRecorder recorder(&requester);
    requester.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                     CtvkVariant(CtvkString::fromAscii(link.pathB().c_str())));
    requester.setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(0));
    requester.setSlave(SlaveId);
    ASSERT_TRUE(requester.open());
    ASSERT_TRUE(requester.setTimeout(2, 0));

    unsigned char bits[10] = {};
    ASSERT_TRUE(requester.sendReadColis(3, 10, bits)) << requester.errorString().toStdString();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(bits[i], (3 + i) % 3 == 0) << "coil " << 3 + i;
    ASSERT_TRUE(requester.sendReadDiscreteInputs(10, 5, bits));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(bits[i], (10 + i) % 2) << "input " << 10 + i;
    unsigned short regs[13] = {};
    ASSERT_TRUE(requester.sendReadHoldingRegisters(20, 4, regs));
    EXPECT_EQ(regs[0], 1020);
    ASSERT_TRUE(requester.sendReadInputRegisters(96, 4, regs));
    EXPECT_EQ(regs[3], 2099);

    unsigned char pattern[9] = {1, 0, 1, 1, 0, 0, 1, 0, 1};
    ASSERT_TRUE(requester.sendWriteSingleColis(1, 1));
    ASSERT_TRUE(requester.sendWriteMultiCoils(40, 9, pattern));
    ASSERT_TRUE(requester.sendWriteSingleRegisters(50, 0xBEEF));
    unsigned short values[3] = {7, 8, 9};
    ASSERT_TRUE(requester.sendWriteMultigisters(60, 3, values));

    // The writes as the slave holds them now.
    ASSERT_TRUE(requester.sendReadColis(40, 9, bits));
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(bits[i], pattern[i]) << "coil " << 40 + i;
    ASSERT_TRUE(requester.sendReadColis(1, 1, bits));
    EXPECT_EQ(bits[0], 1);
    ASSERT_TRUE(requester.sendReadHoldingRegisters(50, 13, regs));
    EXPECT_EQ(regs[0], 0xBEEF);
    EXPECT_EQ(regs[10], 7);
    EXPECT_EQ(regs[12], 9);
    EXPECT_TRUE(recorder.codes.empty());
}
