// SPDX-License-Identifier: MIT
#include "descriptors.h"
#include "errorrecorder.h"
#include "fakeslave.h"
#include "waiting.h"

#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpclient_p.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <cerrno>

#include <memory>

using namespace Quorvan;
using tvktest::ErrorRecorder;
using tvktest::FakeSlave;

namespace {

const CtvkString timedOut = CtvkString::fromAscii(modbus_strerror(ETIMEDOUT));
const CtvkString invalidArgument = CtvkString::fromAscii(modbus_strerror(EINVAL));

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { m_descriptors = tvktest::openDescriptors(); }
    void TearDown() override
    {
        recorder.reset();
        client.reset();
        slave.reset();
        EXPECT_EQ(tvktest::openDescriptors(), m_descriptors) << "a descriptor was left open";
    }

    // Opens the client on a fake slave that leaves `silent` requests
    // unanswered. The timeout is what each silent request costs; where an
    // answer must arrive in time, give the slave's thread enough of it to be
    // scheduled on a loaded machine.
    void openOn(int silent, unsigned timeoutUs = 100000)
    {
        slave = std::make_unique<FakeSlave>(silent);
        client->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(slave->port()));
        ASSERT_TRUE(client->open()) << client->errorString().toStdString();
        ASSERT_TRUE(client->setTimeout(0, timeoutUs));
    }

    std::unique_ptr<FakeSlave> slave;
    std::unique_ptr<CtvkModbusTcpClient> client = std::make_unique<CtvkModbusTcpClient>();
    std::unique_ptr<ErrorRecorder> recorder = std::make_unique<ErrorRecorder>(client.get());

private:
    int m_descriptors = 0;
};

TEST_F(ClientTest, NumberOfRetriesStartsAtThreeAndRefusesNegatives)
{
    EXPECT_EQ(client->numberOfRetries(), 3);
    client->setNumberOfRetries(-1);
    EXPECT_EQ(client->numberOfRetries(), 3);
    client->setNumberOfRetries(0);
    EXPECT_EQ(client->numberOfRetries(), 0);
    client->setNumberOfRetries(1000);
    EXPECT_EQ(client->numberOfRetries(), 1000);
}

TEST_F(ClientTest, ConstructorResetsRetriesOfAGivenPrivate)
{
    auto* d = new CtvkModbusTcpClientPrivate;
    d->numberOfRetries = 9;
    CtvkModbusTcpClient other(d, nullptr);
    EXPECT_EQ(other.numberOfRetries(), 3);
    EXPECT_EQ(other.d_func(), d);
    EXPECT_FALSE(d->isOpen());
    EXPECT_EQ(d->mm_func(), &other);
}

TEST_F(ClientTest, NullPrivateGetsOneOfTheRightKind)
{
    // Every accessor below reads a field the plain object private lacks.
    CtvkModbusTcpClient other(nullptr, nullptr);
    ASSERT_NE(other.d_func(), nullptr);
    EXPECT_EQ(other.d_func()->mm_func(), &other);
    EXPECT_EQ(other.numberOfRetries(), 3);
    other.setNumberOfRetries(5);
    EXPECT_EQ(other.numberOfRetries(), 5);
    EXPECT_EQ(other.connectionParameter(CtvkModbusDevice::NetworkPort), CtvkVariant(502));
    EXPECT_TRUE(other.connectionParameter(CtvkModbusDevice::NetworkAddress).toString() == "127.0.0.1");
    EXPECT_FALSE(other.connectionParameter(7).isValid());
    EXPECT_EQ(other.error(), CtvkModbusDevice::NoError);
    EXPECT_STREQ(other.className(), "CtvkModbusClient");
}

TEST_F(ClientTest, ReadAnsweredOnlyAtTheThirdAttemptSucceedsAndKeepsTheError)
{
    openOn(2, 400000);
    client->setError(CtvkString::fromAscii("earlier"), CtvkModbusDevice::ConnectionError);
    recorder->codes.clear();

    unsigned short values[3] = {0, 0, 0};
    EXPECT_TRUE(client->sendReadHoldingRegisters(10, 3, values));
    EXPECT_EQ(values[0], 10);
    EXPECT_EQ(values[1], 11);
    EXPECT_EQ(values[2], 12);
    EXPECT_EQ(slave->requests(), 3);
    EXPECT_EQ(client->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_TRUE(client->errorString() == "earlier");
    EXPECT_TRUE(recorder->codes.empty());
}

TEST_F(ClientTest, WriteAnsweredOnlyAtTheThirdAttemptSucceeds)
{
    openOn(2, 400000);
    EXPECT_TRUE(client->sendWriteSingleRegisters(4, 0x1234));
    EXPECT_EQ(slave->requests(), 3);
    EXPECT_EQ(client->error(), CtvkModbusDevice::NoError);
    EXPECT_TRUE(recorder->codes.empty());
}

TEST_F(ClientTest, UnansweredReadMakesThreeAttemptsAndRecordsOneReadError)
{
    openOn(-1);
    unsigned char bits[4];
    EXPECT_FALSE(client->sendReadColis(0, 4, bits));
    EXPECT_TRUE(tvktest::waitFor([&] { return slave->requests() >= 3; }));
    EXPECT_EQ(slave->requests(), 3);
    EXPECT_EQ(client->error(), CtvkModbusDevice::ReadError);
    EXPECT_EQ(client->errorString(), timedOut);
    ASSERT_EQ(recorder->codes.size(), 1u);
    EXPECT_EQ(recorder->codes[0], CtvkModbusDevice::ReadError);
}

TEST_F(ClientTest, UnansweredWriteMakesThreeAttemptsAndRecordsOneWriteError)
{
    openOn(-1);
    unsigned short regs[2] = {1, 2};
    EXPECT_FALSE(client->sendWriteMultigisters(0, 2, regs));
    EXPECT_TRUE(tvktest::waitFor([&] { return slave->requests() >= 3; }));
    EXPECT_EQ(slave->requests(), 3);
    EXPECT_EQ(client->error(), CtvkModbusDevice::WriteError);
    EXPECT_EQ(client->errorString(), timedOut);
    ASSERT_EQ(recorder->codes.size(), 1u);
    EXPECT_EQ(recorder->codes[0], CtvkModbusDevice::WriteError);
}

TEST_F(ClientTest, EveryOperationWorksAgainstAnAnsweringSlave)
{
    openOn(0, 900000);
    unsigned char bits[5] = {};
    ASSERT_TRUE(client->sendReadColis(3, 5, bits));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(bits[i], (3 + i) % 2) << "coil " << i;
    unsigned char inputs[2] = {};
    ASSERT_TRUE(client->sendReadDiscreteInputs(8, 2, inputs));
    EXPECT_EQ(inputs[0], 0);
    EXPECT_EQ(inputs[1], 1);
    unsigned short regs[2] = {};
    ASSERT_TRUE(client->sendReadInputRegisters(300, 2, regs));
    EXPECT_EQ(regs[0], 300);
    EXPECT_EQ(regs[1], 301);
    EXPECT_TRUE(client->sendWriteSingleColis(1, 1));
    unsigned char states[3] = {1, 0, 1};
    EXPECT_TRUE(client->sendWriteMultiCoils(1, 3, states));
    EXPECT_EQ(slave->requests(), 5);
    EXPECT_EQ(client->error(), CtvkModbusDevice::NoError);
}

TEST_F(ClientTest, NoAttemptsSendNothingAndRecordTheError)
{
    openOn(0, 900000);
    client->setNumberOfRetries(0);
    unsigned short value = 0;
    EXPECT_FALSE(client->sendReadHoldingRegisters(0, 1, &value));
    EXPECT_EQ(client->error(), CtvkModbusDevice::ReadError);
    EXPECT_FALSE(client->sendWriteSingleColis(0, 1));
    EXPECT_EQ(client->error(), CtvkModbusDevice::WriteError);
    EXPECT_EQ(recorder->codes.size(), 2u);

    // Requests on one connection arrive in order: if the two above had sent
    // anything, the slave would count it before this one.
    client->setNumberOfRetries(1);
    EXPECT_TRUE(client->sendReadHoldingRegisters(5, 1, &value));
    EXPECT_EQ(value, 5);
    EXPECT_EQ(slave->requests(), 1);
}

TEST_F(ClientTest, NoAttemptsTakeTheTextOfErrnoAsItStands)
{
    client->setNumberOfRetries(0);
    unsigned short value = 0;
    errno = EMBXSBUSY;
    EXPECT_FALSE(client->sendReadHoldingRegisters(0, 1, &value));
    EXPECT_EQ(client->errorString(), CtvkString::fromAscii(modbus_strerror(EMBXSBUSY)));
    errno = ECONNRESET;
    EXPECT_FALSE(client->sendWriteSingleRegisters(0, 1));
    EXPECT_EQ(client->errorString(), CtvkString::fromAscii(modbus_strerror(ECONNRESET)));
    EXPECT_EQ(client->error(), CtvkModbusDevice::WriteError);
}

TEST_F(ClientTest, PrivateTwinGivesTheCountOfTheFirstAnsweredAttempt)
{
    openOn(1, 400000);
    client->setNumberOfRetries(2);
    CtvkModbusClientPrivate* d = client->d_func();
    unsigned short regs[4] = {};
    EXPECT_EQ(d->processReadRgisters(20, 4, regs), 4);
    EXPECT_EQ(slave->requests(), 2);
    EXPECT_EQ(regs[3], 23);
    unsigned char bits[6] = {};
    EXPECT_EQ(d->processReadCoils(0, 6, bits), 6);
    unsigned short source[3] = {1, 2, 3};
    EXPECT_EQ(d->processWriteMultiRegisters(0, 3, source), 3);
    EXPECT_EQ(d->processWriteRegisters(0, 9), 1);
    EXPECT_EQ(client->error(), CtvkModbusDevice::NoError);
    EXPECT_TRUE(recorder->codes.empty());
}

TEST_F(ClientTest, PrivateTwinsFailWithoutTouchingTheError)
{
    openOn(-1);
    client->setNumberOfRetries(2);
    CtvkModbusClientPrivate* d = client->d_func();
    unsigned short regs[2];
    EXPECT_EQ(d->processReadRgisters(0, 2, regs), -1);
    EXPECT_TRUE(tvktest::waitFor([&] { return slave->requests() >= 2; }));
    EXPECT_EQ(slave->requests(), 2);
    EXPECT_EQ(d->processWriteRegisters(0, 7), -1);
    EXPECT_EQ(client->error(), CtvkModbusDevice::NoError);
    EXPECT_TRUE(client->errorString().isEmpty());
    EXPECT_TRUE(recorder->codes.empty());
}

TEST_F(ClientTest, NullBuffersAndCountsBelowOneAreRefusedBeforeSending)
{
    openOn(0, 900000);
    unsigned short regs[2] = {};
    unsigned char bits[2] = {};
    EXPECT_FALSE(client->sendReadHoldingRegisters(0, 2, nullptr));
    EXPECT_FALSE(client->sendReadInputRegisters(0, 0, regs));
    EXPECT_FALSE(client->sendReadColis(0, -1, bits));
    EXPECT_FALSE(client->sendReadDiscreteInputs(0, 1, nullptr));
    EXPECT_EQ(client->error(), CtvkModbusDevice::ReadError);
    EXPECT_EQ(client->errorString(), invalidArgument);
    EXPECT_FALSE(client->sendWriteMultiCoils(0, 2, nullptr));
    EXPECT_FALSE(client->sendWriteMultigisters(0, -3, regs));
    EXPECT_EQ(client->error(), CtvkModbusDevice::WriteError);
    EXPECT_EQ(client->errorString(), invalidArgument);
    EXPECT_EQ(recorder->codes.size(), 6u);

    EXPECT_TRUE(client->sendReadHoldingRegisters(9, 1, regs));
    EXPECT_EQ(slave->requests(), 1) << "a refused request reached the slave";
}

TEST_F(ClientTest, EveryOperationFailsWithoutAContext)
{
    unsigned short regs[1] = {};
    unsigned char bits[1] = {};
    const struct {
        bool ok;
        CtvkModbusDevice::Error expected;
    } results[] = {
        {client->sendReadColis(0, 1, bits), CtvkModbusDevice::ReadError},
        {client->sendReadDiscreteInputs(0, 1, bits), CtvkModbusDevice::ReadError},
        {client->sendReadHoldingRegisters(0, 1, regs), CtvkModbusDevice::ReadError},
        {client->sendReadInputRegisters(0, 1, regs), CtvkModbusDevice::ReadError},
        {client->sendWriteSingleColis(0, 1), CtvkModbusDevice::WriteError},
        {client->sendWriteMultiCoils(0, 1, bits), CtvkModbusDevice::WriteError},
        {client->sendWriteSingleRegisters(0, 1), CtvkModbusDevice::WriteError},
        {client->sendWriteMultigisters(0, 1, regs), CtvkModbusDevice::WriteError},
    };
    ASSERT_EQ(recorder->codes.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_FALSE(results[i].ok) << "operation " << i;
        EXPECT_EQ(recorder->codes[i], results[i].expected) << "operation " << i;
    }
    EXPECT_EQ(client->errorString(), invalidArgument);
}

} // namespace
