// SPDX-License-Identifier: MIT
#include "descriptors.h"
#include "errorrecorder.h"

#include "tvkmodbustcpclient.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <cerrno>

#include <memory>

using namespace Quorvan;
using tvktest::ErrorRecorder;

namespace {

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override { m_descriptors = tvktest::openDescriptors(); }
    void TearDown() override
    {
        recorder.reset();
        device.reset();
        EXPECT_EQ(tvktest::openDescriptors(), m_descriptors) << "a descriptor was left open";
    }

    // The TCP client is the plainest concrete device.
    std::unique_ptr<CtvkModbusTcpClient> device = std::make_unique<CtvkModbusTcpClient>();
    std::unique_ptr<ErrorRecorder> recorder = std::make_unique<ErrorRecorder>(device.get());

private:
    int m_descriptors = 0;
};

TEST_F(DeviceTest, FreshDeviceHasEveryDefault)
{
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::SerialPortName).type(), CtvkVariant::String);
    EXPECT_TRUE(device->connectionParameter(CtvkModbusDevice::SerialPortName).toString().isEmpty());
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::SerialParity), CtvkVariant(2));
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::SerialBaudRate), CtvkVariant(19200));
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::SerialDataBits), CtvkVariant(8));
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::SerialStopBits), CtvkVariant(1));
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::NetworkPort), CtvkVariant(502));
    // Variants compare numbers by value, so the kind is checked on its own.
    for (int key = CtvkModbusDevice::SerialParity; key <= CtvkModbusDevice::NetworkPort; ++key)
        EXPECT_EQ(device->connectionParameter(key).type(), CtvkVariant::Int) << "key " << key;
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::NetworkAddress).type(), CtvkVariant::String);
    EXPECT_TRUE(device->connectionParameter(CtvkModbusDevice::NetworkAddress).toString() == "127.0.0.1");
    EXPECT_FALSE(device->connectionParameter(7).isValid());
    EXPECT_FALSE(device->connectionParameter(-1).isValid());
    EXPECT_EQ(device->slave(), 0);
    EXPECT_EQ(device->error(), CtvkModbusDevice::NoError);
    EXPECT_TRUE(device->errorString().isEmpty());
}

TEST_F(DeviceTest, KnownKeysConvertToTheirStoredType)
{
    device->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant("1502"));
    device->setConnectionParameter(CtvkModbusDevice::SerialBaudRate, CtvkVariant(9600));
    device->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant(7));
    device->setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkVariant("/dev/ttyS1"));
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::NetworkPort), CtvkVariant(1502));
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::NetworkPort).type(), CtvkVariant::Int);
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::SerialBaudRate), CtvkVariant(9600));
    device->setConnectionParameter(CtvkModbusDevice::SerialStopBits, CtvkVariant(2.0));
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::SerialStopBits).type(), CtvkVariant::Int);
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::NetworkAddress).type(), CtvkVariant::String);
    EXPECT_TRUE(device->connectionParameter(CtvkModbusDevice::NetworkAddress).toString() == "7");
    EXPECT_TRUE(device->connectionParameter(CtvkModbusDevice::SerialPortName).toString() == "/dev/ttyS1");
    // Not validated: the value is kept as given.
    device->setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(-5));
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::SerialParity), CtvkVariant(-5));
    EXPECT_FALSE(device->connectionParameter(7).isValid()) << "a known key spilled into the free ones";
}

TEST_F(DeviceTest, FreeKeysAreStoredReplacedAndKeptApart)
{
    device->setConnectionParameter(7, CtvkVariant("first"));
    EXPECT_EQ(device->connectionParameter(7), CtvkVariant("first"));
    device->setConnectionParameter(7, CtvkVariant(42));
    EXPECT_EQ(device->connectionParameter(7), CtvkVariant(42));
    EXPECT_EQ(device->connectionParameter(7).type(), CtvkVariant::Int);

    device->setConnectionParameter(-1, CtvkVariant(true));
    EXPECT_EQ(device->connectionParameter(-1), CtvkVariant(true));
    EXPECT_EQ(device->connectionParameter(7), CtvkVariant(42));
    EXPECT_FALSE(device->connectionParameter(8).isValid());
    // A free key never changes a known parameter.
    EXPECT_EQ(device->connectionParameter(CtvkModbusDevice::NetworkPort), CtvkVariant(502));
}

TEST_F(DeviceTest, SetTimeoutBeforeOpenFailsWithOneConfigurationError)
{
    EXPECT_FALSE(device->setTimeout(1, 0));
    EXPECT_EQ(device->error(), CtvkModbusDevice::ConfigurationError);
    EXPECT_EQ(device->errorString(), CtvkString::fromAscii(modbus_strerror(EINVAL)));
    ASSERT_EQ(recorder->codes.size(), 1u);
    EXPECT_EQ(recorder->codes[0], CtvkModbusDevice::ConfigurationError);
}

TEST_F(DeviceTest, TimeoutBeforeOpenRecordsConfigurationErrorAndLeavesOutputs)
{
    unsigned seconds = 77;
    unsigned microseconds = 88;
    device->timeout(&seconds, &microseconds);
    EXPECT_EQ(seconds, 77u);
    EXPECT_EQ(microseconds, 88u);
    EXPECT_EQ(device->error(), CtvkModbusDevice::ConfigurationError);
    ASSERT_EQ(recorder->codes.size(), 1u);
    EXPECT_EQ(recorder->codes[0], CtvkModbusDevice::ConfigurationError);
}

TEST_F(DeviceTest, IdenticalErrorsEmitEachTime)
{
    const CtvkString text = CtvkString::fromAscii("same");
    device->setError(text, CtvkModbusDevice::WriteError);
    device->setError(text, CtvkModbusDevice::WriteError);
    ASSERT_EQ(recorder->codes.size(), 2u);
    EXPECT_EQ(recorder->codes[0], CtvkModbusDevice::WriteError);
    EXPECT_EQ(recorder->codes[1], CtvkModbusDevice::WriteError);
    EXPECT_EQ(device->error(), CtvkModbusDevice::WriteError);
    EXPECT_TRUE(device->errorString() == "same");
}

TEST_F(DeviceTest, ErrorIsStoredBeforeTheSignalRuns)
{
    CtvkModbusDevice::Error seen = CtvkModbusDevice::NoError;
    CtvkString seenText;
    CtvkObject::connect<CtvkModbusDevice::Error>(
        device.get(), "errorOccurred(CtvkModbusDevice::Error)", recorder.get(),
        std::function<void(CtvkModbusDevice::Error)>([&](CtvkModbusDevice::Error) {
            seen = device->error();
            seenText = device->errorString();
        }));
    device->setError(CtvkString::fromAscii("why"), CtvkModbusDevice::ReadError);
    EXPECT_EQ(seen, CtvkModbusDevice::ReadError);
    EXPECT_TRUE(seenText == "why");
}

TEST_F(DeviceTest, CloseWithoutContextTwiceIsHarmless)
{
    device->close();
    device->close();
    EXPECT_FALSE(device->setTimeout(1, 0)) << "close left a context behind";
    EXPECT_EQ(device->flush(), -1);
}

TEST_F(DeviceTest, TcpClientCarriesTheClientClassName)
{
    EXPECT_STREQ(device->className(), "CtvkModbusClient");
    EXPECT_TRUE(device->inherits("CtvkModbusClient"));
    EXPECT_TRUE(device->inherits("CtvkModbusDevice"));
    EXPECT_FALSE(device->inherits("CtvkModbusTcpClient"));
}

} // namespace
