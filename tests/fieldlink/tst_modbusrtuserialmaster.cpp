// SPDX-License-Identifier: MIT
#include "descriptors.h"
#include "errorrecorder.h"
#include "ptypair.h"
#include "pymodbuspeers.h"
#include "rtuarguments.h"
#include "waiting.h"

#include "tvkeventloop.h"
#include "tvkmodbusrtuserialmaster.h"
#include "tvkmodbusrtuserialmaster_p.h"
#include "tvkmodbusrtuserialslave.h"
#include "tvksocketnotifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

using namespace Quorvan;
using tvktest::Bytes;
using tvktest::ErrorRecorder;
using tvktest::PtyPair;
using tvktest::rtuFrame;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Own = 9;

// Runs the loop in short steps until `done` or the deadline: the test's side
// of the line is not watched by the loop, so it must not sleep long.
bool pump(CtvkEventLoop& loop, const std::function<bool()>& done, int timeoutMs = 3000)
{
    return tvktest::pumpUntil(loop, done, timeoutMs);
}

// Fills the tables as the pymodbus peers do: 100 entries from address 0.
void fillTables(CtvkModbusServer& server)
{
    server.setStartAddressAndNum(0, 100, 0, 100, 0, 100, 0, 100);
    for (int a = 0; a < 100; ++a) {
        server.setData(CtvkModbusDataUnit::Coils, a, a % 3 == 0);
        server.setData(CtvkModbusDataUnit::DiscreteInputs, a, a % 2);
        server.setData(CtvkModbusDataUnit::HoldingRegisters, a, static_cast<unsigned short>(1000 + a));
        server.setData(CtvkModbusDataUnit::InputRegisters, a, static_cast<unsigned short>(2000 + a));
    }
}

unsigned short value(CtvkModbusServer& server, CtvkModbusDataUnit::RegisterType type, int address)
{
    unsigned short v = 0xFFFF;
    server.data(type, address, &v);
    return v;
}

class RtuResponder : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(line.ok());
        loop.processEvents(0);   // the dispatcher opens its descriptors on first use
        descriptors = tvktest::openDescriptors();
        responder = std::make_unique<CtvkModbusRtuSerialMaster>();
        recorder = std::make_unique<ErrorRecorder>(responder.get());
        responder->setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                          CtvkVariant(CtvkString::fromAscii(line.path().c_str())));
        responder->setSlave(Own);
    }
    void TearDown() override
    {
        recorder.reset();
        responder.reset();
        loop.processEvents(0);
        EXPECT_EQ(tvktest::openDescriptors(), descriptors) << "a descriptor was left open";
    }

    void hangUp()
    {
        line.closePeer();
        descriptors -= 2;
    }

    void serve(bool withTables = true)
    {
        if (withTables)
            fillTables(*responder);
        ASSERT_TRUE(responder->open()) << responder->errorString().toStdString();
        responder->processRequest();
        ASSERT_NE(responder->d_func()->notifier, nullptr);
    }

    // Writes `request` and collects what comes back until `expected` bytes.
    Bytes exchange(const Bytes& request, std::size_t expected, int timeoutMs = 3000)
    {
        line.write(request);
        Bytes got;
        pump(loop, [&] {
            const Bytes more = line.read(0);
            got.insert(got.end(), more.begin(), more.end());
            return got.size() >= expected;
        }, timeoutMs);
        return got;
    }

    // What a read of `count` holding registers from `address` answers.
    Bytes readAnswer(int address, int count)
    {
        Bytes out = {Own, 3, static_cast<unsigned char>(count * 2)};
        for (int i = 0; i < count; ++i) {
            const int v = 1000 + address + i;
            out.push_back(static_cast<unsigned char>(v >> 8));
            out.push_back(static_cast<unsigned char>(v & 0xFF));
        }
        return tvktest::withCrc(out);
    }
    Bytes readRequest(int address, int count, int slave = Own)
    {
        return rtuFrame({slave, 3, address >> 8, address & 0xFF, count >> 8, count & 0xFF});
    }

    CtvkEventLoop loop;
    PtyPair line;
    int descriptors = 0;
    std::unique_ptr<CtvkModbusRtuSerialMaster> responder;
    std::unique_ptr<ErrorRecorder> recorder;
};

} // namespace

TEST(RtuResponderNames, BothConstructorsNameTheClass)
{
    CtvkModbusRtuSerialMaster plain;
    EXPECT_STREQ(plain.className(), "CtvkModbusRtuSerialMaster");
    EXPECT_TRUE(plain.inherits("CtvkModbusServer"));
    CtvkModbusRtuSerialMaster named(new CtvkModbusRtuSerialMasterPrivate, nullptr);
    EXPECT_STREQ(named.className(), "CtvkModbusRtuSerialMaster");
    EXPECT_TRUE(named.inherits("CtvkModbusRtuSerialMaster"));
}

TEST_F(RtuResponder, DefaultsAndParityReachLibmodbus)
{
    responder->setSlave(0);
    ASSERT_TRUE(responder->open());
    EXPECT_EQ(tvktest::lastRtu().device, line.path());
    EXPECT_EQ(tvktest::lastRtu().baud, 19200);
    EXPECT_EQ(tvktest::lastRtu().parity, 'E');
    EXPECT_EQ(tvktest::lastRtu().dataBits, 8);
    EXPECT_EQ(tvktest::lastRtu().stopBits, 1);
    EXPECT_EQ(tvktest::lastRtu().slave, 0);
    responder->close();
    for (const auto& [parity, expected] : {std::pair{3, 'O'}, {0, 'N'}, {1, 'N'}, {4, 'N'}, {-1, 'N'}}) {
        responder->setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(parity));
        ASSERT_TRUE(responder->open());
        EXPECT_EQ(tvktest::lastRtu().parity, expected) << "parity " << parity;
        responder->close();
    }
}

TEST_F(RtuResponder, AnswersItsOwnRequestsAndAppliesWrites)
{
    serve();
    EXPECT_EQ(exchange(readRequest(20, 3), 11), readAnswer(20, 3));
    const Bytes write = rtuFrame({Own, 6, 0, 5, 0xBE, 0xEF});
    EXPECT_EQ(exchange(write, write.size()), write);
    EXPECT_EQ(value(*responder, CtvkModbusDataUnit::HoldingRegisters, 5), 0xBEEF);
    EXPECT_TRUE(recorder->codes.empty());
}

TEST_F(RtuResponder, OtherSlaveAnsweringOrSilentCostsNoOwnRequest)
{
    serve();
    // Slave 7 answers its request.
    line.write(readRequest(0, 2, 7));
    line.write(tvktest::withCrc({7, 3, 4, 0, 1, 0, 2}));
    EXPECT_EQ(exchange(readRequest(10, 1), 7), readAnswer(10, 1));
    // Slave 7 stays silent; the next two requests for this device are
    // answered, and nothing else ever is.
    line.write(readRequest(0, 2, 7));
    EXPECT_EQ(exchange(readRequest(11, 1), 7), readAnswer(11, 1));
    EXPECT_EQ(exchange(readRequest(12, 2), 9), readAnswer(12, 2));
    EXPECT_TRUE(line.read(50).empty()) << "answered a frame that was not its own";
}

TEST_F(RtuResponder, BroadcastWritesAreAppliedAndNotAnswered)
{
    serve();
    line.write(rtuFrame({0, 6, 0, 30, 0x12, 0x34}));
    line.write(rtuFrame({0, 16, 0, 31, 0, 2, 4, 0, 7, 0, 8}));
    line.write(rtuFrame({0, 5, 0, 2, 0xFF, 0}));
    line.write(rtuFrame({0, 3, 0, 0, 0, 200}));   // an illegal quantity is not answered either
    EXPECT_EQ(exchange(readRequest(40, 1), 7), readAnswer(40, 1)) << "only the addressed request is answered";
    EXPECT_EQ(value(*responder, CtvkModbusDataUnit::HoldingRegisters, 30), 0x1234);
    EXPECT_EQ(value(*responder, CtvkModbusDataUnit::HoldingRegisters, 31), 7);
    EXPECT_EQ(value(*responder, CtvkModbusDataUnit::HoldingRegisters, 32), 8);
    EXPECT_EQ(value(*responder, CtvkModbusDataUnit::Coils, 2), 1);
}

TEST_F(RtuResponder, NoiseCostsAtMostOneFrame)
{
    serve();
    std::mt19937 random(3);
    Bytes broken = readRequest(1, 1);
    broken[3] ^= 0x10;
    const Bytes request = readRequest(2, 1);
    const Bytes cut(request.begin(), request.begin() + 5);
    for (int round = 0; round < 20; ++round) {
        Bytes noise(1 + random() % 30);
        for (unsigned char& b : noise)
            b = static_cast<unsigned char>(random());
        for (const Bytes& hit : {noise, broken, cut}) {
            line.write(hit);
            ASSERT_EQ(exchange(readRequest(round, 1), 7), readAnswer(round, 1)) << "round " << round;
        }
    }
}

TEST_F(RtuResponder, LibmodbusStallsAreAnsweredAtOnce)
{
    serve();
    // libmodbus would sleep its response timeout before answering these,
    // holding the loop: 20 s, against which a busy machine's jitter is
    // nothing.
    constexpr auto kStall = std::chrono::seconds(20);
    ASSERT_TRUE(responder->setTimeout(kStall.count(), 0));
    struct Case { Bytes request; int exception; };
    const Case cases[] = {
        {readRequest(0, 126), 3},                                  // illegal quantity
        {rtuFrame({Own, 16, 0, 0, 0, 2, 3, 1, 2, 3}), 3},          // byte count not twice the quantity
        {rtuFrame({Own, 7}), 1},                                   // libmodbus sends nothing
        {rtuFrame({Own, 0x41, 1, 2}), 1},                          // unknown function code
    };
    for (const Case& c : cases) {
        const auto start = Clock::now();
        EXPECT_EQ(exchange(c.request, 5), rtuFrame({Own, c.request[1] | 0x80, c.exception}))
            << "function " << int(c.request[1]);
        EXPECT_LT(Clock::now() - start, kStall / 4) << "function " << int(c.request[1]);
    }
    EXPECT_EQ(exchange(readRequest(3, 1), 7), readAnswer(3, 1));
}

TEST_F(RtuResponder, AnswerTheLineCannotTakeIsLostAndServingGoesOn)
{
    serve();
    // Nobody reads the line until the answers no longer fit on it. The
    // requests go out as the line takes them: written blindly, they would
    // hold the test (and with it the responder) once the line is full.
    std::uint64_t sent = 0;
    const Bytes request = readRequest(0, 100);
    Bytes pending;
    auto writeOn = [&] {
        if (pending.empty())
            pending = request;
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(line.writeSome(pending)));
        sent += pending.empty() ? 1 : 0;
        return pending.empty();
    };
    ASSERT_TRUE(pump(loop, [&] {
        writeOn();
        return sent == 5000 || responder->answersLost() > 0;
    }, tvktest::kWaitMs * 4));
    // A request half written is finished, so that it counts.
    ASSERT_TRUE(pending.empty() || pump(loop, writeOn));
    ASSERT_GT(responder->answersLost(), 0u);
    // Every request written is answered or lost before the line is drained.
    ASSERT_TRUE(pump(loop, [&] {
        line.read(0);
        return responder->requestsAnswered() + responder->answersLost() == sent;
    }));
    while (!line.read(50).empty()) {
    }
    EXPECT_EQ(exchange(readRequest(5, 2), 9), readAnswer(5, 2));
    EXPECT_EQ(responder->error(), CtvkModbusDevice::NoError);
}

TEST_F(RtuResponder, RequestBeforeTheTablesExistGetsServerDeviceFailure)
{
    serve(false);
    EXPECT_EQ(exchange(readRequest(0, 1), 5), rtuFrame({Own, 0x83, 4}));
    line.write(rtuFrame({0, 6, 0, 0, 0, 1}));   // broadcast: nothing to apply it to, no answer
    ASSERT_TRUE(pump(loop, [&] { return responder->lineCounters().broadcasts == 1; }));
    fillTables(*responder);
    EXPECT_EQ(exchange(readRequest(0, 1), 7), readAnswer(0, 1));
}

TEST_F(RtuResponder, FrameArrivingByteByByteNeverHoldsTheLoop)
{
    serve();
    struct Ticker : CtvkObject {
        std::vector<Clock::time_point> ticks;
        void timerEvent(CtvkTimerEvent*) override { ticks.push_back(Clock::now()); }
    } ticker;
    ticker.startTimer(10);

    // The peer's pace: a byte every quarter second, each gap shorter than
    // libmodbus's byte timeout, so waiting for the frame would hold the
    // loop for the whole of it (1.75 s).
    constexpr auto kByteGap = std::chrono::milliseconds(250);
    const Bytes request = readRequest(7, 2);
    std::thread writer([&] {
        for (unsigned char b : request) {
            line.write({b});
            std::this_thread::sleep_for(kByteGap);
        }
    });
    Bytes got;
    pump(loop, [&] {
        const Bytes more = line.read(0);
        got.insert(got.end(), more.begin(), more.end());
        return got.size() >= 9;
    });
    writer.join();
    EXPECT_EQ(got, readAnswer(7, 2));
    ASSERT_GE(ticker.ticks.size(), 10u);
    Clock::duration longest{};
    for (std::size_t i = 1; i < ticker.ticks.size(); ++i)
        longest = std::max(longest, ticker.ticks[i] - ticker.ticks[i - 1]);
    // Far above a busy machine's jitter, far below the frame's time.
    EXPECT_LT(longest, 4 * kByteGap);
}

TEST_F(RtuResponder, CloseThenOpenServesAgainWithAFreshNotifier)
{
    serve();
    EXPECT_EQ(exchange(readRequest(1, 1), 7), readAnswer(1, 1));
    responder->close();
    EXPECT_EQ(responder->d_func()->notifier, nullptr);
    EXPECT_EQ(responder->socketDescriptor(), -1);
    ASSERT_TRUE(responder->open());
    responder->processRequest();
    CtvkSocketNotifier* notifier = responder->d_func()->notifier;
    ASSERT_NE(notifier, nullptr);
    EXPECT_EQ(notifier->socket(), responder->socketDescriptor());
    EXPECT_EQ(exchange(readRequest(2, 1), 7), readAnswer(2, 1));

    // open while serving reconnects and keeps serving on the new descriptor.
    const int opened = tvktest::openDescriptors();
    ASSERT_TRUE(responder->open());
    EXPECT_EQ(tvktest::openDescriptors(), opened);
    ASSERT_NE(responder->d_func()->notifier, nullptr);
    EXPECT_EQ(responder->d_func()->notifier->socket(), responder->socketDescriptor());
    EXPECT_EQ(exchange(readRequest(3, 1), 7), readAnswer(3, 1));
}

TEST_F(RtuResponder, PortThatCannotBeOpenedLeavesNoContextAndASecondOpenBuildsOne)
{
    responder->setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                      CtvkVariant(CtvkString::fromAscii("/nonexistent/ttyQ1")));
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(responder->open());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "connect failed\n");
    EXPECT_EQ(responder->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_EQ(responder->errorString().toStdString(), modbus_strerror(ENOENT));
    EXPECT_EQ(responder->d_func()->modbusContext, nullptr);

    responder->processRequest();   // nothing to watch: said so, no notifier
    EXPECT_EQ(responder->d_func()->notifier, nullptr);
    EXPECT_EQ(recorder->codes.size(), 2u);

    responder->setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                      CtvkVariant(CtvkString::fromAscii(line.path().c_str())));
    serve();
    EXPECT_EQ(exchange(readRequest(4, 1), 7), readAnswer(4, 1));
}

TEST_F(RtuResponder, LineThatHangsUpIsReportedAndNoLongerWatched)
{
    serve();
    hangUp();
    EXPECT_TRUE(pump(loop, [&] { return !recorder->codes.empty(); }));
    EXPECT_EQ(responder->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_EQ(responder->d_func()->notifier, nullptr);
    responder->close();
}

TEST_F(RtuResponder, ServesOnADescriptorAboveFdSetsize)
{
    if (!tvktest::LowDescriptorsTaken::possible())
        GTEST_SKIP() << "the descriptor limit stays below " << FD_SETSIZE;
    tvktest::LowDescriptorsTaken fillers;
    serve();
    ASSERT_GE(responder->socketDescriptor(), FD_SETSIZE);
    EXPECT_EQ(exchange(readRequest(5, 1), 7), readAnswer(5, 1));
    responder.reset();
}

// The project's requester against the project's responder over a linked pair.
TEST(RtuBothSides, EightRequestsFromTheRequesterAreServed)
{
    tvktest::PtyLink link;
    ASSERT_TRUE(link.ok());
    CtvkEventLoop loop;
    CtvkModbusRtuSerialMaster responder;
    responder.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                     CtvkVariant(CtvkString::fromAscii(link.pathA().c_str())));
    responder.setSlave(Own);
    fillTables(responder);
    ASSERT_TRUE(responder.open());
    responder.processRequest();

    std::atomic<bool> done{false};
    std::vector<std::string> failures;
    unsigned char pattern[9] = {1, 0, 1, 1, 0, 0, 1, 0, 1};
    std::thread master([&] {
        auto fail = [&](const std::string& what) { failures.push_back(what); };
        CtvkModbusRtuSerialSlave requester;
        requester.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                         CtvkVariant(CtvkString::fromAscii(link.pathB().c_str())));
        requester.setSlave(Own);
        if (!requester.open() || !requester.setTimeout(2, 0)) {
            fail("open");
        } else {
            unsigned char bits[10] = {};
            unsigned short regs[4] = {};
            if (!requester.sendReadColis(3, 10, bits) || bits[0] != 1 || bits[1] != 0 || bits[3] != 1)
                fail("read coils");
            if (!requester.sendReadDiscreteInputs(10, 5, bits) || bits[0] != 0 || bits[1] != 1)
                fail("read discrete inputs");
            if (!requester.sendReadHoldingRegisters(20, 4, regs) || regs[0] != 1020 || regs[3] != 1023)
                fail("read holding registers");
            if (!requester.sendReadInputRegisters(96, 4, regs) || regs[0] != 2096 || regs[3] != 2099)
                fail("read input registers");
            if (!requester.sendWriteSingleColis(1, 1))
                fail("write coil");
            if (!requester.sendWriteMultiCoils(40, 9, pattern))
                fail("write coils");
            if (!requester.sendWriteSingleRegisters(50, 0xBEEF))
                fail("write register");
            unsigned short values[3] = {7, 8, 9};
            if (!requester.sendWriteMultigisters(60, 3, values))
                fail("write registers");
        }
        done = true;
    });
    pump(loop, [&] { return done.load(); }, 20000);
    master.join();
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_EQ(value(responder, CtvkModbusDataUnit::Coils, 1), 1);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(value(responder, CtvkModbusDataUnit::Coils, 40 + i), pattern[i]);
    EXPECT_EQ(value(responder, CtvkModbusDataUnit::HoldingRegisters, 50), 0xBEEF);
    EXPECT_EQ(value(responder, CtvkModbusDataUnit::HoldingRegisters, 62), 9);
}

TEST(RtuResponderInterop, PymodbusMasterIsServed)
{
    tvktest::PtyLink link;
    ASSERT_TRUE(link.ok());
    CtvkEventLoop loop;
    CtvkModbusRtuSerialMaster responder;
    responder.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                     CtvkVariant(CtvkString::fromAscii(link.pathA().c_str())));
    responder.setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(0));
    responder.setSlave(Own);
    fillTables(responder);
    ASSERT_TRUE(responder.open());
    // Far beyond the peer's 2 s: libmodbus would sleep this long before
    // answering the illegal quantity the peer ends with.
    ASSERT_TRUE(responder.setTimeout(20, 0));
    responder.processRequest();

    tvktest::PymodbusSerialPeer peer({"master", link.pathB(), std::to_string(Own)});
    ASSERT_TRUE(pump(loop, [&] { return peer.finished(); }, 60000)) << peer.output();
    EXPECT_EQ(peer.exitStatus(), 0) << peer.output();
    EXPECT_NE(peer.output().find("done"), std::string::npos) << peer.output();
    EXPECT_EQ(value(responder, CtvkModbusDataUnit::Coils, 1), 1);
    EXPECT_EQ(value(responder, CtvkModbusDataUnit::HoldingRegisters, 50), 0xBEEF);
    EXPECT_EQ(value(responder, CtvkModbusDataUnit::HoldingRegisters, 61), 8);
}
