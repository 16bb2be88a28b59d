// SPDX-License-Identifier: MIT
// The asynchronous requests over TCP: against the project's own server and
// pymodbus, and against scripted peers for what a real one will not do on
// request (answer in reverse, fall silent, close mid-answer, answer late).
#include "errorrecorder.h"
#include "frames.h"
#include "loopback.h"
#include "notifiers.h"
#include "descriptors.h"
#include "pymodbuspeers.h"
#include "rawmaster.h"
#include "waiting.h"

#include "tvkeventloop.h"
#include "tvkmodbusreply.h"
#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpserver.h"
#include "tvksignal.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace Quorvan;
using tvktest::Bytes;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kShortTimeoutUs = 150000;
constexpr int kUnitId = 1;

// A peer that accepts one connection and runs a script on it in a thread
// of its own. Reads inside the script wait with a deadline, so the script
// always ends.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<void(int fd)> script)
        : m_listen(tvktest::listenOnLoopback()), m_port(tvktest::localPort(m_listen))
    {
        m_thread = std::thread([this, script] {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, tvktest::kWaitMs) != 1)
                return;
            const int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0)
                return;
            script(fd);
            ::close(fd);
        });
    }
    ~ScriptedPeer()
    {
        m_thread.join();
        ::close(m_listen);
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;
    int port() const { return m_port; }

    // The next `count` request frames, or fewer when the client went quiet.
    static std::vector<Bytes> readRequests(int fd, std::size_t count)
    {
        std::vector<Bytes> frames;
        Bytes in;
        while (frames.size() < count) {
            std::size_t length;
            while (frames.size() < count && in.size() >= tvktest::kMbapHeaderBytes
                   && in.size() >= (length = tvktest::mbapFrameLength(in))) {
                frames.emplace_back(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(length));
                in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(length));
            }
            pollfd p{fd, POLLIN, 0};
            if (frames.size() == count || ::poll(&p, 1, tvktest::kWaitMs) != 1)
                break;
            std::uint8_t chunk[512];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0)
                break;
            in.insert(in.end(), chunk, chunk + n);
        }
        return frames;
    }
    // The answer to a read of holding registers: address + i for each.
    static Bytes registersAnswer(const Bytes& request)
    {
        const unsigned address = tvktest::wordAt(request, 8);
        const unsigned count = tvktest::wordAt(request, 10);
        Bytes pdu{request[7], static_cast<std::uint8_t>(2 * count)};
        for (unsigned i = 0; i < count; ++i)
            tvktest::putWord(pdu, address + i);
        return tvktest::mbapFrame(static_cast<int>(tvktest::wordAt(request, 0)), request[6], pdu);
    }
    static void send(int fd, const Bytes& bytes) { (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

private:
    int m_listen;
    int m_port;
    std::thread m_thread;
};

// What one reply went through: the order of its signals, and whether any
// came while its send call was still running.
struct Heard {
    std::vector<std::string> signals;
    bool duringSend = false;
};

class AsyncTcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        loop.processEvents(0);   // the dispatcher's own descriptors are not the test's
        m_descriptors = tvktest::openDescriptors();
        m_notifiers = tvktest::watchedNotifiers();
        client = std::make_unique<CtvkModbusTcpClient>();
        recorder = std::make_unique<tvktest::ErrorRecorder>(client.get());
        CtvkObject::connect<int>(client.get(), "stateChanged(int)", nullptr,
                                 std::function<void(int)>([this](int s) { states.push_back(s); }));
    }
    void TearDown() override
    {
        replies.clear();
        recorder.reset();
        client.reset();
        server.reset();
        loop.processEvents(0);
        EXPECT_EQ(tvktest::watchedNotifiers(), m_notifiers) << "a notifier was left registered";
        // A host name's lookup thread lets go of its descriptor a moment
        // after the link has taken the result.
        EXPECT_TRUE(tvktest::waitFor([this] { return tvktest::openDescriptors() == m_descriptors; }))
            << "a descriptor was left open: " << tvktest::openDescriptors() << " instead of " << m_descriptors;
    }

    void connectTo(int port, int timeoutUs = 0)
    {
        client->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
        ASSERT_TRUE(client->connectDevice());
        if (timeoutUs) {
            ASSERT_TRUE(client->setTimeout(0, static_cast<unsigned>(timeoutUs)));
        }
        ASSERT_TRUE(pump([&] { return client->state() == CtvkModbusClient::ConnectedState; }));
    }
    // The project's own server on the same loop, its tables filled.
    int serve()
    {
        server = std::make_unique<CtvkModbusTcpServer>();
        const int port = tvktest::freeLoopbackPort();
        server->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
        server->setStartAddressAndNum(0, 100, 0, 100, 0, 100, 0, 100);
        for (int a = 0; a < 100; ++a) {
            server->setData(CtvkModbusDataUnit::Coils, a, a % 3 == 0);
            server->setData(CtvkModbusDataUnit::DiscreteInputs, a, a % 2);
            server->setData(CtvkModbusDataUnit::HoldingRegisters, a, static_cast<unsigned short>(1000 + a));
            server->setData(CtvkModbusDataUnit::InputRegisters, a, static_cast<unsigned short>(2000 + a));
        }
        EXPECT_TRUE(server->open());
        server->processRequest();
        return port;
    }
    // Sends through `send` and keeps the reply, noting its signals.
    CtvkModbusReply* track(const std::function<CtvkModbusReply*()>& send)
    {
        auto heard = std::make_shared<Heard>();
        sending = true;
        CtvkModbusReply* reply = send();
        replies.emplace_back(reply);
        heardOf.push_back(heard);
        const auto note = [this, heard](const char* what) {
            heard->signals.push_back(what);
            heard->duringSend = heard->duringSend || sending;
        };
        CtvkObject::connect<CtvkModbusDevice::Error>(
            reply, "errorOccurred(CtvkModbusDevice::Error)", nullptr,
            std::function<void(CtvkModbusDevice::Error)>([note](CtvkModbusDevice::Error) { note("errorOccurred"); }));
        CtvkObject::connect(reply, "finished()", nullptr, std::function<void()>([this, note, reply] {
            note("finished");
            finishedOrder.push_back(reply);
        }));
        sending = false;
        return reply;
    }
    CtvkModbusReply* read(CtvkModbusDataUnit::RegisterType type, int address, int count, int unit = kUnitId)
    {
        return track([=] { return client->sendReadRequest(CtvkModbusDataUnit(type, address, count), unit); });
    }
    CtvkModbusReply* write(CtvkModbusDataUnit::RegisterType type, int address, const std::vector<int>& values)
    {
        CtvkModbusDataUnit unit(type, address, 0);
        for (int v : values)
            unit.values.append(CtvkVariant(v));
        return track([=] { return client->sendWriteRequest(unit, kUnitId); });
    }
    bool finished(CtvkModbusReply* reply, int timeoutMs = tvktest::kWaitMs)
    {
        return pump([reply] { return reply->isFinished(); }, timeoutMs);
    }
    bool pump(const std::function<bool()>& done, int timeoutMs = tvktest::kWaitMs)
    {
        return tvktest::pumpUntil(loop, done, timeoutMs);
    }
    static std::vector<int> valuesOf(const CtvkModbusReply* reply)
    {
        std::vector<int> v;
        const CtvkModbusDataUnit unit = reply->result();
        for (int i = 0; i < unit.values.size(); ++i)
            v.push_back(unit.values.at(i).toInt());
        return v;
    }

    CtvkEventLoop loop;
    std::unique_ptr<CtvkModbusTcpServer> server;
    std::unique_ptr<CtvkModbusTcpClient> client;
    std::unique_ptr<tvktest::ErrorRecorder> recorder;
    std::vector<std::unique_ptr<CtvkModbusReply>> replies;
    std::vector<std::shared_ptr<Heard>> heardOf;
    std::vector<CtvkModbusReply*> finishedOrder;
    std::vector<int> states;
    bool sending = false;

private:
    int m_descriptors = 0;
    int m_notifiers = 0;
};

} // namespace

TEST_F(AsyncTcp, EveryRequestKindAgainstTheProjectsServer)
{
    connectTo(serve());
    EXPECT_EQ(states, (std::vector<int>{CtvkModbusClient::ConnectingState, CtvkModbusClient::ConnectedState}));
    CtvkModbusReply* coils = read(CtvkModbusDataUnit::Coils, 2, 3);
    CtvkModbusReply* inputs = read(CtvkModbusDataUnit::DiscreteInputs, 2, 3);
    CtvkModbusReply* holding = read(CtvkModbusDataUnit::HoldingRegisters, 5, 2);
    CtvkModbusReply* input = read(CtvkModbusDataUnit::InputRegisters, 7, 1);
    CtvkModbusReply* oneCoil = write(CtvkModbusDataUnit::Coils, 10, {1});
    CtvkModbusReply* coilBlock = write(CtvkModbusDataUnit::Coils, 20, {1, 0, 1, 1, 0, 1, 1, 1, 1});
    CtvkModbusReply* oneRegister = write(CtvkModbusDataUnit::HoldingRegisters, 30, {0xBEEF});
    CtvkModbusReply* registerBlock = write(CtvkModbusDataUnit::HoldingRegisters, 40, {7, 8, 9});
    CtvkModbusDataUnit toWrite(CtvkModbusDataUnit::HoldingRegisters, 50, 0);
    toWrite.values.append(CtvkVariant(77));
    CtvkModbusReply* readWrite = track([&] {
        return client->sendReadWriteRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 49, 3), toWrite,
                                            kUnitId);
    });
    for (const auto& r : replies)
        EXPECT_FALSE(r->isFinished()) << "nothing finishes inside its send call";
    ASSERT_TRUE(finished(readWrite));
    for (std::size_t i = 0; i < replies.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(replies[i]->isFinished());
        EXPECT_EQ(replies[i]->error(), CtvkModbusDevice::NoError) << replies[i]->errorString().toStdString();
        EXPECT_EQ(heardOf[i]->signals, std::vector<std::string>{"finished"});
        EXPECT_FALSE(heardOf[i]->duringSend);
    }
    EXPECT_EQ(valuesOf(coils), (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(valuesOf(inputs), (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(valuesOf(holding), (std::vector<int>{1005, 1006}));
    EXPECT_EQ(valuesOf(input), (std::vector<int>{2007}));
    EXPECT_EQ(holding->result().registerType, CtvkModbusDataUnit::HoldingRegisters);
    EXPECT_EQ(holding->result().startAddress, 5);
    EXPECT_EQ(valuesOf(readWrite), (std::vector<int>{1049, 77, 1051})) << "written first, then read";
    unsigned short v = 0;
    ASSERT_TRUE(server->data(CtvkModbusDataUnit::HoldingRegisters, 30, &v));
    EXPECT_EQ(v, 0xBEEF);
    ASSERT_TRUE(server->data(CtvkModbusDataUnit::HoldingRegisters, 42, &v));
    EXPECT_EQ(v, 9);
    ASSERT_TRUE(server->data(CtvkModbusDataUnit::Coils, 28, &v));
    EXPECT_EQ(v, 1);
    ASSERT_TRUE(server->data(CtvkModbusDataUnit::Coils, 24, &v));
    EXPECT_EQ(v, 0);
    EXPECT_EQ(valuesOf(oneCoil), std::vector<int>{1}) << "a write's result is what it wrote";
    (void)coilBlock;
    (void)oneRegister;
    (void)registerBlock;
    EXPECT_TRUE(recorder->codes.empty());
}

TEST_F(AsyncTcp, ExceptionsAndRequestsThatCannotBeSent)
{
    connectTo(serve());
    CtvkModbusReply* outside = read(CtvkModbusDataUnit::HoldingRegisters, 99, 2);
    CtvkModbusReply* readOnly = write(CtvkModbusDataUnit::InputRegisters, 0, {1});
    CtvkModbusReply* tooMany = read(CtvkModbusDataUnit::HoldingRegisters, 0, 126);
    EXPECT_FALSE(readOnly->isFinished());
    ASSERT_TRUE(finished(outside) && finished(readOnly) && finished(tooMany));
    EXPECT_EQ(outside->error(), CtvkModbusDevice::ReadError);
    EXPECT_EQ(outside->exceptionCode(), 2);
    EXPECT_EQ(outside->errorString().toStdString(), "Illegal data address");
    EXPECT_EQ(heardOf[0]->signals, (std::vector<std::string>{"errorOccurred", "finished"}));
    EXPECT_EQ(readOnly->error(), CtvkModbusDevice::WriteError);
    EXPECT_EQ(readOnly->exceptionCode(), 0);
    EXPECT_EQ(tooMany->errorString().toStdString(), "Too many data") << "as libmodbus tells the blocking read";
    // The device records each failure, as the blocking requests do.
    EXPECT_EQ(recorder->codes.size(), 3u);
    EXPECT_EQ(server->requestsAnswered(), 1u) << "only the first went out";
}

TEST_F(AsyncTcp, AgainstPymodbus)
{
    tvktest::PymodbusPeer peer;
    const int port = peer.waitForPort(tvktest::kWaitMs);
    ASSERT_GT(port, 0) << peer.errors();
    connectTo(port);
    CtvkModbusReply* before = read(CtvkModbusDataUnit::HoldingRegisters, 3, 2);
    CtvkModbusReply* written = write(CtvkModbusDataUnit::HoldingRegisters, 3, {11, 12});
    CtvkModbusReply* after = read(CtvkModbusDataUnit::HoldingRegisters, 3, 2);
    CtvkModbusReply* coils = read(CtvkModbusDataUnit::Coils, 0, 4);
    ASSERT_TRUE(finished(coils));
    EXPECT_EQ(valuesOf(before), (std::vector<int>{1003, 1004}));
    EXPECT_EQ(written->error(), CtvkModbusDevice::NoError);
    EXPECT_EQ(valuesOf(after), (std::vector<int>{11, 12}));
    EXPECT_EQ(valuesOf(coils), (std::vector<int>{1, 0, 0, 1}));
}

TEST_F(AsyncTcp, PipelinedAnswersAreMatchedInOrderAndInReverse)
{
    constexpr std::size_t kInFlight = 8;
    ScriptedPeer reverse([](int fd) {
        std::vector<Bytes> requests = ScriptedPeer::readRequests(fd, kInFlight);
        std::reverse(requests.begin(), requests.end());
        for (const Bytes& r : requests)
            ScriptedPeer::send(fd, ScriptedPeer::registersAnswer(r));
        ScriptedPeer::readRequests(fd, 1);   // until the client closes
    });
    client->setMaximumRequestsInFlight(static_cast<int>(kInFlight));
    connectTo(reverse.port());
    for (std::size_t i = 0; i < kInFlight; ++i)
        read(CtvkModbusDataUnit::HoldingRegisters, static_cast<int>(10 * i), 2);
    ASSERT_TRUE(pump([&] { return finishedOrder.size() == kInFlight; }));
    for (std::size_t i = 0; i < kInFlight; ++i)
        EXPECT_EQ(valuesOf(replies[i].get()), (std::vector<int>{int(10 * i), int(10 * i + 1)}));
    EXPECT_EQ(finishedOrder.front(), replies.back().get()) << "each finished as its answer came";
    client->disconnectDevice();

    // In order, many at once, against the project's server.
    replies.clear();
    heardOf.clear();
    finishedOrder.clear();
    client->setMaximumRequestsInFlight(16);
    connectTo(serve());
    for (int i = 0; i < 100; ++i)
        read(CtvkModbusDataUnit::InputRegisters, i % 90, 10);
    ASSERT_TRUE(pump([&] { return finishedOrder.size() == 100; }));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(valuesOf(replies[static_cast<std::size_t>(i)].get()).front(), 2000 + i % 90);
}

TEST_F(AsyncTcp, SilentDeviceFailsAfterItsAttemptsWithoutHoldingTheLoop)
{
    // The kernel completes the connection from the backlog; nobody answers.
    const int silent = tvktest::listenOnLoopback();
    client->setNumberOfRetries(2);
    connectTo(tvktest::localPort(silent), kShortTimeoutUs);
    const auto start = Clock::now();
    CtvkModbusReply* reply = read(CtvkModbusDataUnit::HoldingRegisters, 0, 1);
    int ticks = 0;
    struct Ticker : CtvkObject {
        int* count;
        explicit Ticker(int* c) : count(c) { startTimer(10); }
        void timerEvent(CtvkTimerEvent*) override { ++*count; }
    } ticker(&ticks);
    ASSERT_TRUE(finished(reply));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::microseconds(2 * kShortTimeoutUs)) << "two attempts, each its full time";
    EXPECT_GT(ticks, 10) << "the loop went on meanwhile";
    EXPECT_EQ(reply->error(), CtvkModbusDevice::ReadError);
    EXPECT_EQ(reply->errorString().toStdString(), "Connection timed out");
    EXPECT_EQ(recorder->codes, std::vector<CtvkModbusDevice::Error>{CtvkModbusDevice::ReadError});
    client->disconnectDevice();
    ::close(silent);
}

TEST_F(AsyncTcp, AnswerAfterItsRequestGaveUpIsNotTakenForTheNext)
{
    const int port = serve();
    server->setAnswerDelay(kShortTimeoutUs / 1000 + 100);
    client->setNumberOfRetries(1);
    connectTo(port, kShortTimeoutUs);
    CtvkModbusReply* late = read(CtvkModbusDataUnit::HoldingRegisters, 0, 1);
    ASSERT_TRUE(finished(late));
    EXPECT_EQ(late->errorString().toStdString(), "Connection timed out");
    server->setAnswerDelay(0);
    // Answered behind the late one, on the same connection.
    CtvkModbusReply* next = read(CtvkModbusDataUnit::HoldingRegisters, 50, 1);
    ASSERT_TRUE(finished(next));
    EXPECT_EQ(valuesOf(next), std::vector<int>{1050});
}

TEST_F(AsyncTcp, DeviceThatClosesMidAnswerFailsItsRequestsAndDisconnects)
{
    ScriptedPeer halfway([](int fd) {
        const std::vector<Bytes> requests = ScriptedPeer::readRequests(fd, 1);
        if (requests.empty())
            return;
        const Bytes answer = ScriptedPeer::registersAnswer(requests[0]);
        ScriptedPeer::send(fd, Bytes(answer.begin(), answer.begin() + 9));
    });
    connectTo(halfway.port());
    CtvkModbusReply* reply = read(CtvkModbusDataUnit::HoldingRegisters, 0, 4);
    ASSERT_TRUE(finished(reply));
    EXPECT_EQ(reply->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_EQ(reply->errorString().toStdString(), "Connection reset by peer");
    ASSERT_TRUE(pump([&] { return states.back() == CtvkModbusClient::UnconnectedState; }));
    EXPECT_EQ(client->state(), CtvkModbusClient::UnconnectedState);
}

TEST_F(AsyncTcp, ConnectionLostWithSixteenInFlightFailsEveryOneInOrder)
{
    constexpr std::size_t kInFlight = 16;
    ScriptedPeer dropper([](int fd) { ScriptedPeer::readRequests(fd, kInFlight); });
    client->setMaximumRequestsInFlight(static_cast<int>(kInFlight));
    connectTo(dropper.port());
    for (std::size_t i = 0; i < kInFlight + 2; ++i)   // two more wait their turn
        read(CtvkModbusDataUnit::HoldingRegisters, static_cast<int>(i), 1);
    ASSERT_TRUE(pump([&] { return finishedOrder.size() == kInFlight + 2; }));
    for (std::size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(finishedOrder[i], replies[i].get()) << "in the order sent";
        EXPECT_EQ(replies[i]->error(), CtvkModbusDevice::ConnectionError);
    }
    EXPECT_EQ(client->state(), CtvkModbusClient::UnconnectedState);
}

TEST_F(AsyncTcp, UnconnectedOrRefusedRequestsFinishOnTheLoopWithConnectionError)
{
    CtvkModbusReply* early = read(CtvkModbusDataUnit::Coils, 0, 1);
    EXPECT_FALSE(early->isFinished());
    ASSERT_TRUE(finished(early));
    EXPECT_EQ(early->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_FALSE(heardOf[0]->duringSend);

    // Refused at once on loopback, or a moment later elsewhere.
    tvktest::RefusingPort refusing;
    client->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(refusing.port()));
    client->connectDevice();
    CtvkModbusReply* waiting = read(CtvkModbusDataUnit::Coils, 0, 1);
    ASSERT_TRUE(finished(waiting));
    EXPECT_EQ(waiting->error(), CtvkModbusDevice::ConnectionError);
    ASSERT_TRUE(pump([&] { return states.back() == CtvkModbusClient::UnconnectedState; }));
    EXPECT_EQ(client->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_EQ(client->errorString().toStdString(), "Connection refused");
}

TEST_F(AsyncTcp, HostNameThatNamesNothingFailsItsRequestsSayingSo)
{
    const std::string reason = tvktest::unresolvedHostReason();
    if (reason.empty())
        GTEST_SKIP() << "the resolver here answers for " << tvktest::kHostThatNamesNothing;
    client->setConnectionParameter(CtvkModbusDevice::NetworkAddress,
                                   CtvkVariant(CtvkString::fromAscii(tvktest::kHostThatNamesNothing)));
    client->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(502));
    ASSERT_TRUE(client->connectDevice()) << "looked up without blocking the loop";
    CtvkModbusReply* waiting = read(CtvkModbusDataUnit::Coils, 0, 1);
    ASSERT_TRUE(finished(waiting));
    const std::string text = "the host name could not be resolved: " + reason;
    EXPECT_EQ(waiting->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_EQ(waiting->errorString().toStdString(), text);
    ASSERT_TRUE(pump([&] { return client->state() == CtvkModbusClient::UnconnectedState; }));
    EXPECT_EQ(client->errorString().toStdString(), text);
}

TEST_F(AsyncTcp, RepliesAndDevicesMayGoAtAnyTime)
{
    const int silent = tvktest::listenOnLoopback();
    client->setMaximumRequestsInFlight(3);
    connectTo(tvktest::localPort(silent));
    read(CtvkModbusDataUnit::Coils, 0, 1);
    read(CtvkModbusDataUnit::Coils, 1, 1);
    CtvkModbusReply* kept = read(CtvkModbusDataUnit::Coils, 2, 1);
    CtvkModbusReply* queued = client->sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::Coils, 3, 1), 1);
    // Gone before they finish: on the wire, waiting, and later from the loop.
    replies[0].reset();
    delete queued;
    replies[1].release()->deleteLater();
    loop.processEvents(0);
    client.reset();   // with a request in flight
    ASSERT_TRUE(finished(kept));
    EXPECT_EQ(kept->error(), CtvkModbusDevice::ConnectionError);
    ::close(silent);
}

TEST_F(AsyncTcp, TimerAndTheServerKeepTheirPaceWhileTenRequestsWaitOnSilentDevices)
{
    // A loop held by a waiting request stalled 1.5 s per poll; the bounds
    // here are far above a loaded machine's jitter and far below that.
    constexpr int kDevices = 10;
    constexpr auto kBound = std::chrono::milliseconds(50);
    std::vector<int> silent;
    std::vector<std::unique_ptr<CtvkModbusTcpClient>> pollers;
    std::vector<std::unique_ptr<CtvkModbusReply>> waiting;
    for (int i = 0; i < kDevices; ++i) {
        silent.push_back(tvktest::listenOnLoopback());
        pollers.push_back(std::make_unique<CtvkModbusTcpClient>());
        pollers.back()->setConnectionParameter(CtvkModbusDevice::NetworkPort,
                                               CtvkVariant(tvktest::localPort(silent.back())));
        ASSERT_TRUE(pollers.back()->connectDevice());
        ASSERT_TRUE(pollers.back()->setTimeout(30, 0));
        waiting.emplace_back(pollers.back()->sendReadRequest(
            CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 0, 1), 1));
    }
    const int port = serve();
    std::atomic<bool> done{false};
    std::vector<Clock::duration> latencies;
    std::thread master([&] {
        tvktest::RawMaster m(port);
        for (int i = 0; i < 200 && m.connected(); ++i) {
            const auto sent = Clock::now();
            Bytes frame;
            if (!m.send(tvktest::readRequest(i, 3, 0, 1)) || !tvktest::waitFor([&] { return m.takeFrame(&frame); }))
                break;
            latencies.push_back(Clock::now() - sent);
        }
        done = true;
    });
    Clock::duration worstLate{};
    auto last = Clock::now();
    struct Ticker : CtvkObject {
        std::function<void()> tick;
        Ticker() { startTimer(10); }
        void timerEvent(CtvkTimerEvent*) override { tick(); }
    } ticker;
    ticker.tick = [&] {
        const auto now = Clock::now();
        worstLate = std::max(worstLate, now - last - std::chrono::milliseconds(10));
        last = now;
    };
    pump([&] { return done.load(); }, 20000);
    master.join();
    for (const auto& r : waiting)
        EXPECT_FALSE(r->isFinished()) << "still waiting on its silent device";
    ASSERT_EQ(latencies.size(), 200u);
    std::sort(latencies.begin(), latencies.end());
    EXPECT_LT(latencies[latencies.size() * 99 / 100], kBound);
    EXPECT_LT(worstLate, kBound);
    waiting.clear();
    pollers.clear();
    for (int fd : silent)
        ::close(fd);
}

TEST_F(AsyncTcp, UnitZeroIsAnOrdinaryAddressForTheBlockingWritesToo)
{
    // Nobody answers: over TCP that is a failed write, not a broadcast.
    const int silent = tvktest::listenOnLoopback();
    CtvkModbusTcpClient blocking;
    blocking.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(tvktest::localPort(silent)));
    blocking.setUnitId(0);
    blocking.setNumberOfRetries(1);
    ASSERT_TRUE(blocking.open());
    ASSERT_TRUE(blocking.setTimeout(0, kShortTimeoutUs));
    EXPECT_FALSE(blocking.sendWriteSingleRegisters(0, 1));
    EXPECT_EQ(blocking.error(), CtvkModbusDevice::WriteError);
    blocking.close();
    ::close(silent);
}

TEST_F(AsyncTcp, ConnectTimeoutSetBeforeConnectingLimitsTheAttempt)
{
    tvktest::StallingPort stalling;
    client->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(stalling.port()));
    // No context yet: the response timeout cannot be set, the attempt's own limit can.
    client->setConnectTimeout(3000);
    ASSERT_TRUE(client->connectDevice());
    const auto start = Clock::now();
    // Past the response timeout (500 ms) that limited the attempt before.
    pump([] { return false; }, 1000);
    EXPECT_EQ(client->state(), CtvkModbusClient::ConnectingState);
    client->disconnectDevice();

    client->setConnectTimeout(100);
    ASSERT_TRUE(client->connectDevice());
    ASSERT_TRUE(pump([&] { return client->state() == CtvkModbusClient::UnconnectedState; }));
    EXPECT_EQ(client->errorString().toStdString(), "Connection timed out");
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2900)) << "the second attempt was not held 3 s";
}

TEST_F(AsyncTcp, ReconnectsWithAGrowingDelayAndOneStateChangePerChange)
{
    constexpr int kFirstDelayMs = 20;
    constexpr int kMostDelayMs = 160;
    const int port = serve();
    client->setAutoReconnect(kFirstDelayMs, kMostDelayMs);
    connectTo(port);
    CtvkModbusReply* before = read(CtvkModbusDataUnit::HoldingRegisters, 0, 1);
    ASSERT_TRUE(finished(before));
    ASSERT_EQ(before->error(), CtvkModbusDevice::NoError);

    // The simulator ends: its connections close and its port refuses.
    server->close();
    const auto lost = Clock::now();
    ASSERT_TRUE(pump([&] { return client->reconnectAttempts() >= 5; }));
    // 20 + 40 + 80 + 160 + 160 ms at least: the delay doubles up to its ceiling.
    EXPECT_GE(Clock::now() - lost, std::chrono::milliseconds(460));
    EXPECT_EQ(client->state(), CtvkModbusClient::ConnectingState);

    // It starts again on the same port, and the client is back by itself.
    ASSERT_TRUE(server->open());
    server->processRequest();
    ASSERT_TRUE(pump([&] { return client->state() == CtvkModbusClient::ConnectedState; }));
    CtvkModbusReply* after = read(CtvkModbusDataUnit::HoldingRegisters, 0, 1);
    ASSERT_TRUE(finished(after));
    EXPECT_EQ(after->error(), CtvkModbusDevice::NoError);
    loop.processEvents(0);
    EXPECT_EQ(states, (std::vector<int>{CtvkModbusClient::ConnectingState, CtvkModbusClient::ConnectedState,
                                        CtvkModbusClient::ConnectingState, CtvkModbusClient::ConnectedState}));
    // The loss and the first refusal; the refusals after it are no news.
    EXPECT_EQ(recorder->codes, (std::vector<CtvkModbusDevice::Error>{CtvkModbusDevice::ConnectionError,
                                                                     CtvkModbusDevice::ConnectionError}));
    EXPECT_GE(client->reconnectAttempts(), 5);
}

TEST_F(AsyncTcp, RequestsWhileReconnectingFailAtOnceOrWaitWhenAsked)
{
    const int port = serve();
    client->setAutoReconnect(10, 50);
    connectTo(port);
    server->close();
    ASSERT_TRUE(pump([&] { return client->reconnectAttempts() >= 1; }));
    CtvkModbusReply* refused = read(CtvkModbusDataUnit::Coils, 0, 1);
    ASSERT_TRUE(finished(refused, 100));
    EXPECT_EQ(refused->error(), CtvkModbusDevice::ConnectionError);

    client->setRequestsWaitForReconnect(true);
    CtvkModbusReply* waiting = read(CtvkModbusDataUnit::HoldingRegisters, 3, 2);
    pump([] { return false; }, 200);
    EXPECT_FALSE(waiting->isFinished());
    ASSERT_TRUE(server->open());
    server->processRequest();
    ASSERT_TRUE(finished(waiting));
    EXPECT_EQ(waiting->error(), CtvkModbusDevice::NoError);
    EXPECT_EQ(valuesOf(waiting), (std::vector<int>{1003, 1004}));

    // Turned off during an outage, the outage ends unconnected.
    server->close();
    ASSERT_TRUE(pump([&] { return client->state() == CtvkModbusClient::ConnectingState; }));
    client->setAutoReconnect(0, 0);
    ASSERT_TRUE(pump([&] { return client->state() == CtvkModbusClient::UnconnectedState; }));
}

TEST_F(AsyncTcp, BlockingRequestBesideOpenAsynchronousOnesFailsAtOnce)
{
    const int port = serve();
    connectTo(port);
    client->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    ASSERT_TRUE(client->open()) << client->errorString().toStdString();
    CtvkModbusReply* async = read(CtvkModbusDataUnit::HoldingRegisters, 0, 1);
    unsigned short value = 0;
    EXPECT_FALSE(client->sendWriteSingleRegisters(10, 5));
    EXPECT_EQ(client->error(), CtvkModbusDevice::WriteError);
    EXPECT_EQ(client->errorString().toStdString(),
              "Blocking request refused: asynchronous requests are open on this device");
    EXPECT_FALSE(client->sendReadHoldingRegisters(10, 1, &value));
    EXPECT_EQ(client->error(), CtvkModbusDevice::ReadError);
    ASSERT_TRUE(finished(async));
    EXPECT_EQ(valuesOf(async), std::vector<int>{1000});
    ASSERT_TRUE(server->data(CtvkModbusDataUnit::HoldingRegisters, 10, &value));
    EXPECT_EQ(value, 1010) << "the blocking write never went out";
}

TEST_F(AsyncTcp, RtuFramingDropsALateAnswerBeforeTheNextRequestGoes)
{
    // Two reads of two registers, eight bytes each: the first is answered
    // after its attempt gave up, the second at once.
    ScriptedPeer peer([](int fd) {
        for (int number = 0; number < 2; ++number) {
            Bytes request;
            while (request.size() < 8) {
                pollfd p{fd, POLLIN, 0};
                std::uint8_t chunk[8];
                if (::poll(&p, 1, tvktest::kWaitMs) != 1)
                    return;
                const ssize_t n = ::read(fd, chunk, 8 - request.size());
                if (n <= 0)
                    return;
                request.insert(request.end(), chunk, chunk + n);
            }
            if (number == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(kShortTimeoutUs + 100000));
            const int first = static_cast<int>(tvktest::wordAt(request, 2));
            ScriptedPeer::send(fd, tvktest::rtuFrame({request[0], 3, 4, 0, first, 0, first + 1}));
        }
    });
    client->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    client->setFraming(CtvkModbusTcpClient::RtuFraming);
    client->setNumberOfRetries(1);
    connectTo(peer.port(), kShortTimeoutUs);
    CtvkModbusReply* late = read(CtvkModbusDataUnit::HoldingRegisters, 0, 2);
    CtvkModbusReply* next = read(CtvkModbusDataUnit::HoldingRegisters, 10, 2);
    ASSERT_TRUE(finished(next));
    EXPECT_EQ(late->errorString().toStdString(), "Connection timed out");
    EXPECT_EQ(next->error(), CtvkModbusDevice::NoError) << next->errorString().toStdString();
    EXPECT_EQ(valuesOf(next), (std::vector<int>{10, 11}));
}
