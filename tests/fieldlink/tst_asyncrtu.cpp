// SPDX-License-Identifier: MIT
// The asynchronous requests on a serial line: against libmodbus and
// pymodbus, and against the test's own side of a pseudo terminal for what
// only a scripted line shows (one request at a time, foreign and broken
// frames, broadcasts, silence).
#include "descriptors.h"
#include "errorrecorder.h"
#include "frames.h"
#include "libmodbusresponder.h"
#include "ptypair.h"
#include "pymodbuspeers.h"
#include "waiting.h"

#include "tvkeventloop.h"
#include "tvkmodbusreply.h"
#include "tvkmodbusrtuserialslave.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

using namespace Quorvan;
using tvktest::Bytes;

namespace {

constexpr int kSlave = 9;
constexpr int kQuietMs = 100;   // long enough for a frame that is coming to come

class AsyncRtu : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(line.ok());
        loop.processEvents(0);
        descriptors = tvktest::openDescriptors();
        device = std::make_unique<CtvkModbusRtuSerialSlave>();
        recorder = std::make_unique<tvktest::ErrorRecorder>(device.get());
        device->setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                       CtvkVariant(CtvkString::fromAscii(line.path().c_str())));
        device->setConnectionParameter(CtvkModbusDevice::SerialBaudRate, CtvkVariant(115200));
        device->setSlave(kSlave);
    }
    void TearDown() override
    {
        replies.clear();
        recorder.reset();
        device.reset();
        loop.processEvents(0);
        EXPECT_EQ(tvktest::openDescriptors(), descriptors) << "a descriptor was left open";
    }
    void connect(int timeoutMs = 1000)
    {
        ASSERT_TRUE(device->connectDevice()) << device->errorString().toStdString();
        ASSERT_TRUE(device->setTimeout(static_cast<unsigned>(timeoutMs / 1000),
                                       static_cast<unsigned>(timeoutMs % 1000 * 1000)));
        ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return device->state() == CtvkModbusClient::ConnectedState; }));
    }
    CtvkModbusReply* keep(CtvkModbusReply* reply)
    {
        replies.emplace_back(reply);
        return reply;
    }
    CtvkModbusReply* readRegisters(int address, int count, int slave = kSlave)
    {
        return keep(device->sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, address, count),
                                            slave));
    }
    bool finished(CtvkModbusReply* reply) { return tvktest::pumpUntil(loop, [reply] { return reply->isFinished(); }); }
    // What the line carries to the test's side while the loop runs.
    Bytes heard(std::size_t expected, int waitMs = tvktest::kWaitMs)
    {
        Bytes got;
        tvktest::pumpUntil(loop, [&] {
            const Bytes more = line.read(0);
            got.insert(got.end(), more.begin(), more.end());
            return got.size() >= expected;
        }, waitMs);
        return got;
    }
    static std::vector<int> valuesOf(const CtvkModbusReply* reply)
    {
        std::vector<int> v;
        for (int i = 0; i < reply->result().values.size(); ++i)
            v.push_back(reply->result().values.at(i).toInt());
        return v;
    }
    // The answer of `slave` to a read of two holding registers.
    static Bytes twoRegisters(int slave, int first, int second)
    {
        return tvktest::rtuFrame({slave, 3, 4, first >> 8, first & 0xFF, second >> 8, second & 0xFF});
    }

    tvktest::PtyPair line;
    CtvkEventLoop loop;
    int descriptors = 0;
    std::unique_ptr<CtvkModbusRtuSerialSlave> device;
    std::unique_ptr<tvktest::ErrorRecorder> recorder;
    std::vector<std::unique_ptr<CtvkModbusReply>> replies;
};

} // namespace

TEST_F(AsyncRtu, RequestsOfEveryKindAgainstLibmodbus)
{
    tvktest::LibmodbusResponder responder(line.peer(), kSlave);
    ASSERT_TRUE(responder.ok());
    connect();
    CtvkModbusDataUnit registers(CtvkModbusDataUnit::HoldingRegisters, 10, 0);
    for (int v : {5, 6, 7})
        registers.values.append(CtvkVariant(v));
    CtvkModbusDataUnit coil(CtvkModbusDataUnit::Coils, 4, 1);
    coil.values[0] = CtvkVariant(1);
    CtvkModbusReply* write = keep(device->sendWriteRequest(registers, kSlave));
    CtvkModbusReply* writeCoil = keep(device->sendWriteRequest(coil, kSlave));
    CtvkModbusReply* read = readRegisters(9, 5);
    CtvkModbusReply* inputs = keep(device->sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::InputRegisters, 0, 2), kSlave));
    CtvkModbusReply* coils = keep(device->sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::Coils, 3, 3), kSlave));
    CtvkModbusReply* both = keep(device->sendReadWriteRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 11, 1),
                                                              registers, kSlave));
    ASSERT_TRUE(finished(both));
    for (const auto& r : replies)
        EXPECT_EQ(r->error(), CtvkModbusDevice::NoError) << r->errorString().toStdString();
    EXPECT_TRUE(write->isFinished() && writeCoil->isFinished());
    EXPECT_EQ(valuesOf(read), (std::vector<int>{1009, 5, 6, 7, 1013}));
    EXPECT_EQ(valuesOf(inputs), (std::vector<int>{2000, 2001}));
    EXPECT_EQ(valuesOf(coils).at(1), 1);
    EXPECT_EQ(valuesOf(both), std::vector<int>{6});
    EXPECT_EQ(responder.served(), 6);
}

TEST_F(AsyncRtu, OneRequestOnTheLineAtATimeForeignAndBrokenFramesSkipped)
{
    connect();
    CtvkModbusReply* first = readRegisters(0, 2);
    CtvkModbusReply* second = readRegisters(2, 2);
    const Bytes request = heard(8);
    EXPECT_EQ(request, tvktest::rtuFrame({kSlave, 3, 0, 0, 0, 2}));
    EXPECT_TRUE(heard(1, kQuietMs).empty()) << "the second waits for the first's answer";
    // Another slave's answer, a broken one, then the right one.
    Bytes broken = twoRegisters(kSlave, 0xDEAD, 0xBEEF);
    broken[4] ^= 0x40;
    line.write(tvktest::concat({twoRegisters(kSlave + 1, 1, 2), broken, twoRegisters(kSlave, 11, 12)}));
    ASSERT_TRUE(finished(first));
    EXPECT_EQ(valuesOf(first), (std::vector<int>{11, 12}));
    EXPECT_EQ(heard(8), tvktest::rtuFrame({kSlave, 3, 0, 2, 0, 2}));
    line.write(twoRegisters(kSlave, 13, 14));
    ASSERT_TRUE(finished(second));
    EXPECT_EQ(valuesOf(second), (std::vector<int>{13, 14}));
}

TEST_F(AsyncRtu, SilentSlaveFailsAfterItsAttemptsBroadcastNeedsNoAnswer)
{
    device->setNumberOfRetries(2);
    connect(kQuietMs);
    CtvkModbusReply* unanswered = readRegisters(0, 1);
    ASSERT_TRUE(finished(unanswered));
    EXPECT_EQ(unanswered->error(), CtvkModbusDevice::ReadError);
    EXPECT_EQ(unanswered->errorString().toStdString(), "Connection timed out");
    EXPECT_EQ(heard(16).size(), 16u) << "sent twice";

    CtvkModbusDataUnit value(CtvkModbusDataUnit::HoldingRegisters, 7, 1);
    CtvkModbusReply* broadcast = keep(device->sendWriteRequest(value, 0));
    ASSERT_TRUE(finished(broadcast));
    EXPECT_EQ(broadcast->error(), CtvkModbusDevice::NoError);
    EXPECT_EQ(heard(8), tvktest::rtuFrame({0, 6, 0, 7, 0, 0})) << "sent once";
    EXPECT_EQ(recorder->codes, std::vector<CtvkModbusDevice::Error>{CtvkModbusDevice::ReadError});
}

TEST_F(AsyncRtu, ReconnectsOpenTheLineAfreshWhenTheAdapterIsPluggedInAgain)
{
    // The device opens a link, as udev names an adapter; it points at one
    // pseudo terminal, then at another once the first has hung up.
    tvktest::PtyPair unplugged;
    ASSERT_TRUE(unplugged.ok());
    char folder[] = "/tmp/tvk-rtu-replug-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string port = std::string(folder) + "/ttyUSB0";
    ASSERT_EQ(::symlink(unplugged.path().c_str(), port.c_str()), 0);
    device->setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkVariant(CtvkString::fromAscii(port.c_str())));
    device->setAutoReconnect(20, 80);
    connect();

    unplugged.closePeer();   // the line hangs up under the device
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return device->reconnectAttempts() >= 2; }));
    EXPECT_EQ(device->state(), CtvkModbusClient::ConnectingState);
    tvktest::PtyPair plugged;
    ASSERT_TRUE(plugged.ok());
    ASSERT_EQ(::unlink(port.c_str()), 0);
    ASSERT_EQ(::symlink(plugged.path().c_str(), port.c_str()), 0);
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return device->state() == CtvkModbusClient::ConnectedState; }));

    CtvkModbusReply* read = readRegisters(3, 2);
    Bytes request;
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] {
        const Bytes more = plugged.read(0);
        request.insert(request.end(), more.begin(), more.end());
        return request.size() >= 8;
    }));
    EXPECT_EQ(request, tvktest::rtuFrame({kSlave, 3, 0, 3, 0, 2}));
    plugged.write(twoRegisters(kSlave, 30, 40));
    ASSERT_TRUE(finished(read));
    EXPECT_EQ(valuesOf(read), (std::vector<int>{30, 40}));
    device->disconnectDevice();
    ::unlink(port.c_str());
    ::rmdir(folder);
}

TEST(AsyncRtuInterop, ReadsAndWritesAgainstPymodbusSlave)
{
    tvktest::PtyLink link;
    ASSERT_TRUE(link.ok());
    tvktest::PymodbusSerialPeer peer({"server", link.pathA(), std::to_string(kSlave)});
    ASSERT_FALSE(peer.waitForLine("serving", 30000).empty()) << "pymodbus did not start: " << peer.output();
    CtvkEventLoop loop;
    CtvkModbusRtuSerialSlave device;
    device.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                  CtvkVariant(CtvkString::fromAscii(link.pathB().c_str())));
    device.setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(CtvkModbusDevice::NoParity));
    device.setSlave(kSlave);
    ASSERT_TRUE(device.connectDevice());
    ASSERT_TRUE(device.setTimeout(2, 0));
    CtvkModbusDataUnit written(CtvkModbusDataUnit::HoldingRegisters, 60, 0);
    written.values.append(CtvkVariant(0xBEEF));
    written.values.append(CtvkVariant(7));
    std::unique_ptr<CtvkModbusReply> write(device.sendWriteRequest(written, kSlave));
    std::unique_ptr<CtvkModbusReply> read(
        device.sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 59, 3), kSlave));
    std::unique_ptr<CtvkModbusReply> inputs(
        device.sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::DiscreteInputs, 10, 3), kSlave));
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return inputs->isFinished(); }, 10000));
    EXPECT_EQ(write->error(), CtvkModbusDevice::NoError) << write->errorString().toStdString();
    ASSERT_EQ(read->result().values.size(), 3);
    EXPECT_EQ(read->result().values.at(0).toInt(), 1059);
    EXPECT_EQ(read->result().values.at(1).toInt(), 0xBEEF);
    ASSERT_EQ(inputs->result().values.size(), 3);
    EXPECT_EQ(inputs->result().values.at(1).toInt(), 1);
}
