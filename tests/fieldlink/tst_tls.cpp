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
#include "tlspeer.h"
#include "waiting.h"

#include "tvkeventloop.h"
#include "tvkmodbusreply.h"
#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpserver.h"
#include "tvksignal.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace Quorvan;
using tvktest::Bytes;
using tvktest::ChildProcess;

namespace {

std::string certs;   // the folder of the suite's certificates
constexpr unsigned kHandshakeSeconds = 10;

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
        std::string why;
        certs = tvktest::TestCertificates::folder(&why);
        ASSERT_FALSE(certs.empty()) << why;
    }

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
        // The clients ask for "localhost": a lookup thread lets go of its
        // descriptor a moment after the link has taken the result.
        EXPECT_TRUE(tvktest::waitFor([this] { return tvktest::openDescriptors() == descriptors; }))
            << "a descriptor was left open: " << tvktest::openDescriptors() << " instead of " << descriptors;
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
        // Handshakes are bounded by the response timeout: one that a busy
        // machine, or an emulator, slows must not be taken for a stalled one.
        EXPECT_TRUE(server->setTimeout(kHandshakeSeconds, 0));
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
        c.setConnectTimeout(kHandshakeSeconds * 1000);
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
    EXPECT_EQ(reply->errorString().toStdString(), "TLS handshake failed: the server's certificate names another host");
    EXPECT_NE(c.tlsErrorDetail().find("certificate verify failed"), std::string::npos) << c.tlsErrorDetail();
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
        {"no certificate", {}, "the client sent no certificate"},
        {"another CA's", {"-cert", certs + "/stranger.pem", "-key", certs + "/stranger.key"},
         "we do not trust the client's certificate (not issued by our CA)"},
        {"expired", {"-cert", certs + "/expired.pem", "-key", certs + "/expired.key"},
         "the client's certificate has expired"},
        // The old protocol must be allowed on the peer's side to be offered.
        {"TLS 1.1", {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0", "-cert", certs + "/operator.pem", "-key",
                     certs + "/operator.key"}, "no TLS version both ends accept"},
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
        EXPECT_EQ(refusals[0].reason.find(std::string("TLS handshake refused: ") + c.reason), 0u)
            << refusals[0].reason;
        EXPECT_NE(refusals[0].detail.find("SSL routines"), std::string::npos) << "OpenSSL's words apart";
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
    // Counted once written, which may be after the client has read it.
    EXPECT_TRUE(tvktest::waitFor([&] { return responder.served() == 1; })) << responder.served();
}

namespace {

// A host that leaves SIGPIPE as the system sets it: a write of the library's
// to a connection its peer has hung up on must not end the process.
class SigpipeAsTheSystemSetsIt {
public:
    SigpipeAsTheSystemSetsIt() : m_before(std::signal(SIGPIPE, SIG_DFL)) {}
    ~SigpipeAsTheSystemSetsIt() { std::signal(SIGPIPE, m_before); }

private:
    void (*m_before)(int);
};

// Whether bytes wait on the socket: the other end has written.
bool readable(int fd)
{
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1;
}

} // namespace

TEST_F(Tls, ServerSurvivesPeersThatHangUpMidHandshakeAfterItAndMidAnswer)
{
    SigpipeAsTheSystemSetsIt sigpipe;
    const int port = serve();
    using Peer = std::unique_ptr<tvktest::TlsPeer>;
    // How each peer leaves, once it has got as far as its step says.
    const std::vector<std::pair<const char*, std::function<void(Peer&)>>> leaving = {
        {"a ClientHello, then gone", [](Peer& p) { p->handshake(); p->hangUp(); }},
        {"a ClientHello, then reset", [](Peer& p) { p->handshake(); p->reset(); }},
        {"the server's flight read, then reset",
         [&](Peer& p) {
             p->handshake();
             ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return readable(p->fd()); }));
             p->reset();
         }},
        {"right after the handshake",
         [&](Peer& p) {
             ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return p->handshake(); }));
             p->reset();
         }},
        {"requests sent, answers never read",
         [&](Peer& p) {
             ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return p->handshake(); }));
             for (int i = 0; i < 200; ++i)
                 p->send(tvktest::readRequest(i, 3, 0, 100));
             p->reset();
         }},
    };
    for (const auto& way : leaving) {
        SCOPED_TRACE(way.first);
        const std::size_t refusedBefore = refusals.size();
        Peer peer = tvktest::TlsPeer::client(port, "operator");
        ASSERT_TRUE(peer);
        way.second(peer);
        // The server has seen it go once a real master is served after it.
        Peer next = tvktest::TlsPeer::client(port, "operator");
        ASSERT_TRUE(next);
        ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return next->handshake(); }));
        ASSERT_TRUE(next->send(tvktest::readRequest(7, 3, 0, 1)));
        Bytes frame;
        EXPECT_TRUE(tvktest::pumpUntil(loop, [&] { return next->takeFrame(&frame); }));
        EXPECT_LE(refusals.size(), refusedBefore + 1);
    }
}

TEST_F(Tls, ClientSurvivesAServerThatResetsRightAfterTheHandshake)
{
    SigpipeAsTheSystemSetsIt sigpipe;
    const int listening = tvktest::listenOnLoopback();
    ASSERT_GE(listening, 0);
    clients.push_back(std::make_unique<CtvkModbusTcpClient>());
    CtvkModbusTcpClient& c = *clients.back();
    c.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    c.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(tvktest::localPort(listening)));
    c.setTlsConfiguration(as("operator", ""));
    ASSERT_TRUE(c.connectDevice());
    std::unique_ptr<tvktest::TlsPeer> peer;
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] {
        if (!peer)
            peer = tvktest::TlsPeer::accept(listening, 0);
        return peer && peer->handshake() && c.state() == CtvkModbusClient::ConnectedState;
    }));
    peer->reset();
    // The client reads the reset, and its close must not write into it.
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return c.state() == CtvkModbusClient::UnconnectedState; }));
    EXPECT_EQ(c.error(), CtvkModbusDevice::ConnectionError);
    ::close(listening);
}

TEST_F(Tls, TenThousandPipelinedRequestsAreAllAnsweredInOrder)
{
    constexpr int kRequests = 10000;
    const int port = serve();
    std::uint64_t answeredBefore = 0;
    auto master = tvktest::TlsPeer::client(port, "operator");
    ASSERT_TRUE(master);
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return master->handshake(); }));
    answeredBefore = server->requestsAnswered();
    Bytes all;
    for (int i = 0; i < kRequests; ++i) {
        const Bytes request = tvktest::readRequest(i, 3, i % 100, 1);
        all.insert(all.end(), request.begin(), request.end());
    }
    ASSERT_TRUE(master->send(all));
    int next = 0;
    Bytes frame;
    EXPECT_TRUE(tvktest::pumpUntil(loop, [&] {
        while (master->takeFrame(&frame)) {
            if (tvktest::wordAt(frame, 0) != static_cast<unsigned>(next)
                || tvktest::wordAt(frame, tvktest::kMbapHeaderBytes + 2) != 1000u + next % 100)
                return true;   // out of order, or another's value: stops the wait
            ++next;
        }
        return next == kRequests;
    }, 30000));
    EXPECT_EQ(next, kRequests) << "answered in order up to this one";
    EXPECT_EQ(server->requestsAnswered() - answeredBefore, static_cast<std::uint64_t>(kRequests));
}

TEST_F(Tls, ThreeThousandSilentConnectionsLeaveARealMasterServedWithinASecond)
{
    constexpr int kSilent = 3000;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit before = limit;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < kSilent + 200)
        GTEST_SKIP() << "the descriptor limit is below " << kSilent + 200;
    const int port = serve();
    ASSERT_TRUE(server->setTimeout(60, 0));   // silent ones stay for the test
    server->setListenSocketNum(SOMAXCONN);
    server->processRequest();
    std::vector<int> silent;
    for (int i = 0; i < kSilent; ++i) {
        const int fd = tvktest::connectToLoopback(port);
        ASSERT_GE(fd, 0) << "connection " << i;
        silent.push_back(fd);
        loop.processEvents(0);   // as a server meets them: most accepted already
    }
    const auto start = std::chrono::steady_clock::now();
    auto master = tvktest::TlsPeer::client(port, "viewer");
    ASSERT_TRUE(master);
    Bytes frame;
    bool asked = false;
    const bool served = tvktest::pumpUntil(loop, [&] {
        if (!master->handshake())
            return false;
        if (!asked)
            asked = master->send(tvktest::readRequest(1, 3, 0, 1));
        return master->takeFrame(&frame);
    }, 10000);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(served);
    EXPECT_LT(took, std::chrono::seconds(1)) << "the first answer came after "
                                             << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                                             << " ms";
    EXPECT_TRUE(refusals.empty()) << "silent connections are neither refused nor given up: " << refusals[0].reason;
    for (const int fd : silent)
        ::close(fd);
    server.reset();
    ::setrlimit(RLIMIT_NOFILE, &before);
}

TEST_F(Tls, PastTheHandshakeLimitTheLongestWaitingGivesWay)
{
    const int port = serve();
    server->setMaximumHandshakes(2);
    std::vector<std::unique_ptr<tvktest::TlsPeer>> stalled;
    for (int i = 0; i < 3; ++i) {
        stalled.push_back(tvktest::TlsPeer::client(port, "operator"));
        stalled.back()->handshake();   // a ClientHello, then nothing more
        ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return readable(stalled.back()->fd()); }));
    }
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return stalled[0]->closedByOtherEnd(); }));
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_NE(refusals[0].reason.find("too many TLS handshakes at once"), std::string::npos) << refusals[0].reason;
    EXPECT_FALSE(stalled[1]->closedByOtherEnd());
    EXPECT_FALSE(stalled[2]->closedByOtherEnd());
    // The next to arrive is a real master: it gets through.
    auto master = tvktest::TlsPeer::client(port, "viewer");
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return master->handshake(); }));
}

TEST_F(Tls, CertificateThatCarriesItsRoleTwiceIsRefused)
{
    ASSERT_TRUE(tvktest::TestCertificates::makeWithRoles("tworoles", {"viewer", "operator"}));
    const int port = serve();
    auto master = tvktest::TlsPeer::client(port, "tworoles");
    ASSERT_TRUE(master);
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return master->handshake() || master->failed(); }));
    master->send(tvktest::writeRegistersRequest(1, 5, {66}));
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return master->closedByOtherEnd(); }));
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].reason, "TLS handshake refused: the certificate carries its role twice");
    EXPECT_EQ(registerAt(5), 1005) << "nothing was written";
}
