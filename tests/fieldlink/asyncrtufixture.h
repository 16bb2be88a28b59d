// SPDX-License-Identifier: MIT
#ifndef FIELDLINK_ASYNCRTUFIXTURE_H
#define FIELDLINK_ASYNCRTUFIXTURE_H

#include "descriptors.h"
#include "errorrecorder.h"
#include "frames.h"
#include "ptypair.h"
#include "waiting.h"

#include "tvkeventloop.h"
#include "tvkmodbusreply.h"
#include "tvkmodbusrtuserialslave.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace tvktest {

// The asynchronous requests of a serial requester on one pseudo terminal,
// whose other side is the test's: the fixture proves that no descriptor is
// left open.
class AsyncRtu : public ::testing::Test {
protected:
    static constexpr int kSlave = 9;
    static constexpr int kQuietMs = 100;   // long enough for a frame that is coming to come

    void SetUp() override
    {
        ASSERT_TRUE(line.ok());
        loop.processEvents(0);
        descriptors = openDescriptors();
        device = std::make_unique<Quorvan::CtvkModbusRtuSerialSlave>();
        recorder = std::make_unique<ErrorRecorder>(device.get());
        device->setConnectionParameter(Quorvan::CtvkModbusDevice::SerialPortName,
                                       Quorvan::CtvkVariant(Quorvan::CtvkString::fromAscii(line.path().c_str())));
        setBaud(115200);
        device->setSlave(kSlave);
    }
    void TearDown() override
    {
        replies.clear();
        recorder.reset();
        device.reset();
        loop.processEvents(0);
        EXPECT_EQ(openDescriptors(), descriptors) << "a descriptor was left open";
    }
    void setBaud(int baud)
    {
        device->setConnectionParameter(Quorvan::CtvkModbusDevice::SerialBaudRate, Quorvan::CtvkVariant(baud));
    }
    void connect(int timeoutMs = 1000)
    {
        ASSERT_TRUE(device->connectDevice()) << device->errorString().toStdString();
        ASSERT_TRUE(device->setTimeout(static_cast<unsigned>(timeoutMs / 1000),
                                       static_cast<unsigned>(timeoutMs % 1000 * 1000)));
        ASSERT_TRUE(pumpUntil(loop, [&] { return device->state() == Quorvan::CtvkModbusClient::ConnectedState; }));
    }
    Quorvan::CtvkModbusReply* keep(Quorvan::CtvkModbusReply* reply)
    {
        replies.emplace_back(reply);
        return reply;
    }
    Quorvan::CtvkModbusReply* readRegisters(int address, int count, int slave = kSlave)
    {
        return keep(device->sendReadRequest(
            Quorvan::CtvkModbusDataUnit(Quorvan::CtvkModbusDataUnit::HoldingRegisters, address, count), slave));
    }
    Quorvan::CtvkModbusReply* writeRegister(int address, int value, int slave = kSlave)
    {
        Quorvan::CtvkModbusDataUnit unit(Quorvan::CtvkModbusDataUnit::HoldingRegisters, address, 1);
        unit.values[0] = Quorvan::CtvkVariant(value);
        return keep(device->sendWriteRequest(unit, slave));
    }
    bool finished(Quorvan::CtvkModbusReply* reply, int timeoutMs = kWaitMs)
    {
        return pumpUntil(loop, [reply] { return reply->isFinished(); }, timeoutMs);
    }
    // What the line carries to the test's side while the loop runs.
    Bytes heard(std::size_t expected, int waitMs = kWaitMs)
    {
        Bytes got;
        pumpUntil(loop, [&] {
            const Bytes more = line.read(0);
            got.insert(got.end(), more.begin(), more.end());
            return got.size() >= expected;
        }, waitMs);
        return got;
    }
    static std::vector<int> valuesOf(const Quorvan::CtvkModbusReply* reply)
    {
        std::vector<int> v;
        for (int i = 0; i < reply->result().values.size(); ++i)
            v.push_back(reply->result().values.at(i).toInt());
        return v;
    }
    // The answer of `slave` to a read of two holding registers.
    static Bytes twoRegisters(int slave, int first, int second)
    {
        return rtuFrame({slave, 3, 4, first >> 8, first & 0xFF, second >> 8, second & 0xFF});
    }

    PtyPair line;
    Quorvan::CtvkEventLoop loop;
    int descriptors = 0;
    std::unique_ptr<Quorvan::CtvkModbusRtuSerialSlave> device;
    std::unique_ptr<ErrorRecorder> recorder;
    std::vector<std::unique_ptr<Quorvan::CtvkModbusReply>> replies;
};

} // namespace tvktest

#endif
