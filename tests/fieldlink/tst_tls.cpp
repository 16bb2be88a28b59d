// SPDX-License-Identifier: MIT
// Modbus/TCP Security: the roles' rights, the handshakes the server refuses,
// the allow-list and read-only tables of plain TCP, and interop with
// independent peers (openssl s_client, socat in front of mbpoll, socat in
// front of a libmodbus responder). The certificates come from
// scripts/make-test-certs.sh, as a user would make them.
#include "childprocess.h"
#include "descriptors.h"
#include "frames.h"
#include "libmodbusresponder.h"
#include "loopback.h"
#include "rawmaster.h"
#include "waiting.h"

#include "tvkeventloop.h"
#include "tvkmodbusreply.h"
#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpserver.h"
#include "tvksignal.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace Quorvan;
using tvktest::Bytes;
using tvktest::ChildProcess;

namespace {

std::string certs;   // the folder of the suite's certificates

CtvkString in(const std::string& file)
{
    return CtvkString::fromStdString(certs + "/" + file);
}

CtvkModbusTlsConfiguration as(const std::string& who, const std::string& rules = "roles.rules")
{
    CtvkModbusTlsConfiguration c;
    c.certificateFile = in(who + ".pem");
    c.privateKeyFile = in(who + ".key");
    c.caCertificates = in("ca.pem");
    if (!rules.empty())
        c.roleRulesFile = in(rules);
    return c;
}

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char folder[] = "/tmp/tvk-tls-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        certs = folder;
        ChildProcess make({"/bin/bash", TVK_SOURCE_DIR "/scripts/make-test-certs.sh", certs});
        ASSERT_EQ(make.waitForExit(60000), 0) << make.errors();
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + certs).c_str()); }

    void SetUp() override
    {
        loop.processEvents(0);
        descriptors = tvktest::openDescriptors();
    }
    void TearDown() override
    {
        replies.clear();
        clients.clear();
        server.reset();
        loop.processEvents(0);
        EXPECT_EQ(tvktest::openDescriptors(), descriptors) << "a descriptor was left open";
    }

    // The server on the test's loop; TLS with `rules` unless `plain`.
    int serve(bool plain = false, const std::string& rules = "roles.rules", const char* host = nullptr)
    {
        server = std::make_unique<CtvkModbusTcpServer>();
        const int port = tvktest::freeLoopbackPort();
        server->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
        if (host)
            server->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant(host));
        server->setStartAddressAndNum(0, 100, 0, 100, 0, 100, 0, 100);
        for (int a = 0; a < 100; ++a)
            server->setData(CtvkModbusDataUnit::HoldingRegisters, a, static_cast<unsigned short>(1000 + a));
        if (!plain)
            server->setTlsConfiguration(as("server", rules));
        server->setRefusalObserver([this](const CtvkModbusTcpServer::Refusal& r) { refusals.push_back(r); });
        EXPECT_TRUE(server->open()) << server->errorString().toStdString();
        server->processRequest();
        return port;
    }
    CtvkModbusTcpClient& client(const std::string& who, int port)
    {
        clients.push_back(std::make_unique<CtvkModbusTcpClient>());
        CtvkModbusTcpClient& c = *clients.back();
        c.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("localhost"));
        c.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
        c.setTlsConfiguration(as(who, ""));
        EXPECT_TRUE(c.connectDevice());
        return c;
    }
    CtvkModbusReply* done(CtvkModbusReply* reply)
    {
        replies.emplace_back(reply);
        EXPECT_TRUE(tvktest::pumpUntil(loop, [reply] { return reply->isFinished(); }));
        return reply;
    }
    CtvkModbusReply* readFrom(CtvkModbusTcpClient& c, int address)
    {
        return done(c.sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, address, 2), 1));
    }
    CtvkModbusReply* writeTo(CtvkModbusTcpClient& c, int address, int value)
    {
        CtvkModbusDataUnit unit(CtvkModbusDataUnit::HoldingRegisters, address, 1);
        unit.values[0] = CtvkVariant(value);
        return done(c.sendWriteRequest(unit, 1));
    }
    unsigned short registerAt(int address)
    {
        unsigned short v = 0;
        server->data(CtvkModbusDataUnit::HoldingRegisters, address, &v);
        return v;
    }
    // Runs the loop while a peer program works against the server.
    int runPeer(ChildProcess& peer)
    {
        tvktest::pumpUntil(loop, [&] { return peer.finished(); }, 20000);
        return peer.waitForExit(1000);
    }

    CtvkEventLoop loop;
    std::unique_ptr<CtvkModbusTcpServer> server;
    std::vector<std::unique_ptr<CtvkModbusTcpClient>> clients;
    std::vector<std::unique_ptr<CtvkModbusReply>> replies;
    std::vector<CtvkModbusTcpServer::Refusal> refusals;
    int descriptors = 0;
};

} // namespace

TEST_F(Tls, RolesGrantWhatTheRulesSayAndNoMore)
{
    const int port = serve();
    CtvkModbusTcpClient& operatorClient = client("operator", port);
    CtvkModbusTcpClient& viewer = client("viewer", port);
    CtvkModbusTcpClient& nobody = client("norole", port);

    EXPECT_EQ(writeTo(operatorClient, 5, 55)->error(), CtvkModbusDevice::NoError);
    EXPECT_EQ(registerAt(5), 55);
    CtvkModbusReply* refused = writeTo(viewer, 5, 66);
    EXPECT_EQ(refused->exceptionCode(), 1) << refused->errorString().toStdString();
    EXPECT_EQ(registerAt(5), 55) << "the map is unchanged";
    CtvkModbusReply* read = readFrom(viewer, 4);
    ASSERT_EQ(read->result().values.size(), 2);
    EXPECT_EQ(read->result().values.at(1).toInt(), 55);
    // A certificate without a role may do nothing without a default entry.
    EXPECT_EQ(readFrom(nobody, 0)->exceptionCode(), 1);

    EXPECT_EQ(server->refusedRequests(), 2u);
    const auto byRole = server->refusedRequestsByRole();
    EXPECT_EQ(byRole.at("viewer"), 1u);
    EXPECT_EQ(byRole.at(""), 1u);
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_EQ(refusals[0].role, "viewer");
}

TEST_F(Tls, ClientRefusesAServerWhoseCertificateNamesAnotherHost)
{
    const int port = serve();
    clients.push_back(std::make_unique<CtvkModbusTcpClient>());
    CtvkModbusTcpClient& c = *clients.back();
    c.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    CtvkModbusTlsConfiguration tls = as("operator", "");
    tls.serverName = CtvkString::fromAscii("plc.example");
    c.setTlsConfiguration(tls);
    ASSERT_TRUE(c.connectDevice());
    CtvkModbusReply* reply = readFrom(c, 0);
    EXPECT_EQ(reply->error(), CtvkModbusDevice::ConnectionError);
    EXPECT_NE(reply->errorString().toStdString().find("hostname mismatch"), std::string::npos)
        << reply->errorString().toStdString();
}

TEST_F(Tls, DefaultEntryAndBadRulesLine)
{
    std::ofstream(certs + "/default.rules") << "# the default entry\n*  read  hr  0-9\n";
    const int port = serve(false, "default.rules");
    CtvkModbusTcpClient& nobody = client("norole", port);
    EXPECT_EQ(readFrom(nobody, 0)->error(), CtvkModbusDevice::NoError);
    EXPECT_EQ(readFrom(nobody, 9)->exceptionCode(), 1) << "address 10 is outside the range";
    clients.clear();
    server.reset();

    std::ofstream(certs + "/bad.rules") << "operator write hr 0-9\n\nviewer peek hr 0-9\n";
    CtvkModbusTcpServer bad;
    bad.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(tvktest::freeLoopbackPort()));
    bad.setTlsConfiguration(as("server", "bad.rules"));
    EXPECT_FALSE(bad.open());
    EXPECT_EQ(bad.error(), CtvkModbusDevice::ConfigurationError);
    EXPECT_NE(bad.errorString().toStdString().find("bad.rules:3: access \"peek\""), std::string::npos)
        << bad.errorString().toStdString();
}

TEST_F(Tls, HandshakesWithoutAGoodCertificateOrOnAnOldProtocolAreRefused)
{
    const int port = serve();
    struct Case {
        const char* what;
        std::vector<std::string> options;
        const char* reason;
    };
    const std::string ca = certs + "/ca.pem";
    const Case cases[] = {
        {"no certificate", {}, "did not return a certificate"},
        {"another CA's", {"-cert", certs + "/stranger.pem", "-key", certs + "/stranger.key"}, "issuer"},
        {"expired", {"-cert", certs + "/expired.pem", "-key", certs + "/expired.key"}, "expired"},
        // The old protocol must be allowed on the peer's side to be offered.
        {"TLS 1.1", {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0", "-cert", certs + "/operator.pem", "-key",
                     certs + "/operator.key"}, "unsupported protocol"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        refusals.clear();
        std::vector<std::string> argv{"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port),
                                      "-CAfile", ca, "-quiet", "-verify_return_error"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        ChildProcess peer(argv);
        peer.writeLine(std::string(reinterpret_cast<const char*>(tvktest::readRequest(1, 3, 0, 1).data()), 12));
        ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return !refusals.empty(); }, 10000)) << peer.errors();
        EXPECT_NE(refusals[0].reason.find(c.reason), std::string::npos) << refusals[0].reason;
        peer.signal(SIGKILL);
        runPeer(peer);
    }
    EXPECT_EQ(server->refusedConnections(), 4u);
}

TEST_F(Tls, StalledHandshakeIsGivenUpAndCostsTheOthersNothing)
{
    const int port = serve();
    ASSERT_TRUE(server->setTimeout(0, 300000));
    tvktest::RawMaster stalled(port);   // connects, then says nothing
    ASSERT_TRUE(stalled.connected());
    CtvkModbusTcpClient& operatorClient = client("operator", port);
    EXPECT_EQ(readFrom(operatorClient, 0)->error(), CtvkModbusDevice::NoError);
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return !stalled.receive(); }));
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_NE(refusals[0].reason.find("did not finish"), std::string::npos);
}

TEST_F(Tls, PlainTcpAllowListAndReadOnlyTables)
{
    const int port = serve(true);
    EXPECT_FALSE(server->setAllowedNetworks({CtvkString::fromAscii("10.0.0.0/33")}));
    ASSERT_TRUE(server->setAllowedNetworks({CtvkString::fromAscii("10.0.0.0/8"), CtvkString::fromAscii("fd00::/8")}));
    tvktest::RawMaster outsider(port);
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return !outsider.receive(); })) << "closed at accept";
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].peer.rfind("127.0.0.1:", 0), 0u) << refusals[0].peer;

    ASSERT_TRUE(server->setAllowedNetworks({CtvkString::fromAscii("127.0.0.0/8")}));
    server->setReadOnly(CtvkModbusDataUnit::HoldingRegisters, true);
    tvktest::RawMaster insider(port);
    Bytes frame;
    ASSERT_TRUE(insider.send(tvktest::writeRegistersRequest(7, 3, {9})));
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return insider.takeFrame(&frame); }));
    EXPECT_EQ(frame, (Bytes{0, 7, 0, 0, 0, 3, 1, 0x90, 1})) << "exception 1";
    EXPECT_EQ(registerAt(3), 1003);
    ASSERT_TRUE(insider.send(tvktest::readRequest(8, 3, 3, 1)));
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return insider.takeFrame(&frame); }));
    EXPECT_EQ(frame.size(), 11u) << "reads go on";
}

TEST_F(Tls, RefusedIpv6PeerIsNamedWithItsAddressInBrackets)
{
    const int port = serve(true, "", "::1");
    ASSERT_TRUE(server->setAllowedNetworks({CtvkString::fromAscii("10.0.0.0/8")}));
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = in6addr_loopback;
    to.sin6_port = htons(static_cast<std::uint16_t>(port));
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return !refusals.empty(); }));
    ::close(fd);
    EXPECT_EQ(refusals[0].peer.rfind("[::1]:", 0), 0u) << "the port's colon must stand apart: " << refusals[0].peer;
}

TEST_F(Tls, MbpollThroughSocatReadsTheSecureServer)
{
    const int port = serve();
    const int plain = tvktest::freeLoopbackPort();
    // socat carries plain Modbus/TCP into TLS with the operator's certificate.
    ChildProcess socat({"socat", "TCP-LISTEN:" + std::to_string(plain) + ",bind=127.0.0.1,reuseaddr,fork",
                        "OPENSSL:localhost:" + std::to_string(port) + ",cert=" + certs + "/operator.pem,key=" + certs
                            + "/operator.key,cafile=" + certs + "/ca.pem,verify=1"});
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] {
        const int fd = tvktest::connectToLoopback(plain);
        if (fd >= 0)
            ::close(fd);
        return fd >= 0;
    }, 10000)) << socat.errors();
    ChildProcess mbpoll({"mbpoll", "-m", "tcp", "-p", std::to_string(plain), "-a", "1", "-t", "4", "-r", "1", "-c",
                         "3", "-0", "-1", "-o", "5", "127.0.0.1"});
    EXPECT_EQ(runPeer(mbpoll), 0) << mbpoll.output() << mbpoll.errors() << socat.errors();
    EXPECT_NE(mbpoll.output().find("[1]: \t1001\n[2]: \t1002"), std::string::npos) << mbpoll.output();
}

TEST_F(Tls, ClientThroughSocatToALibmodbusResponder)
{
    tvktest::LibmodbusTcpResponder responder;
    ASSERT_TRUE(responder.ok());
    const int port = tvktest::freeLoopbackPort();
    ChildProcess socat({"socat", "OPENSSL-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,cert=" + certs
                            + "/server.pem,key=" + certs + "/server.key,cafile=" + certs + "/ca.pem,verify=1",
                        "TCP:127.0.0.1:" + std::to_string(responder.port())});
    CtvkModbusTcpClient* c = nullptr;
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] {
        clients.clear();
        c = &client("operator", port);
        tvktest::pumpUntil(loop, [&] { return c->state() != CtvkModbusClient::ConnectingState; }, 2000);
        return c->state() == CtvkModbusClient::ConnectedState;
    }, 10000)) << socat.errors();
    CtvkModbusReply* reply = readFrom(*c, 10);
    ASSERT_EQ(reply->error(), CtvkModbusDevice::NoError) << reply->errorString().toStdString();
    EXPECT_EQ(reply->result().values.at(0).toInt(), tvktest::LibmodbusResponder::kHoldingBase + 10);
    EXPECT_EQ(responder.served(), 1);
}
