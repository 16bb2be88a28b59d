// SPDX-License-Identifier: MIT
#include "tvkmessagehandler.h"
#include "tvkmodbustcpclient.h"
#include "tvksignal.h"
#include "tvktimer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

using namespace Quorvan;

// The normalising buffer as seen from another unit (tst_socketnotifier.cpp).
std::string* signalBufferSeenByAnotherUnit();

namespace {

const char* const kMethod = "internal_method";

class SignalTest : public ::testing::Test {
protected:
    CtvkObject sender;
    CtvkObject receiver;
};

TEST_F(SignalTest, HandlersRunOnceEachInConnectionOrder)
{
    std::vector<int> calls;
    CtvkObject::connect<int>(&sender, "activated", &receiver, [&](int v) { calls.push_back(v * 10 + 1); });
    CtvkObject::connect<int>(&sender, "activated", &receiver, [&](int v) { calls.push_back(v * 10 + 2); });
    CtvkObject::connect<int>(&sender, "activated", nullptr, [&](int v) { calls.push_back(v * 10 + 3); });
    sender.transmit<void, int>(4, "activated");
    EXPECT_EQ(calls, (std::vector<int>{41, 42, 43}));

    // Each side lists the other once, however many connections there are.
    EXPECT_EQ(sender.receivers().size(), 1);
    EXPECT_EQ(receiver.senders().size(), 1);
    EXPECT_EQ(receiver.connections().size(), 2);
}

TEST_F(SignalTest, TextsThatDifferOnlyInParenthesesAndBlanksNameOneSignal)
{
    int plain = 0;
    int typed = 0;
    CtvkObject::connect<int>(&sender, "activated", &receiver, [&](int) { ++plain; });
    CtvkObject::connect<int>(&sender, "valueChanged(int)", &receiver, [&](int) { ++typed; });

    sender.transmit<void, int>(1, "activated()");
    sender.transmit<void, int>(1, "activated ( )");
    EXPECT_EQ(plain, 2);

    sender.transmit<void, int>(1, "valueChanged ( int )");
    sender.transmit<void, int>(1, "valueChanged(double)");   // other type name: other signal
    sender.transmit<void, int>(1, "valueChanged");
    EXPECT_EQ(typed, 1);
    EXPECT_EQ(tvkNormalizedSignal("errorOccurred (CtvkModbusDevice::Error)"), "errorOccurredCtvkModbusDevice::Error");
    EXPECT_EQ(tvkSignalKey<std::function<void(int)>>("activated"), "activatedSt8functionIFviEE");
}

// Inline code of the header must mean the same thing in every unit that
// compiles it: the buffer it normalises into is one entity (per thread),
// not one per unit.
TEST(SignalBufferTest, OneBufferPerThreadWhateverTheUnit)
{
    ASSERT_NE(tvkSignalBuffer(), nullptr);
    EXPECT_EQ(tvkSignalBuffer(), signalBufferSeenByAnotherUnit());
    EXPECT_EQ(tvkNormalizedSignal("destroyed( CtvkObject* )"), "destroyedCtvkObject*");
    EXPECT_GE(tvkSignalBuffer()->capacity(), 1024u);
    std::string* other = nullptr;
    std::thread([&] { other = tvkSignalBuffer(); }).join();
    EXPECT_NE(other, tvkSignalBuffer());
}

TEST_F(SignalTest, SignalWithoutArgument)
{
    int finished = 0;
    int withInt = 0;
    CtvkObject::connect(&sender, "editingFinished()", &receiver, std::function<void()>([&] { ++finished; }));
    CtvkObject::connect(&sender, "editingFinished", &receiver, kMethod, std::function<void()>([&] { ++finished; }));
    CtvkObject::connect(&sender, "editingFinished", &receiver, kMethod, std::function<void()>([&] { finished += 10; }));
    CtvkObject::connect<int>(&sender, "editingFinished", &receiver, [&](int) { ++withInt; });
    sender.transmit<void>("editingFinished");
    EXPECT_EQ(finished, 11);   // the method-name form replaced its first handler
    EXPECT_EQ(withInt, 0);   // another handler type, another key
    EXPECT_EQ(receiver.currentSender(), nullptr);
}

TEST_F(SignalTest, EmissionWithoutHandlerSetsOnlyBufferAndClearsMarks)
{
    CtvkObject::connect<int>(&sender, "activated", &receiver, [](int) {});
    sender.transmit<void, int>(1, "nothing (here)");
    EXPECT_EQ(sender.emissionBuffer(), "nothinghere");
    EXPECT_EQ(receiver.currentSender(), nullptr);

    CtvkObject* seen = nullptr;
    CtvkObject::connect<int>(&sender, "probe", &receiver, [&](int) { seen = receiver.currentSender(); });
    sender.transmit<void, int>(1, "probe");
    EXPECT_EQ(seen, &sender);
    EXPECT_EQ(receiver.currentSender(), nullptr);
}

TEST_F(SignalTest, BlockedSignalsStillLetDestroyedThrough)
{
    int errors = 0;
    CtvkObject* destroyed = nullptr;
    auto* doomed = new CtvkObject;
    CtvkObject::connect<int>(doomed, "errorOccurred(CtvkModbusDevice::Error)", &receiver, [&](int) { ++errors; });
    CtvkObject::connect<CtvkObject*>(doomed, "destroyed(CtvkObject*)", &receiver,
                                     [&](CtvkObject* o) { destroyed = o; });
    EXPECT_FALSE(doomed->blockSignals(true));
    doomed->transmit<void, int>(3, "errorOccurred(CtvkModbusDevice::Error)");
    EXPECT_EQ(errors, 0);
    EXPECT_TRUE(doomed->blockSignals(true));
    delete doomed;
    EXPECT_EQ(destroyed, doomed);
    // The receiver no longer lists the dead sender, nor its connections.
    EXPECT_TRUE(receiver.senders().isEmpty());
    EXPECT_TRUE(receiver.connections().isEmpty());
}

TEST_F(SignalTest, WrongHandlerTypeIsReportedAndThrows)
{
    CtvkConnectionTable* table = sender.connectionTable();
    ASSERT_NE(table, nullptr);
    const std::string key = tvkSignalKey<std::function<void(int)>>("activated");
    table->handlers.emplace(key, CtvkAny(std::function<void(double)>([](double) {}), 7));

    ::testing::internal::CaptureStdout();
    EXPECT_THROW((sender.transmit<void, int>(1, "activated")), std::bad_cast);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "can not cast St8functionIFviEE to St8functionIFvdEE\n");

    // The failed emission left the table usable: the lock is free and later
    // emissions of other signals work.
    table->handlers.clear();
    ASSERT_TRUE(table->mutex.tryLock());
    table->mutex.unlock();
    int calls = 0;
    CtvkObject::connect<int>(&sender, "activated", &receiver, [&](int) { ++calls; });
    sender.transmit<void, int>(1, "activated");
    EXPECT_EQ(calls, 1);
}

TEST_F(SignalTest, WrongDestroyedHandlerDoesNotAbortDestruction)
{
    auto* doomed = new CtvkObject;
    CtvkObject::connect<int>(doomed, "ping", &receiver, [](int) {});
    const std::string key = tvkSignalKey<std::function<void(CtvkObject*)>>("destroyedCtvkObject*");
    doomed->connectionTable()->handlers.emplace(key, CtvkAny(std::function<void(int)>([](int) {}), 9));
    ::testing::internal::CaptureStdout();
    delete doomed;
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("can not cast ", 0), 0u);
    // Taken apart all the same: the receiver forgot it.
    EXPECT_TRUE(receiver.senders().isEmpty());
}

TEST_F(SignalTest, EmptyHandlerRaisesBadFunctionCall)
{
    CtvkObject::connect<int>(&sender, "activated", &receiver, std::function<void(int)>());
    EXPECT_THROW((sender.transmit<void, int>(1, "activated")), std::bad_function_call);
}

TEST_F(SignalTest, MethodNameFormReplacesTheHandlerOfTheSameReceiverAndMethod)
{
    std::vector<std::string> calls;
    CtvkObject other;
    CtvkObject::connect<int>(&sender, "valueChanged", &receiver, kMethod,
                             std::function<void(int)>([&](int) { calls.push_back("first"); }));
    CtvkObject::connect<int>(&sender, "valueChanged", &receiver, kMethod,
                             std::function<void(int)>([&](int) { calls.push_back("second"); }));
    CtvkObject::connect<int>(&sender, "valueChanged", &other, kMethod,
                             std::function<void(int)>([&](int) { calls.push_back("other"); }));
    sender.transmit<void, int>(0, "valueChanged");
    EXPECT_EQ(calls, (std::vector<std::string>{"second", "other"}));

    const auto expected = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&receiver)) << 32)
        | static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(kMethod)));
    ASSERT_FALSE(receiver.connections().isEmpty());
    EXPECT_EQ(receiver.connections().last().id, expected);
    EXPECT_EQ(sender.connectionTable()->ids.size(), 2u);
}

TEST_F(SignalTest, CounterIdsAreSignExtendedAndWrap)
{
    sender.connectionTable()->counter = INT32_MAX;
    CtvkObject::connect<int>(&sender, "a", &receiver, [](int) {});
    CtvkObject::connect<int>(&sender, "a", &receiver, [](int) {});
    ASSERT_EQ(receiver.connections().size(), 2);
    EXPECT_EQ(receiver.connections().at(0).id, std::int64_t(INT32_MAX));
    EXPECT_EQ(receiver.connections().at(1).id, std::int64_t(INT32_MIN));
    int calls = 0;
    CtvkObject::connect<int>(&sender, "b", &receiver, [&](int) { ++calls; });
    sender.transmit<void, int>(0, "a");
    sender.transmit<void, int>(0, "b");
    EXPECT_EQ(calls, 1);
}

TEST_F(SignalTest, SenderDestroyedByItsOwnHandlerStopsTheEmission)
{
    auto* doomed = new CtvkObject;
    int first = 0;
    int second = 0;
    CtvkObject::connect<int>(doomed, "activated", &receiver, [&](int) {
        ++first;
        delete doomed;
    });
    CtvkObject::connect<int>(doomed, "activated", &receiver, [&](int) { ++second; });
    doomed->transmit<void, int>(1, "activated");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    // The dead sender's mark was taken back when it went away.
    EXPECT_EQ(receiver.currentSender(), nullptr);
    EXPECT_TRUE(receiver.senders().isEmpty());
}

TEST_F(SignalTest, ReceiverDestroyedMidEmissionIsNotCalledAgain)
{
    auto* doomed = new CtvkObject;
    int later = 0;
    CtvkObject::connect<int>(&sender, "activated", &receiver, [&](int) {
        delete doomed;
        doomed = nullptr;
    });
    CtvkObject::connect<int>(&sender, "activated", doomed, [&](int) { ++later; });
    sender.transmit<void, int>(1, "activated");
    EXPECT_EQ(later, 0);
    EXPECT_EQ(sender.receivers().size(), 1);
    // A later emission writes no mark into the dead receiver (ASan watches).
    sender.transmit<void, int>(1, "activated");
    EXPECT_EQ(later, 0);
    EXPECT_EQ(sender.connectionTable()->handlers.size(), 1u);
}

TEST_F(SignalTest, HandlerMayConnectAndEmitOnTheSameSender)
{
    int outer = 0;
    int added = 0;
    int nested = 0;
    CtvkObject::connect<int>(&sender, "nested", &receiver, [&](int) { ++nested; });
    CtvkObject::connect<int>(&sender, "activated", &receiver, [&](int v) {
        ++outer;
        if (v == 1) {
            CtvkObject::connect<int>(&sender, "activated", &receiver, [&](int) { ++added; });
            sender.transmit<void, int>(2, "nested");
        }
    });
    sender.transmit<void, int>(1, "activated");
    EXPECT_EQ(outer, 1);
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(added, 0);   // joins from the next emission on
    sender.transmit<void, int>(5, "activated");
    EXPECT_EQ(outer, 2);
    EXPECT_EQ(added, 1);
}

TEST_F(SignalTest, RecursiveEmissionOfTheSameSignal)
{
    std::vector<int> seen;
    CtvkObject::connect<int>(&sender, "count", &receiver, [&](int v) {
        seen.push_back(v);
        if (v < 3)
            sender.transmit<void, int>(v + 1, "count");
    });
    sender.transmit<void, int>(1, "count");
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST_F(SignalTest, ReceiverDestroyedBeforeEmissionLeavesNoHandler)
{
    int calls = 0;
    {
        CtvkObject shortLived;
        CtvkObject::connect<int>(&sender, "activated", &shortLived, [&](int) { ++calls; });
        CtvkObject::connect<int>(&sender, "activated", &shortLived, kMethod, std::function<void(int)>([&](int) { ++calls; }));
    }
    EXPECT_TRUE(sender.receivers().isEmpty());
    sender.transmit<void, int>(1, "activated");
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(sender.connectionTable()->handlers.empty());
    EXPECT_TRUE(sender.connectionTable()->ids.empty());
}

std::vector<std::string> baseLines;

TEST(SignalCatalogTest, HandlerOfATypeItsEmitterNeverCallsIsToldOnceAndStillConnected)
{
    ASSERT_NE(tvkInstallBaseMessageHandler, nullptr);
    const CtvkMessageHandler previous = tvkInstallBaseMessageHandler(
        [](const char* library, const char* line) { baseLines.push_back(std::string(library) + ": " + line); });
    CtvkModbusTcpClient client;
    using State = CtvkModbusClient::State;
    for (int twice = 0; twice < 2; ++twice)
        CtvkObject::connect<State>(&client, "stateChanged(int)", nullptr, std::function<void(State)>([](State) {}));
    EXPECT_EQ(baseLines, std::vector<std::string>{
                             "base: connect: \"stateChanged(int)\" of CtvkModbusClient never calls a handler of type "
                             "std::function<void (Quorvan::CtvkModbusClient::State)>; it calls "
                             "std::function<void (int)>"});
    // Its key is its own type's: an emitter of that type still reaches it.
    int called = 0;
    CtvkObject::connect<State>(&client, "stateChanged(int)", nullptr,
                               std::function<void(State)>([&](State) { ++called; }));
    client.transmit<void, State>(CtvkModbusClient::ConnectedState, "stateChanged(int)");
    EXPECT_EQ(called, 1);

    // The right type, a signal of the base class, and an object's own
    // signal that no class declares.
    CtvkObject::connect<int>(&client, "stateChanged(int)", nullptr, std::function<void(int)>([](int) {}));
    CtvkObject::connect<CtvkModbusDevice::Error>(&client, "errorOccurred(CtvkModbusDevice::Error)", nullptr,
                                                 std::function<void(CtvkModbusDevice::Error)>([](auto) {}));
    CtvkObject plain;
    CtvkObject::connect<double>(&plain, "stateChanged(int)", nullptr, std::function<void(double)>([](double) {}));
    EXPECT_EQ(baseLines.size(), 1u);

    CtvkTimer timer;
    CtvkObject::connect<int>(&timer, "timeout()", nullptr, std::function<void(int)>([](int) {}));
    CtvkObject::connect<int>(&client, "errorOccurred(CtvkModbusDevice::Error)", nullptr,
                             std::function<void(int)>([](int) {}));
    ASSERT_EQ(baseLines.size(), 3u);
    EXPECT_NE(baseLines[1].find("\"timeout()\" of CtvkTimer never calls a handler of type std::function<void (int)>; "
                                "it calls std::function<void ()>"),
              std::string::npos) << baseLines[1];
    EXPECT_NE(baseLines[2].find("it calls std::function<void (Quorvan::CtvkModbusDevice::Error)>"), std::string::npos)
        << baseLines[2];
    tvkInstallBaseMessageHandler(previous);
}

} // namespace
