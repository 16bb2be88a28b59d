// SPDX-License-Identifier: MIT
#include "descriptors.h"
#include "errorrecorder.h"
#include "pymodbuspeers.h"

#include "tvkeventloop.h"
#include "tvkmodbusreply.h"
#include "tvkmodbustcpclient.h"
#include "waiting.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <cerrno>

#include <memory>

using namespace Quorvan;
using tvktest::ErrorRecorder;
using tvktest::PymodbusPeer;

namespace {

// The eight requests against a slave that shares no code with libmodbus.
// One peer serves the whole suite (starting Python takes a while); each test
// uses addresses of its own, so no test depends on another's writes.
class PymodbusInterop : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_peer = new PymodbusPeer;
        s_port = s_peer->waitForPort(30000);
    }
    static void TearDownTestSuite()
    {
        delete s_peer;
        s_peer = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(s_port, 0) << "the pymodbus peer did not report its port";
        m_descriptors = tvktest::openDescriptors();
        client = std::make_unique<CtvkModbusTcpClient>();
        recorder = std::make_unique<ErrorRecorder>(client.get());
        client->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(s_port));
        ASSERT_TRUE(client->open()) << client->errorString().toStdString();
        ASSERT_TRUE(client->setTimeout(3, 0));
    }
    void TearDown() override
    {
        recorder.reset();
        client.reset();
        EXPECT_EQ(tvktest::openDescriptors(), m_descriptors) << "a descriptor was left open";
    }

    std::unique_ptr<CtvkModbusTcpClient> client;
    std::unique_ptr<ErrorRecorder> recorder;

private:
    static PymodbusPeer* s_peer;
    static int s_port;
    int m_descriptors = 0;
};

PymodbusPeer* PymodbusInterop::s_peer = nullptr;
int PymodbusInterop::s_port = 0;

TEST_F(PymodbusInterop, ReadsAllFourTables)
{
    unsigned char coils[7] = {};
    ASSERT_TRUE(client->sendReadColis(0, 7, coils)) << client->errorString().toStdString();
    for (int a = 0; a < 7; ++a)
        EXPECT_EQ(coils[a], a % 3 == 0 ? 1 : 0) << "coil " << a;

    unsigned char inputs[5] = {};
    ASSERT_TRUE(client->sendReadDiscreteInputs(90, 5, inputs));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(inputs[i], (90 + i) % 2) << "input " << 90 + i;

    unsigned short holding[4] = {};
    ASSERT_TRUE(client->sendReadHoldingRegisters(60, 4, holding));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(holding[i], 1060 + i);

    unsigned short input[3] = {};
    ASSERT_TRUE(client->sendReadInputRegisters(97, 3, input));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(input[i], 2097 + i);
    EXPECT_TRUE(recorder->codes.empty());
}

TEST_F(PymodbusInterop, SingleWritesAreReadBack)
{
    ASSERT_TRUE(client->sendWriteSingleColis(10, 0));
    ASSERT_TRUE(client->sendWriteSingleColis(11, 1));
    unsigned char coils[2] = {9, 9};
    ASSERT_TRUE(client->sendReadColis(10, 2, coils));
    EXPECT_EQ(coils[0], 0);
    EXPECT_EQ(coils[1], 1);

    ASSERT_TRUE(client->sendWriteSingleRegisters(12, 0xBEEF));
    unsigned short reg = 0;
    ASSERT_TRUE(client->sendReadHoldingRegisters(12, 1, &reg));
    EXPECT_EQ(reg, 0xBEEF);
}

TEST_F(PymodbusInterop, MultipleWritesAreReadBack)
{
    unsigned char states[9] = {1, 1, 0, 1, 0, 0, 1, 0, 1};
    ASSERT_TRUE(client->sendWriteMultiCoils(40, 9, states));
    unsigned char back[9] = {};
    ASSERT_TRUE(client->sendReadColis(40, 9, back));
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(back[i], states[i]) << "coil " << 40 + i;

    unsigned short values[3] = {0, 0xFFFF, 0x8001};
    ASSERT_TRUE(client->sendWriteMultigisters(50, 3, values));
    unsigned short regs[3] = {};
    ASSERT_TRUE(client->sendReadHoldingRegisters(50, 3, regs));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(regs[i], values[i]);
}

TEST_F(PymodbusInterop, ExceptionAnswerIsARecordedError)
{
    client->setNumberOfRetries(1);
    unsigned short reg = 0;
    EXPECT_FALSE(client->sendReadHoldingRegisters(150, 1, &reg));
    EXPECT_EQ(client->error(), CtvkModbusDevice::ReadError);
    EXPECT_EQ(client->errorString(), CtvkString::fromAscii(modbus_strerror(EMBXILADD)));
    ASSERT_EQ(recorder->codes.size(), 1u);

    EXPECT_FALSE(client->sendWriteSingleRegisters(150, 1));
    EXPECT_EQ(client->error(), CtvkModbusDevice::WriteError);
    // The connection is still good afterwards.
    EXPECT_TRUE(client->sendReadHoldingRegisters(0, 1, &reg));
    EXPECT_EQ(reg, 1000);
}

// Modbus RTU over TCP against pymodbus's RTU framer on a TCP server, as a
// serial device server carries it: reads, a write read back, an exception.
TEST(PymodbusRtuOverTcp, AsynchronousRequestsReadWriteAndGetExceptions)
{
    PymodbusPeer peer(true);
    const int port = peer.waitForPort(30000);
    ASSERT_NE(port, 0) << "the pymodbus peer did not report its port";
    CtvkEventLoop loop;
    CtvkModbusTcpClient client;
    client.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    client.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    client.setFraming(CtvkModbusTcpClient::RtuFraming);
    EXPECT_FALSE(client.open()) << "libmodbus frames the blocking requests as MBAP";
    EXPECT_EQ(client.error(), CtvkModbusDevice::ConfigurationError);
    ASSERT_TRUE(client.connectDevice());
    const auto done = [&](CtvkModbusReply* r) {
        EXPECT_TRUE(tvktest::pumpUntil(loop, [r] { return r->isFinished(); }));
        return std::unique_ptr<CtvkModbusReply>(r);
    };
    CtvkModbusDataUnit write(CtvkModbusDataUnit::HoldingRegisters, 40, 2);
    write.values[0] = CtvkVariant(7);
    write.values[1] = CtvkVariant(8);
    // Queued together: RTU takes them one at a time, in order.
    CtvkModbusReply* written = client.sendWriteRequest(write, 1);
    auto read = done(client.sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 39, 3), 1));
    ASSERT_EQ(done(written)->error(), CtvkModbusDevice::NoError) << written->errorString().toStdString();
    ASSERT_EQ(read->error(), CtvkModbusDevice::NoError) << read->errorString().toStdString();
    ASSERT_EQ(read->result().values.size(), 3);
    EXPECT_EQ(read->result().values.at(0).toInt(), 1039);
    EXPECT_EQ(read->result().values.at(1).toInt(), 7);
    EXPECT_EQ(read->result().values.at(2).toInt(), 8);
    auto outside = done(client.sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 150, 1), 1));
    EXPECT_EQ(outside->exceptionCode(), 2);
}

} // namespace
