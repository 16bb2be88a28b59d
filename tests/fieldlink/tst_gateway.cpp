// SPDX-License-Identifier: MIT
// The TCP server as a gateway: a unit routed to another device is asked
// there, and a master is told with the gateway exceptions what the device
// could not do. The devices behind are the library's own asynchronous
// clients, to a TCP server of the test, to a port where nothing listens yet,
// and to the test's side of a pseudo-terminal line.
#include "descriptors.h"
#include "frames.h"
#include "loopback.h"
#include "ptypair.h"
#include "rawmaster.h"
#include "tlspeer.h"
#include "waiting.h"

#include "tvkeventloop.h"
#include "tvkmodbusrtuserialslave.h"
#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpserver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace Quorvan;
using tvktest::Bytes;

namespace {

constexpr int kExceptionAt = tvktest::kMbapHeaderBytes + 1;

class Gateway : public ::testing::Test {
protected:
    void SetUp() override
    {
        loop.processEvents(0);
        descriptors = tvktest::openDescriptors();
        backend = serverOn(tvktest::freeLoopbackPort(), 3000);
        device = std::make_unique<CtvkModbusTcpClient>();
        pointAt(*device, backend->listeningPort());
        gateway = serverOn(tvktest::freeLoopbackPort(), 0);
        gateway->setRefusalObserver([this](const CtvkModbusTcpServer::Refusal&) { ++refused; });
    }
    void TearDown() override
    {
        gateway.reset();
        device.reset();
        backend.reset();
        loop.processEvents(0);
        EXPECT_EQ(tvktest::openDescriptors(), descriptors) << "a descriptor was left open";
    }
    // A server whose holding register a holds `base` + a.
    std::unique_ptr<CtvkModbusTcpServer> serverOn(int port, int base)
    {
        auto s = std::make_unique<CtvkModbusTcpServer>();
        s->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
        s->setStartAddressAndNum(0, 10, 0, 10, 0, 10, 0, 10);
        for (int a = 0; a < 10; ++a)
            s->setData(CtvkModbusDataUnit::HoldingRegisters, a, static_cast<unsigned short>(base + a));
        EXPECT_TRUE(s->open()) << s->errorString().toStdString();
        s->processRequest();
        return s;
    }
    static void pointAt(CtvkModbusTcpClient& client, int port)
    {
        client.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
        client.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
        client.setTimeout(0, 300000);
    }
    // The answer to `request`, sent by a master of its own.
    Bytes ask(const Bytes& request)
    {
        tvktest::RawMaster master(gateway->listeningPort());
        Bytes frame;
        EXPECT_TRUE(master.send(request));
        EXPECT_TRUE(tvktest::pumpUntil(loop, [&] { return master.takeFrame(&frame); }));
        return frame;
    }

    CtvkEventLoop loop;
    std::unique_ptr<CtvkModbusTcpServer> backend;
    std::unique_ptr<CtvkModbusTcpClient> device;
    std::unique_ptr<CtvkModbusTcpServer> gateway;
    int refused = 0;
    int descriptors = 0;
};

} // namespace

TEST_F(Gateway, RoutedUnitsAreAskedThereOthersStayWithTheMap)
{
    ASSERT_TRUE(gateway->addRoute(1, 10, device.get()));
    EXPECT_FALSE(gateway->addRoute(5, 300, device.get()));
    const Bytes routed = ask(tvktest::readRequest(0x1234, 3, 2, 2, 7));
    EXPECT_EQ(routed, (Bytes{0x12, 0x34, 0, 0, 0, 7, 7, 3, 4, 0x0B, 0xBA, 0x0B, 0xBB})) << "3002 and 3003, tid and unit kept";
    const Bytes own = ask(tvktest::readRequest(5, 3, 2, 1, 11));
    EXPECT_EQ(tvktest::wordAt(own, tvktest::kMbapHeaderBytes + 2), 2u) << "unit 11 is the map's";
    // The device's own exception goes through as it is.
    const Bytes outside = ask(tvktest::readRequest(6, 3, 50, 1, 7));
    EXPECT_EQ(outside, (Bytes{0, 6, 0, 0, 0, 3, 7, 0x83, 2}));
    EXPECT_EQ(gateway->routeCounters(device.get()).requests, 2u);

    gateway->setRoutesOnly(true);
    const Bytes unrouted = ask(tvktest::readRequest(8, 3, 0, 1, 11));
    EXPECT_EQ(unrouted, (Bytes{0, 8, 0, 0, 0, 3, 11, 0x83, 10})) << "gateway path unavailable";
}

TEST_F(Gateway, ADeviceThatComesAndGoesIsPathUnavailableMeanwhile)
{
    const int port = tvktest::freeLoopbackPort();
    pointAt(*device, port);
    ASSERT_TRUE(gateway->addRoute(1, 1, device.get()));
    const Bytes absent = ask(tvktest::readRequest(1, 3, 0, 1, 1));
    ASSERT_EQ(absent.size(), 9u);
    EXPECT_EQ(absent[kExceptionAt], 10);
    auto there = serverOn(port, 5000);
    const Bytes back = ask(tvktest::readRequest(2, 3, 0, 1, 1));
    EXPECT_EQ(tvktest::wordAt(back, tvktest::kMbapHeaderBytes + 2), 5000u) << "connected again on demand";
    there.reset();
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return device->state() == CtvkModbusClient::UnconnectedState; }));
    EXPECT_EQ(ask(tvktest::readRequest(3, 3, 0, 1, 1))[kExceptionAt], 10);
    EXPECT_EQ(gateway->routeCounters(device.get()).failures, 2u);
}

TEST_F(Gateway, PastTheQueueBoundAMasterIsToldBusyAtOnce)
{
    backend->setAnswerDelay(200);
    ASSERT_TRUE(gateway->addRoute(1, 1, device.get()));
    gateway->setRouteQueueLimit(2);
    tvktest::RawMaster master(gateway->listeningPort());
    for (int tid = 1; tid <= 3; ++tid)
        ASSERT_TRUE(master.send(tvktest::readRequest(tid, 3, tid, 1, 1)));
    Bytes frame;
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return master.takeFrame(&frame); }));
    EXPECT_EQ(frame, (Bytes{0, 3, 0, 0, 0, 3, 1, 0x83, 6})) << "the third, before the first two are answered";
    for (int tid = 1; tid <= 2; ++tid) {
        ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return master.takeFrame(&frame); }));
        EXPECT_EQ(tvktest::wordAt(frame, 0), static_cast<unsigned>(tid));
        EXPECT_EQ(tvktest::wordAt(frame, tvktest::kMbapHeaderBytes + 2), 3000u + tid);
    }
    EXPECT_EQ(gateway->routeCounters(device.get()).busy, 1u);
    EXPECT_EQ(gateway->routeCounters(device.get()).queued, 0);
}

TEST_F(Gateway, SerialLineSilentIsTargetFailedAndAMasterMayHangUpMidRequest)
{
    tvktest::PtyPair line;
    ASSERT_TRUE(line.ok());
    CtvkModbusRtuSerialSlave serial;
    serial.setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkVariant(CtvkString::fromAscii(line.path().c_str())));
    serial.setConnectionParameter(CtvkModbusDevice::SerialBaudRate, CtvkVariant(115200));
    serial.setNumberOfRetries(1);
    ASSERT_TRUE(serial.connectDevice());
    serial.setTimeout(0, 200000);
    ASSERT_TRUE(gateway->addRoute(20, 20, &serial));
    // Nobody answers on the line.
    EXPECT_EQ(ask(tvktest::readRequest(1, 3, 0, 1, 20))[kExceptionAt], 11);
    line.read(0);   // that request, heard
    {
        tvktest::RawMaster leaving(gateway->listeningPort());
        ASSERT_TRUE(leaving.send(tvktest::readRequest(2, 3, 0, 1, 20)));
        const Bytes onTheLine = tvktest::withCrc({20, 3, 0, 0, 0, 1});
        Bytes heard;
        ASSERT_TRUE(tvktest::pumpUntil(loop, [&] {
            const Bytes more = line.read(0);
            heard.insert(heard.end(), more.begin(), more.end());
            return heard.size() >= onTheLine.size();
        }));
        EXPECT_EQ(heard, onTheLine);
    }   // gone while its request is on the line
    line.write(tvktest::withCrc({20, 3, 2, 0x12, 0x34}));
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return gateway->routeCounters(&serial).queued == 0; }));
    loop.processEvents(50);   // the late answer has nobody to go to
    EXPECT_EQ(gateway->routeCounters(&serial).requests, 2u);
    gateway->clearRoutes();
}

// Unit 0 on a serial route is the line's broadcast: a write goes out once
// and nobody answers it; a read could have no answer, so it is refused
// without the line ever carrying it.
TEST_F(Gateway, BroadcastWriteGoesOutOnceAndAReadOfItIsRefused)
{
    tvktest::PtyPair line;
    ASSERT_TRUE(line.ok());
    CtvkModbusRtuSerialSlave serial;
    serial.setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkVariant(CtvkString::fromAscii(line.path().c_str())));
    serial.setConnectionParameter(CtvkModbusDevice::SerialBaudRate, CtvkVariant(115200));
    ASSERT_TRUE(serial.connectDevice());
    serial.setTimeout(0, 200000);
    ASSERT_TRUE(gateway->addRoute(0, 20, &serial));
    tvktest::RawMaster master(gateway->listeningPort());
    ASSERT_TRUE(master.send(tvktest::mbapFrame(1, 0, {tvktest::WriteSingleRegister, 0, 5, 0, 42})));
    const Bytes onTheLine = tvktest::withCrc({0, tvktest::WriteSingleRegister, 0, 5, 0, 42});
    Bytes heard;
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] {
        const Bytes more = line.read(0);
        heard.insert(heard.end(), more.begin(), more.end());
        return heard.size() >= onTheLine.size() && gateway->routeCounters(&serial).queued == 0;
    }));
    EXPECT_EQ(heard, onTheLine) << "once, as it came";

    ASSERT_TRUE(master.send(tvktest::readRequest(2, tvktest::ReadHoldingRegisters, 0, 1, 0)));
    Bytes frame;
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return master.takeFrame(&frame); }));
    EXPECT_EQ(tvktest::wordAt(frame, 0), 2u) << "the broadcast itself is never answered";
    EXPECT_EQ(frame[kExceptionAt], 10);
    EXPECT_TRUE(line.read(0).empty()) << "neither the read nor a second broadcast went out";
    gateway->clearRoutes();
}

TEST_F(Gateway, RolesDecideBeforeAnythingIsForwarded)
{
    std::string why;
    const std::string certs = tvktest::TestCertificates::folder(&why);
    ASSERT_FALSE(certs.empty()) << why;
    gateway->close();
    CtvkModbusTlsConfiguration tls;
    tls.certificateFile = CtvkString::fromStdString(certs + "/server.pem");
    tls.privateKeyFile = CtvkString::fromStdString(certs + "/server.key");
    tls.caCertificates = CtvkString::fromStdString(certs + "/ca.pem");
    tls.roleRulesFile = CtvkString::fromStdString(certs + "/roles.rules");
    gateway->setTlsConfiguration(tls);
    ASSERT_TRUE(gateway->open()) << gateway->errorString().toStdString();
    // A handshake slowed by a busy machine or an emulator is no stalled one.
    ASSERT_TRUE(gateway->setTimeout(10, 0));
    gateway->processRequest();
    ASSERT_TRUE(gateway->addRoute(1, 1, device.get()));
    auto viewer = tvktest::TlsPeer::client(gateway->listeningPort(), "viewer");
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return viewer->handshake(); }));
    ASSERT_TRUE(viewer->send(tvktest::writeRegistersRequest(1, 2, {77})));
    Bytes frame;
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return viewer->takeFrame(&frame); }));
    EXPECT_EQ(frame, (Bytes{0, 1, 0, 0, 0, 3, 1, 0x90, 1})) << "illegal function: a viewer may not write";
    EXPECT_EQ(backend->requestsAnswered(), 0u) << "the device was never asked";
    EXPECT_EQ(gateway->routeCounters(device.get()).requests, 0u);
    ASSERT_TRUE(viewer->send(tvktest::readRequest(2, 3, 2, 1, 1)));
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return viewer->takeFrame(&frame); }));
    EXPECT_EQ(tvktest::wordAt(frame, tvktest::kMbapHeaderBytes + 2), 3002u) << "a viewer may read";
}
