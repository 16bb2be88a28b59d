// SPDX-License-Identifier: MIT
#include "descriptors.h"
#include "errorrecorder.h"
#include "frames.h"
#include "loopback.h"
#include "notifiers.h"
#include "rawmaster.h"
#include "waiting.h"

#include "tvkabstracteventdispatcher.h"
#include "tvkeventloop.h"
#include "tvkmodbusreply.h"
#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpserver.h"
#include "tvkmodbustcpserver_p.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>

using namespace Quorvan;
using tvktest::Bytes;
using tvktest::RawMaster;

// Present when UndefinedBehaviorSanitizer's runtime is linked in.
extern "C" __attribute__((weak)) long __ubsan_vptr_type_cache[];

namespace {

using Clock = std::chrono::steady_clock;

int listedClients()
{
    return CtvkModbusTcpServerPrivate::acceptNotifierList().size();
}

int transactionOf(const Bytes& f)
{
    return f.size() >= 2 ? (f[0] << 8) | f[1] : -1;
}

// The exception code of an exception response, 0 for a normal one.
int exceptionOf(const Bytes& f)
{
    return f.size() == 9 && (f[7] & 0x80) ? f[8] : 0;
}

int registerOf(const Bytes& f, int i)
{
    return (f[9 + 2 * i] << 8) | f[10 + 2 * i];
}

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Every test serves from the loop of its own thread, with masters on raw
// loopback sockets; TearDown proves the server left nothing behind.
class TcpServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        CtvkAbstractEventDispatcher::instance();   // its own descriptors are not the test's
        m_descriptors = tvktest::openDescriptors();
        m_notifiers = tvktest::watchedNotifiers();
        port = tvktest::freeLoopbackPort();
        server = serve(port);
    }

    void TearDown() override
    {
        masters.clear();
        others.clear();
        server.reset();
        loop.processEvents(0);
        EXPECT_EQ(listedClients(), 0);
        EXPECT_EQ(tvktest::watchedNotifiers(), m_notifiers) << "a notifier was left registered";
        EXPECT_EQ(tvktest::openDescriptors(), m_descriptors) << "a descriptor was left open";
    }

    std::unique_ptr<CtvkModbusTcpServer> serve(int onPort, bool withMap = true)
    {
        auto s = std::make_unique<CtvkModbusTcpServer>();
        s->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(onPort));
        if (withMap)
            s->setStartAddressAndNum(0, 100, 0, 100, 0, 100, 0, 100);
        EXPECT_TRUE(s->open());
        s->processRequest();
        EXPECT_EQ(s->error(), CtvkModbusDevice::NoError) << s->errorString().toStdString();
        return s;
    }

    RawMaster& connectMaster(int toPort = 0)
    {
        const int before = listedClients();
        masters.push_back(std::make_unique<RawMaster>(toPort ? toPort : port));
        EXPECT_TRUE(masters.back()->connected());
        EXPECT_TRUE(pump([&] { return listedClients() > before; })) << "the server did not accept";
        return *masters.back();
    }

    Bytes roundTrip(RawMaster& m, const Bytes& request, int timeoutMs = 5000)
    {
        Bytes frame;
        EXPECT_TRUE(m.send(request));
        pump([&] { return m.takeFrame(&frame); }, timeoutMs);
        return frame;
    }

    bool pump(const std::function<bool()>& done, int timeoutMs = 5000)
    {
        return tvktest::pumpUntil(loop, done, timeoutMs);
    }

    CtvkEventLoop loop;
    int port = 0;
    std::unique_ptr<CtvkModbusTcpServer> server;
    std::vector<std::unique_ptr<CtvkModbusTcpServer>> others;
    std::vector<std::unique_ptr<RawMaster>> masters;

private:
    int m_descriptors = 0;
    int m_notifiers = 0;
};

TEST_F(TcpServer, InvalidSettingsAreRefusedWithTheirLine)
{
    CtvkModbusTcpServer bad;
    tvktest::ErrorRecorder recorder(&bad);
    bad.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(0));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(bad.open());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "(TCP server) Invalid host:127.0.0.1or port:0\n");
    EXPECT_EQ(bad.error(), CtvkModbusDevice::ConnectionError);
    EXPECT_TRUE(bad.errorString() == "Invalid connection settings for TCP communication specified.");
    ASSERT_EQ(recorder.codes.size(), 1u);
    // libmodbus would cut a port beyond 16 bits and listen somewhere else.
    bad.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(65536 + 502));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(bad.open());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "(TCP server) Invalid host:127.0.0.1or port:66038\n");

    // A null address is invalid; an empty one passes the check and is
    // refused by libmodbus instead.
    bad.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    bad.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(bad.open());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "(TCP server) Invalid host:or port:" + std::to_string(port) + "\n");
    bad.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant(""));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(bad.open());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(bad.error(), CtvkModbusDevice::ConnectionError);
    EXPECT_EQ(recorder.codes.size(), 4u);
}

TEST_F(TcpServer, NamesAndIpv6LiteralsServeAndAnAddressThatNamesNothingIsRefused)
{
    for (const char* host : {"localhost", "::1"}) {
        SCOPED_TRACE(host);
        const int onPort = tvktest::freeLoopbackPort();
        auto named = std::make_unique<CtvkModbusTcpServer>();
        named->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant(host));
        named->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(onPort));
        named->setStartAddressAndNum(0, 10, 0, 10, 0, 10, 0, 10);
        named->setData(CtvkModbusDataUnit::HoldingRegisters, 2, 1234);
        ASSERT_TRUE(named->open());
        named->processRequest();
        EXPECT_EQ(named->listeningPort(), onPort);
        // The client looks the name up too, without blocking the loop.
        CtvkModbusTcpClient client;
        client.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant(host));
        client.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(onPort));
        ASSERT_TRUE(client.connectDevice());
        std::unique_ptr<CtvkModbusReply> reply(
            client.sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 2, 1), 1));
        ASSERT_TRUE(pump([&] { return reply->isFinished(); }));
        EXPECT_EQ(reply->error(), CtvkModbusDevice::NoError) << reply->errorString().toStdString();
        ASSERT_EQ(reply->result().values.size(), 1);
        EXPECT_EQ(reply->result().values.at(0).toInt(), 1234);
        client.disconnectDevice();
        others.push_back(std::move(named));
    }

    // A plain IPv4 parse would take it for 255.255.255.255 and listen there.
    CtvkModbusTcpServer nowhere;
    nowhere.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("1.2.3.999"));
    nowhere.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(nowhere.open());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "(TCP server) Invalid host:1.2.3.999or port:" + std::to_string(port) + "\n");
    EXPECT_EQ(nowhere.error(), CtvkModbusDevice::ConnectionError);
}

TEST_F(TcpServer, OtherUnitIdsGoUnansweredAnswersCanComeLateAndEachRequestIsTold)
{
    std::vector<CtvkModbusTcpServer::Request> told;
    server->setRequestObserver([&](const CtvkModbusTcpServer::Request& r) { told.push_back(r); });
    server->setUnitIds({1, 3});
    RawMaster& m = connectMaster();
    // Unit 2 is not there: the first answer is the one to unit 1's request.
    ASSERT_TRUE(m.send(tvktest::concat({tvktest::readRequest(1, 3, 0, 1, 2), tvktest::readRequest(2, 3, 0, 1, 1)})));
    Bytes frame;
    ASSERT_TRUE(pump([&] { return m.takeFrame(&frame); }));
    EXPECT_EQ(transactionOf(frame), 2);
    EXPECT_EQ(exceptionOf(roundTrip(m, tvktest::readRequest(3, 3, 99, 2, 3))), 2);
    ASSERT_EQ(told.size(), 3u);
    EXPECT_EQ(told[0].unit, 2);
    EXPECT_EQ(told[0].exceptionCode, -1);
    EXPECT_EQ(told[1].exceptionCode, 0);
    EXPECT_EQ(told[2].function, 3);
    EXPECT_EQ(told[2].address, 99);
    EXPECT_EQ(told[2].count, 2);
    EXPECT_EQ(told[2].exceptionCode, 2) << "address 100 is outside the table";

    server->setAnswerDelay(150);
    const auto sent = Clock::now();
    EXPECT_EQ(transactionOf(roundTrip(m, tvktest::readRequest(4, 3, 0, 1, 1))), 4);
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(150));
}

TEST_F(TcpServer, NegativeStartReachesTheEntriesTheHostSees)
{
    // Remote address a is entry a - start for libmodbus's answers, for the
    // host's reads and writes, and for the exception told to the observer.
    server->setStartAddressAndNum(0, 10, -3, 10, -5, 10, 0, 10);
    ASSERT_EQ(server->error(), CtvkModbusDevice::NoError) << server->errorString().toStdString();
    std::vector<CtvkModbusTcpServer::Request> told;
    server->setRequestObserver([&](const CtvkModbusTcpServer::Request& r) { told.push_back(r); });
    ASSERT_TRUE(server->setData(CtvkModbusDataUnit::HoldingRegisters, -5, 111));   // beyond a master's reach
    ASSERT_TRUE(server->setData(CtvkModbusDataUnit::HoldingRegisters, 0, 555));
    ASSERT_TRUE(server->setData(CtvkModbusDataUnit::HoldingRegisters, 4, 999));
    ASSERT_TRUE(server->setData(CtvkModbusDataUnit::DiscreteInputs, 6, 1));
    EXPECT_FALSE(server->setData(CtvkModbusDataUnit::HoldingRegisters, 5, 1));

    RawMaster& m = connectMaster();
    const Bytes all = roundTrip(m, tvktest::readRequest(1, 3, 0, 5));
    ASSERT_EQ(exceptionOf(all), 0);
    EXPECT_EQ(registerOf(all, 0), 555);
    EXPECT_EQ(registerOf(all, 4), 999);
    EXPECT_EQ(exceptionOf(roundTrip(m, tvktest::readRequest(2, 3, 0, 6))), 2);
    EXPECT_EQ(exceptionOf(roundTrip(m, tvktest::writeRegistersRequest(3, 2, {77}))), 0);
    unsigned short v = 0;
    EXPECT_TRUE(server->data(CtvkModbusDataUnit::HoldingRegisters, 2, &v));
    EXPECT_EQ(v, 77);
    const Bytes input = roundTrip(m, tvktest::readRequest(4, 2, 6, 1));
    ASSERT_EQ(exceptionOf(input), 0);
    EXPECT_EQ(input.back(), 1);
    EXPECT_EQ(exceptionOf(roundTrip(m, tvktest::readRequest(5, 2, 7, 1))), 2);

    ASSERT_EQ(told.size(), 5u);
    for (std::size_t i = 0; i < told.size(); ++i)
        EXPECT_EQ(told[i].exceptionCode, (i == 1 || i == 4) ? 2 : 0) << "request " << i;
}

TEST_F(TcpServer, ListeningFailureIsRecordedAndWatchesNothing)
{
    const int notifiers = tvktest::watchedNotifiers();
    CtvkModbusTcpServer second;   // the port is taken by the fixture's server
    tvktest::ErrorRecorder recorder(&second);
    second.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    ASSERT_TRUE(second.open());
    second.processRequest();
    EXPECT_EQ(second.error(), CtvkModbusDevice::ConnectionError);
    EXPECT_FALSE(second.errorString().isEmpty());
    EXPECT_EQ(tvktest::watchedNotifiers(), notifiers);

    CtvkModbusTcpServer unopened;   // no context to listen with
    unopened.processRequest();
    EXPECT_EQ(unopened.error(), CtvkModbusDevice::ConnectionError);
}

TEST_F(TcpServer, PipelinedAndSplitRequestsAreAnsweredInOrder)
{
    ASSERT_TRUE(server->setData(CtvkModbusDataUnit::HoldingRegisters, 7, 0x1234));
    RawMaster& m = connectMaster();
    ASSERT_TRUE(m.send(tvktest::concat({tvktest::readRequest(1, 3, 7, 1),
                                        tvktest::writeRegistersRequest(2, 7, {0xBEEF}),
                                        tvktest::readRequest(3, 3, 7, 1)})));
    Bytes f1, f2, f3;
    ASSERT_TRUE(pump([&] { return m.takeFrame(&f1); }));
    ASSERT_TRUE(pump([&] { return m.takeFrame(&f2); }));
    ASSERT_TRUE(pump([&] { return m.takeFrame(&f3); }));
    EXPECT_EQ(transactionOf(f1), 1);
    EXPECT_EQ(registerOf(f1, 0), 0x1234);
    EXPECT_EQ(transactionOf(f2), 2);
    EXPECT_EQ(transactionOf(f3), 3);
    EXPECT_EQ(registerOf(f3, 0), 0xBEEF);

    // One byte at a time: nothing is answered before the last byte.
    const Bytes request = tvktest::readRequest(4, 4, 0, 2);
    Bytes frame;
    for (std::size_t i = 0; i + 1 < request.size(); ++i) {
        ASSERT_TRUE(m.send(Bytes{request[i]}));
        pump([] { return false; }, 5);
        EXPECT_FALSE(m.takeFrame(&frame)) << "answered after " << i + 1 << " bytes";
    }
    ASSERT_TRUE(m.send(Bytes{request.back()}));
    ASSERT_TRUE(pump([&] { return m.takeFrame(&frame); }));
    EXPECT_EQ(transactionOf(frame), 4);
    EXPECT_EQ(frame[8], 4) << "two registers, four bytes";
}

TEST_F(TcpServer, MasterStalledMidFrameDoesNotHoldUpOthers)
{
    RawMaster& stalled = connectMaster();
    RawMaster& other = connectMaster();
    ASSERT_TRUE(stalled.send(Bytes{0, 9, 0}));   // three bytes of a header, then nothing
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        const Bytes frame = roundTrip(other, tvktest::readRequest(i, 3, 0, 10));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        ASSERT_EQ(transactionOf(frame), i);
        EXPECT_LT(took.count(), 200) << "request " << i;
    }
    // The stalled master finishes its request and is answered.
    ASSERT_TRUE(stalled.send(Bytes{0, 0, 6, 1, 3, 0, 0, 0, 1}));
    Bytes frame;
    ASSERT_TRUE(pump([&] { return stalled.takeFrame(&frame); }));
    EXPECT_EQ(transactionOf(frame), 9);
}

TEST_F(TcpServer, RequestsLibmodbusWouldSleepOnAreAnsweredAtOnce)
{
    RawMaster& m = connectMaster();
    struct Case {
        Bytes request;
        int exception;
    };
    Bytes badByteCount = tvktest::writeRegistersRequest(5, 0, {1, 2});
    badByteCount[12] = 4;            // says four bytes for two registers...
    badByteCount[11] = 3;            // ...but three registers
    const Case cases[] = {
        {tvktest::readRequest(1, 3, 0, 0), 3},      // no register
        {tvktest::readRequest(2, 4, 0, 126), 3},    // more than 125
        {tvktest::readRequest(3, 1, 0, 2001), 3},   // more than 2000 bits
        {Bytes{0, 4, 0, 0, 0, 2, 1, 0x07}, 1},      // read exception status
        {Bytes{0, 5, 0, 0, 0, 3, 1, 0x2B, 0}, 1},   // a function nobody knows
        {badByteCount, 3},
        {tvktest::readRequest(6, 3, 99, 2), 2},     // outside, libmodbus's own answer
    };
    for (const Case& c : cases) {
        // A read queued behind each: a flush would have swallowed it.
        ASSERT_TRUE(m.send(tvktest::concat({c.request, tvktest::readRequest(100, 3, 0, 1)})));
        const auto start = Clock::now();
        Bytes frame, behind;
        ASSERT_TRUE(pump([&] { return m.takeFrame(&frame); }));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        EXPECT_EQ(transactionOf(frame), transactionOf(c.request));
        EXPECT_EQ(exceptionOf(frame), c.exception) << "request " << transactionOf(c.request);
        EXPECT_LT(took.count(), 200) << "request " << transactionOf(c.request);
        ASSERT_TRUE(pump([&] { return m.takeFrame(&behind); }));
        EXPECT_EQ(transactionOf(behind), 100);
    }
}

TEST_F(TcpServer, RequestBeforeAnyMapGetsServerFailure)
{
    server.reset();
    server = serve(port, false);
    RawMaster& m = connectMaster();
    EXPECT_EQ(exceptionOf(roundTrip(m, tvktest::readRequest(1, 3, 0, 1))), 4);
    EXPECT_EQ(exceptionOf(roundTrip(m, tvktest::writeRegistersRequest(2, 0, {1}))), 4);
}

TEST_F(TcpServer, MalformedFramesEndOnlyTheirConnection)
{
    const Bytes malformed[] = {
        {0, 1, 0, 1, 0, 6, 1, 3, 0, 0, 0, 1},    // protocol id 1
        {0, 1, 0, 0, 0, 1, 1},                   // length 1
        {0, 1, 0, 0, 1, 0, 1},                   // length 256
        {0, 1, 0, 0, 0, 7, 1, 3, 0, 0, 0, 1, 0}, // a read is six long, not seven
        {0, 1, 0, 0, 0, 8, 1, 16, 0, 0, 0, 1, 2, 0}, // byte count 2 needs length 9
    };
    RawMaster& good = connectMaster();
    for (const Bytes& frame : malformed) {
        RawMaster& bad = connectMaster();
        ASSERT_TRUE(bad.send(frame));
        EXPECT_TRUE(pump([&] { return !bad.receive(); })) << "kept a connection after a malformed frame";
        EXPECT_EQ(transactionOf(roundTrip(good, tvktest::readRequest(7, 3, 0, 1))), 7);
    }
    EXPECT_EQ(listedClients(), 1);
}

TEST_F(TcpServer, ThreeMastersAreServedAndOneLeavingStopsNoOther)
{
    RawMaster& a = connectMaster();
    RawMaster& b = connectMaster();
    RawMaster& c = connectMaster();
    ASSERT_TRUE(server->setData(CtvkModbusDataUnit::InputRegisters, 3, 33));
    for (RawMaster* m : {&a, &b, &c})
        EXPECT_EQ(registerOf(roundTrip(*m, tvktest::readRequest(m->fd(), 4, 3, 1)), 0), 33);
    b.close();
    EXPECT_TRUE(pump([] { return listedClients() == 2; }));
    EXPECT_EQ(transactionOf(roundTrip(a, tvktest::readRequest(11, 4, 3, 1))), 11);
    EXPECT_EQ(transactionOf(roundTrip(c, tvktest::readRequest(12, 4, 3, 1))), 12);
    EXPECT_EQ(server->error(), CtvkModbusDevice::NoError);
}

TEST_F(TcpServer, SignalsAnnounceEachConnectionWhileItsSocketIsOpen)
{
    std::vector<std::pair<int, bool>> heard;
    int stillOpen = 0;
    const auto hear = [&](bool connected) {
        return std::function<void(int)>([&, connected](int socket) {
            heard.emplace_back(socket, connected);
            stillOpen += ::fcntl(socket, F_GETFD) != -1;
        });
    };
    CtvkObject::connect<int>(server.get(), "clientConnected(int)", nullptr, hear(true));
    CtvkObject::connect<int>(server.get(), "clientDisconnected(int)", nullptr, hear(false));
    RawMaster& m = connectMaster();
    roundTrip(m, tvktest::readRequest(1, 3, 0, 1));
    roundTrip(m, tvktest::concat({tvktest::readRequest(2, 3, 0, 0), tvktest::readRequest(3, 3, 0, 1)}));
    Bytes third;
    ASSERT_TRUE(pump([&] { return m.takeFrame(&third); }));
    EXPECT_EQ(server->requestsAnswered(), 3u);
    m.close();
    ASSERT_TRUE(pump([&] { return heard.size() == 2; }));
    EXPECT_TRUE(heard[0].second);
    EXPECT_FALSE(heard[1].second);
    EXPECT_EQ(heard[0].first, heard[1].first);
    EXPECT_EQ(stillOpen, 2);
}

TEST_F(TcpServer, ClosingOneServerDropsTheClientsOfBoth)
{
    const int otherPort = tvktest::freeLoopbackPort();
    others.push_back(serve(otherPort));
    RawMaster& mine = connectMaster();
    RawMaster& theirs = connectMaster(otherPort);
    server->close();
    EXPECT_EQ(listedClients(), 0);
    EXPECT_TRUE(pump([&] { return !mine.receive() && !theirs.receive(); }));

    // The other server still listens and serves; this one listens no more.
    RawMaster& again = connectMaster(otherPort);
    EXPECT_EQ(transactionOf(roundTrip(again, tvktest::readRequest(5, 3, 0, 1))), 5);
    RawMaster refused(port);
    EXPECT_FALSE(refused.connected());

    // open() and processRequest() serve again.
    ASSERT_TRUE(server->open());
    server->processRequest();
    RawMaster& back = connectMaster();
    EXPECT_EQ(transactionOf(roundTrip(back, tvktest::readRequest(6, 3, 0, 1))), 6);
}

TEST_F(TcpServer, CloseLeavesADescriptorReusingAClientNumberAlone)
{
    RawMaster& m = connectMaster();
    roundTrip(m, tvktest::readRequest(1, 3, 0, 1));
    m.close();
    ASSERT_TRUE(pump([] { return listedClients() == 0; }));
    // The lowest free number: the one the server's end of the connection had.
    const int mine = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    server->close();
    EXPECT_NE(::fcntl(mine, F_GETFD), -1) << "close() closed a descriptor it no longer owned";
    ::close(mine);
}

TEST_F(TcpServer, ListeningAgainReleasesTheEarlierSocket)
{
    const int descriptors = tvktest::openDescriptors();
    const int notifiers = tvktest::watchedNotifiers();
    server->processRequest();   // same port: binding fails unless the first socket is gone
    EXPECT_EQ(server->error(), CtvkModbusDevice::NoError) << server->errorString().toStdString();
    EXPECT_EQ(tvktest::openDescriptors(), descriptors);
    EXPECT_EQ(tvktest::watchedNotifiers(), notifiers);
    RawMaster& m = connectMaster();
    EXPECT_EQ(transactionOf(roundTrip(m, tvktest::readRequest(2, 3, 0, 1))), 2);
}

TEST_F(TcpServer, UnlistedSocketNeverStopsTheServer)
{
    CtvkModbusTcpServerPrivate* priv = server->d_func();
    priv->deleteNotifier(100000);   // no such client
    RawMaster& m = connectMaster();
    priv->deleteNotifier(m.fd() + 1000);
    EXPECT_EQ(transactionOf(roundTrip(m, tvktest::readRequest(3, 3, 0, 1))), 3);
    RawMaster& n = connectMaster();
    EXPECT_EQ(transactionOf(roundTrip(n, tvktest::readRequest(4, 3, 0, 1))), 4);
}

TEST_F(TcpServer, MasterThatDoesNotReadIsDropped)
{
    masters.push_back(std::make_unique<RawMaster>(port, 4096));
    RawMaster& m = *masters.back();
    ASSERT_TRUE(pump([] { return listedClients() == 1; }));
    // Each request asks for 200 bytes back; the master reads none of them.
    const Bytes request = tvktest::readRequest(1, 3, 0, 100);
    Bytes burst;
    for (int i = 0; i < 300; ++i)
        burst.insert(burst.end(), request.begin(), request.end());
    long longestPassMs = 0;
    std::size_t at = 0;   // where in a request the stream stands
    const bool dropped = pump([&] {
        const ssize_t n = ::send(m.fd(), burst.data() + at, burst.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            at = (at + std::size_t(n)) % request.size();
        const auto start = Clock::now();
        loop.processEvents(0);
        longestPassMs = std::max<long>(longestPassMs, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         Clock::now() - start).count());
        return listedClients() == 0;
    }, 20000);
    EXPECT_TRUE(dropped);
    EXPECT_LT(longestPassMs, 200) << "the loop waited on a master that does not read";
}

TEST_F(TcpServer, RemovedBeforeClosedSoAForkedChildDoesNotMakeTheLoopSpin)
{
    RawMaster& m = connectMaster();
    int gate[2];
    int ready[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // Keeps a copy of the server's end of the connection, and only
        // that: the master's end must close when the test closes it.
        ::close(m.fd());
        ::close(gate[1]);
        ::close(ready[0]);
        ::close(ready[1]);
        char c;
        while (::read(gate[0], &c, 1) < 0 && errno == EINTR) {
        }
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ::close(gate[0]);
    ::close(ready[1]);
    char c;
    while (::read(ready[0], &c, 1) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
    m.close();
    EXPECT_TRUE(pump([] { return listedClients() == 0; }));

    // An idle loop waits; one still watching the closed socket would wake
    // at once, again and again.
    const double cpuBefore = processCpuSeconds();
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::milliseconds(300))
        loop.processEvents(50);
    const double cpu = processCpuSeconds() - cpuBefore;
    ::close(gate[1]);
    ::waitpid(child, nullptr, 0);
    EXPECT_LT(cpu, 0.15) << "the loop spun";
}

// In a child process, whose descriptor limit can be lowered without
// touching the test runner. Exit status 0 when all went as it should.
int exhaustDescriptorsInChild()
{
    CtvkEventLoop loop;
    CtvkAbstractEventDispatcher::instance();
    const int port = tvktest::freeLoopbackPort();
    CtvkModbusTcpServer server;
    tvktest::ErrorRecorder recorder(&server);
    server.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    server.setStartAddressAndNum(0, 10, 0, 10, 0, 10, 0, 10);
    if (!server.open())
        return 10;
    server.processRequest();

    // Room for exactly three more: the first master, the server's end of
    // it, and the second master. The second cannot be accepted. Numbers
    // left free below the highest open one (a runner may pass descriptors
    // on) are filled first, so the three are the only ones.
    const int highest = tvktest::highestOpenDescriptor();
    const int filler = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int spare;
    while ((spare = ::dup(filler)) <= highest) {
    }
    ::close(spare);
    const rlimit limit{rlim_t(spare + 3), rlim_t(spare + 3)};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 11;
    auto first = std::make_unique<RawMaster>(port);
    if (!tvktest::pumpUntil(loop, [] { return listedClients() == 1; }))
        return 12;
    RawMaster second(port);
    if (!second.connected())
        return 13;

    // Out of descriptors: the first master is still served, the loop rests.
    const double cpuBefore = processCpuSeconds();
    const auto start = Clock::now();
    Bytes frame;
    for (int i = 0; i < 5; ++i) {
        first->send(tvktest::readRequest(i, 3, 0, 1));
        if (!tvktest::pumpUntil(loop, [&] { return first->takeFrame(&frame); }) || transactionOf(frame) != i)
            return 14;
    }
    while (Clock::now() - start < std::chrono::milliseconds(400))
        loop.processEvents(50);
    const double cpu = processCpuSeconds() - cpuBefore;
    if (cpu > 0.2)
        return 15;   // spun on the readable listening socket
    if (listedClients() != 1)
        return 16;
    if (recorder.codes.size() != 1 || server.error() != CtvkModbusDevice::ConnectionError)
        return 17;   // recorded once, not once per attempt

    // A descriptor comes free: the second master is accepted and served.
    first.reset();
    second.send(tvktest::readRequest(42, 3, 0, 1));
    if (!tvktest::pumpUntil(loop, [&] { return second.takeFrame(&frame); }) || transactionOf(frame) != 42)
        return 19;
    return 0;
}

// libmodbus waits with select(), which aborts the process for a socket
// numbered FD_SETSIZE or more; the server must never get there.
int serveAboveFdSetSizeInChild()
{
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < FD_SETSIZE + 64) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, FD_SETSIZE + 64);
        if (limit.rlim_cur < FD_SETSIZE + 64 || ::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 77;
    }
    CtvkEventLoop loop;
    CtvkAbstractEventDispatcher::instance();
    const int port = tvktest::freeLoopbackPort();
    // Every number below FD_SETSIZE is taken; the child's exit frees them.
    const int filler = ::open("/dev/null", O_RDONLY);
    while (::dup(filler) < FD_SETSIZE) {
    }
    CtvkModbusTcpServer server;
    server.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    server.setStartAddressAndNum(0, 10, 0, 10, 0, 10, 0, 10);
    if (!server.open())
        return 10;
    server.processRequest();
    if (server.error() != CtvkModbusDevice::NoError)
        return 11;
    RawMaster master(port);
    if (!tvktest::pumpUntil(loop, [] { return listedClients() == 1; }))
        return 12;
    if (CtvkModbusTcpServerPrivate::acceptNotifierList().first()->socket() < FD_SETSIZE)
        return 13;
    Bytes frame;
    master.send(Bytes{0, 1, 0});   // a partial header first
    tvktest::pumpUntil(loop, [] { return false; }, 20);
    master.send(Bytes{0, 0, 6, 1, 3, 0, 0, 0, 1});
    if (!tvktest::pumpUntil(loop, [&] { return master.takeFrame(&frame); }) || transactionOf(frame) != 1)
        return 14;
    return 0;
}

TEST_F(TcpServer, ServesSocketsNumberedBeyondWhatSelectTakes)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(serveAboveFdSetSizeInChild());
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child was killed (signal " << WTERMSIG(status) << ")";
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "the descriptor limit cannot be raised beyond FD_SETSIZE";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step " << WEXITSTATUS(status);
}

TEST_F(TcpServer, OutOfDescriptorsRestsKeepsServingAndRecovers)
{
    // UndefinedBehaviorSanitizer checks the type of an object it has not
    // seen before by reading it through a pipe, which it cannot make once
    // the descriptors are out; it then reports a fault that is none.
    if (__ubsan_vptr_type_cache != nullptr)
        GTEST_SKIP() << "the type checks of UndefinedBehaviorSanitizer need descriptors of their own";
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(exhaustDescriptorsInChild());
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step " << WEXITSTATUS(status);
}

} // namespace
