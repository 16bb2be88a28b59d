// SPDX-License-Identifier: MIT
// The asynchronous requests on a serial line that misbehaves as real lines
// and slaves do: answers late or twice, an echoing adapter, a slow answer
// at a low baud rate, a line that never falls silent, a line that hangs up;
// and what the host may do meanwhile (a blocking request, a broadcast,
// destroying the device from a handler). The slaves are scripted on the
// test's side of a pseudo terminal.
#include "asyncrtufixture.h"
#include "linkedport.h"
#include "scriptedslave.h"

#include "tvksignal.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace Quorvan;
using tvktest::AsyncRtu;
using tvktest::Bytes;
using tvktest::ScriptedSlave;
using Step = ScriptedSlave::Step;

namespace {

constexpr int kFastBaud = 115200;
// Slow enough that a character (9.2 ms) and the silence between frames
// (3.5 characters, 32 ms) stand far above a busy machine's jitter.
constexpr int kSlowBaud = 1200;

// A slave that answers every read of holding registers at once, register
// i holding its own address.
ScriptedSlave::Script answersAtOnce()
{
    return [](const Bytes& request, int) { return std::vector<Step>{{ScriptedSlave::registersAnswer(request, 0)}}; };
}

} // namespace

TEST_F(AsyncRtu, LateAnswerIsDroppedNotTakenByTheNextRequest)
{
    // The first read is answered 0.8 s after it was asked, when its 0.5 s
    // have run out; every other one at once.
    ScriptedSlave slave(line.peer(), kFastBaud, [](const Bytes& request, int number) {
        return std::vector<Step>{{ScriptedSlave::registersAnswer(request, 0), number == 0 ? 800 : 0}};
    });
    device->setNumberOfRetries(1);
    connect(500);
    CtvkModbusReply* late = readRegisters(0, 2);
    CtvkModbusReply* next = readRegisters(10, 2);
    ASSERT_TRUE(finished(next));
    EXPECT_EQ(late->errorString().toStdString(), "Connection timed out");
    EXPECT_EQ(next->error(), CtvkModbusDevice::NoError) << next->errorString().toStdString();
    EXPECT_EQ(valuesOf(next), (std::vector<int>{10, 11}));
}

TEST_F(AsyncRtu, AnswerRepeatedWhileNobodyAskedIsDroppedBeforeTheNextRequestGoes)
{
    ScriptedSlave slave(line.peer(), kFastBaud, [](const Bytes& request, int) {
        const Bytes answer = ScriptedSlave::registersAnswer(request, 0);
        return std::vector<Step>{{answer}, {answer, 30}};
    });
    connect();
    CtvkModbusReply* first = readRegisters(0, 2);
    ASSERT_TRUE(finished(first));
    // The copy reaches the line while the host is busy elsewhere: the loop
    // has not run since, and the line has long been quiet when the next
    // request is made.
    ASSERT_TRUE(tvktest::waitFor([&] { return slave.stepsSent() == 2; }));
    CtvkModbusReply* second = readRegisters(10, 2);
    ASSERT_TRUE(finished(second));
    EXPECT_EQ(valuesOf(first), (std::vector<int>{0, 1}));
    EXPECT_EQ(valuesOf(second), (std::vector<int>{10, 11}));
}

TEST_F(AsyncRtu, NextRequestKeepsTheSilenceBetweenFrames)
{
    setBaud(kSlowBaud);
    ScriptedSlave slave(line.peer(), kSlowBaud, answersAtOnce());
    connect();
    readRegisters(0, 1);
    CtvkModbusReply* second = readRegisters(1, 1);
    ASSERT_TRUE(finished(second));
    ASSERT_EQ(slave.heardAt().size(), 2u);
    // From the end of the answer (which reached the device no earlier) to
    // the next request.
    const auto silence = slave.heardAt()[1] - slave.sentAt()[0];
    EXPECT_GE(silence, 7 * ScriptedSlave::characterTime(kSlowBaud) / 2);
}

TEST_F(AsyncRtu, EchoOfTheRequestOnTheLineIsNoAnswer)
{
    // An RS-485 adapter that hears itself: each byte comes back as it
    // leaves. Slave 9 answers after the echo; slave 10 is not there.
    setBaud(kSlowBaud);
    ScriptedSlave slave(line.peer(), kSlowBaud, [](const Bytes& request, int) {
        std::vector<Step> steps{{request, 0, true}};
        if (request[0] == kSlave)
            steps.push_back({request});   // a write is answered with its own words
        return steps;
    });
    device->setNumberOfRetries(1);
    connect(300);
    CtvkModbusReply* absent = writeRegister(7, 9, kSlave + 1);
    CtvkModbusReply* present = writeRegister(7, 9, kSlave);
    ASSERT_TRUE(finished(present));
    EXPECT_EQ(absent->error(), CtvkModbusDevice::WriteError);
    EXPECT_EQ(absent->errorString().toStdString(), "Connection timed out");
    EXPECT_EQ(present->error(), CtvkModbusDevice::NoError) << present->errorString().toStdString();
}

TEST_F(AsyncRtu, AnswerLongerThanTheResponseTimeoutIsTimedAsTheBlockingRequestsTimeIt)
{
    // At 9600 baud 125 registers take 292 ms on the line, past a 250 ms
    // response timeout; but the first byte comes at once, and each of the
    // others far within the byte timeout.
    constexpr int kBaud = 9600;
    setBaud(kBaud);
    ScriptedSlave slave(line.peer(), kBaud, [](const Bytes& request, int) {
        return std::vector<Step>{{ScriptedSlave::registersAnswer(request, 0), 0, true}};
    });
    device->setNumberOfRetries(1);
    connect(250);
    CtvkModbusReply* read = readRegisters(0, 125);
    ASSERT_TRUE(finished(read));
    EXPECT_EQ(read->error(), CtvkModbusDevice::NoError) << read->errorString().toStdString();
    ASSERT_EQ(valuesOf(read).size(), 125u);
    EXPECT_EQ(valuesOf(read).back(), 124);
}

TEST_F(AsyncRtu, LineThatNeverFallsSilentEndsEachRequestAfterItsAttempts)
{
    // A device that sends a byte every 5 ms, far below the 32 ms of silence
    // a request waits for, and never answers.
    setBaud(kSlowBaud);
    ScriptedSlave chatterer(line.peer(), kSlowBaud, [](const Bytes&, int) { return std::vector<Step>(); });
    device->setNumberOfRetries(2);
    connect(100);
    chatterer.chatter(0xFF, 5);
    for (int i = 0; i < 3; ++i)
        readRegisters(i, 1);
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return replies.back()->isFinished(); }, 5000))
        << "two attempts of 100 ms each, three times, still open after 5 s";
    for (const auto& r : replies)
        EXPECT_EQ(r->errorString().toStdString(), "Connection timed out");
}

TEST_F(AsyncRtu, BlockingRequestBesideOpenAsynchronousOnesFailsAtOnce)
{
    ScriptedSlave slave(line.peer(), kFastBaud, answersAtOnce());
    connect();
    CtvkModbusReply* async = readRegisters(0, 1);
    unsigned short value = 0;
    EXPECT_FALSE(device->sendReadHoldingRegisters(10, 1, &value));
    EXPECT_EQ(device->error(), CtvkModbusDevice::ReadError);
    EXPECT_EQ(device->errorString().toStdString(),
              "Blocking request refused: asynchronous requests are open on this device");
    ASSERT_TRUE(finished(async));
    EXPECT_EQ(valuesOf(async), std::vector<int>{0});
    EXPECT_EQ(slave.requests().size(), 1u) << "the blocking request never went out";
}

TEST_F(AsyncRtu, BlockingRequestAfterATimedOutOneIsNotGivenItsLateAnswer)
{
    // The asynchronous read is answered 0.8 s late, after its 0.5 s: a
    // blocking read of the same size made at once must not take that answer.
    ScriptedSlave slave(line.peer(), kFastBaud, [](const Bytes& request, int number) {
        return std::vector<Step>{{ScriptedSlave::registersAnswer(request, 0), number == 0 ? 800 : 0}};
    });
    device->setNumberOfRetries(1);
    connect(500);
    CtvkModbusReply* late = readRegisters(0, 2);
    ASSERT_TRUE(finished(late));
    EXPECT_EQ(late->errorString().toStdString(), "Connection timed out");
    unsigned short values[2] = {};
    ASSERT_TRUE(device->sendReadHoldingRegisters(10, 2, values)) << device->errorString().toStdString();
    EXPECT_EQ(values[0], 10);
    EXPECT_EQ(values[1], 11);
}

TEST_F(AsyncRtu, RawRequestResultHoldsNothingDecodedWhateverItsQuantitySays)
{
    // The raw read asks for 65535 registers; the slave gives one.
    ScriptedSlave slave(line.peer(), kFastBaud, [](const Bytes& request, int number) {
        return std::vector<Step>{{number == 0 ? ScriptedSlave::registersAnswer(request, 0)
                                              : tvktest::rtuFrame({kSlave, 3, 2, 0, 42})}};
    });
    connect();
    CtvkModbusReply* before = readRegisters(5, 2);
    CtvkModbusReply* raw = keep(device->sendRawRequest({3, 0, 0, 0xFF, 0xFF}, kSlave));
    ASSERT_TRUE(finished(raw));
    EXPECT_EQ(valuesOf(before), (std::vector<int>{5, 6}));
    EXPECT_EQ(raw->error(), CtvkModbusDevice::NoError);
    EXPECT_EQ(raw->result().values.size(), 0);
    EXPECT_EQ(raw->rawResult(), (std::vector<unsigned char>{3, 2, 0, 42}));
}

TEST_F(AsyncRtu, RawRequestWithoutALengthRuleIsFramedByItsCrc)
{
    // Device identification (function 43) and a user-defined function:
    // no rule gives their answers' length.
    const Bytes identity = tvktest::rtuFrame({kSlave, 0x2B, 0x0E, 1, 1, 0, 0, 1, 0, 4, 'T', 'e', 's', 't'});
    const Bytes own = tvktest::rtuFrame({kSlave, 0x41, 5, 6});
    ScriptedSlave slave(line.peer(), kFastBaud, [&](const Bytes& request, int) {
        return std::vector<Step>{{request[1] == 0x2B ? identity : own}};
    });
    connect();
    CtvkModbusReply* identified = keep(device->sendRawRequest({0x2B, 0x0E, 1, 0}, kSlave));
    CtvkModbusReply* userDefined = keep(device->sendRawRequest({0x41, 1}, kSlave));
    ASSERT_TRUE(finished(userDefined));
    EXPECT_EQ(identified->error(), CtvkModbusDevice::NoError) << identified->errorString().toStdString();
    EXPECT_EQ(identified->rawResult(), std::vector<unsigned char>(identity.begin() + 1, identity.end() - 2));
    EXPECT_EQ(userDefined->rawResult(), (std::vector<unsigned char>{0x41, 5, 6}));
}

TEST_F(AsyncRtu, BroadcastWritesGoOutOnceRequestsThatReadAreRefusedAtOnce)
{
    connect(kQuietMs);
    CtvkModbusDataUnit one(CtvkModbusDataUnit::HoldingRegisters, 7, 1);
    CtvkModbusReply* read = readRegisters(0, 1, 0);
    CtvkModbusReply* readWrite = keep(device->sendReadWriteRequest(one, one, 0));
    CtvkModbusReply* rawRead = keep(device->sendRawRequest({3, 0, 0, 0, 1}, 0));
    CtvkModbusReply* rawWrite = keep(device->sendRawRequest({6, 0, 7, 0, 9}, 0));
    loop.processEvents(0);
    for (CtvkModbusReply* refused : {read, readWrite, rawRead}) {
        EXPECT_TRUE(refused->isFinished()) << "refused on the loop's first pass";
        EXPECT_EQ(refused->errorString().toStdString(), "Invalid argument");
    }
    EXPECT_EQ(heard(8), tvktest::rtuFrame({0, 6, 0, 7, 0, 9}));
    ASSERT_TRUE(finished(rawWrite));
    EXPECT_EQ(rawWrite->error(), CtvkModbusDevice::NoError) << rawWrite->errorString().toStdString();
    EXPECT_TRUE(rawWrite->rawResult().empty()) << "nobody answers a broadcast";
    EXPECT_TRUE(heard(1, kQuietMs).empty()) << "sent once";
}

TEST_F(AsyncRtu, HandlerMayDestroyTheDeviceOnEveryWayConnectingFails)
{
    const auto destroyOnError = [this] {
        CtvkObject::connect<CtvkModbusDevice::Error>(
            device.get(), "errorOccurred(CtvkModbusDevice::Error)", nullptr,
            std::function<void(CtvkModbusDevice::Error)>([this](CtvkModbusDevice::Error) { device.reset(); }));
    };
    const auto fresh = [this] {
        recorder.reset();
        device = std::make_unique<CtvkModbusRtuSerialSlave>();
        device->setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                       CtvkVariant(CtvkString::fromAscii(line.path().c_str())));
    };
    // A port that is not there, with and without reconnects.
    for (const int reconnectMs : {0, 10}) {
        fresh();
        device->setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkVariant("/nonexistent/ttyUSB9"));
        device->setAutoReconnect(reconnectMs, reconnectMs);
        destroyOnError();
        EXPECT_FALSE(device->connectDevice());
        EXPECT_EQ(device, nullptr);
    }
    // A line whose driver has no RS-485 mode.
    fresh();
    ASSERT_TRUE(device->setSerialMode(CtvkModbusRtuSerialSlave::Rs485RtsOnSend));
    destroyOnError();
    EXPECT_FALSE(device->connectDevice());
    EXPECT_EQ(device, nullptr);
    // A line that hangs up while requests are open: the loss is told from the loop.
    fresh();
    tvktest::PtyPair other;
    device->setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkVariant(CtvkString::fromAscii(other.path().c_str())));
    ASSERT_TRUE(device->connectDevice());
    readRegisters(0, 1);
    destroyOnError();
    other.closePeer();
    EXPECT_TRUE(tvktest::pumpUntil(loop, [&] { return device == nullptr; }));
    // Disconnecting with requests open: their failures come from the loop.
    fresh();
    connect();
    readRegisters(0, 1);
    destroyOnError();
    device->disconnectDevice();
    EXPECT_TRUE(tvktest::pumpUntil(loop, [&] { return device == nullptr; }));
}

TEST_F(AsyncRtu, LostLineIsClosedAndTheNextConnectOpensItAfresh)
{
    tvktest::PtyPair unplugged;
    tvktest::LinkedPort port(unplugged.path());
    ASSERT_TRUE(port.ok());
    device->setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkVariant(CtvkString::fromAscii(port.path().c_str())));
    connect();
    unplugged.closePeer();
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return device->state() == CtvkModbusClient::UnconnectedState; }));
    EXPECT_EQ(device->error(), CtvkModbusDevice::ConnectionError);
    CtvkModbusReply* meanwhile = readRegisters(0, 1);
    ASSERT_TRUE(finished(meanwhile));
    EXPECT_EQ(meanwhile->error(), CtvkModbusDevice::ConnectionError);

    tvktest::PtyPair plugged;
    ASSERT_TRUE(port.pointAt(plugged.path()));
    ScriptedSlave slave(plugged.peer(), kFastBaud, answersAtOnce());
    ASSERT_TRUE(device->connectDevice());
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return device->state() == CtvkModbusClient::ConnectedState; }));
    CtvkModbusReply* read = readRegisters(3, 2);
    ASSERT_TRUE(finished(read));
    EXPECT_EQ(read->error(), CtvkModbusDevice::NoError) << read->errorString().toStdString();
    EXPECT_EQ(valuesOf(read), (std::vector<int>{3, 4}));
    device->disconnectDevice();
}
