// SPDX-License-Identifier: MIT
// The asynchronous requests on a serial line: against libmodbus and
// pymodbus, and against the test's own side of a pseudo terminal for what
// only a scripted line shows (one request at a time, foreign and broken
// frames, broadcasts, silence).
#include "asyncrtufixture.h"
#include "libmodbusresponder.h"
#include "linkedport.h"
#include "pymodbuspeers.h"

#include <memory>
#include <string>
#include <vector>

using namespace Quorvan;
using tvktest::AsyncRtu;
using tvktest::Bytes;

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
    // The responder counts an answer once it has written it, which may be
    // after the requester has read it.
    EXPECT_TRUE(tvktest::waitFor([&] { return responder.served() == 6; })) << responder.served();
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
    // The device opens a port name that leads to one pseudo terminal, then
    // to another once the first has hung up.
    tvktest::PtyPair unplugged;
    ASSERT_TRUE(unplugged.ok());
    tvktest::LinkedPort port(unplugged.path());
    ASSERT_TRUE(port.ok());
    device->setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkVariant(CtvkString::fromAscii(port.path().c_str())));
    device->setAutoReconnect(20, 80);
    connect();

    unplugged.closePeer();   // the line hangs up under the device
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return device->reconnectAttempts() >= 2; }));
    EXPECT_EQ(device->state(), CtvkModbusClient::ConnectingState);
    tvktest::PtyPair plugged;
    ASSERT_TRUE(plugged.ok());
    ASSERT_TRUE(port.pointAt(plugged.path()));
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
}

TEST(AsyncRtuInterop, ReadsAndWritesAgainstPymodbusSlave)
{
    constexpr int kSlave = 9;
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
