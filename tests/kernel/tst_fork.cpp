// SPDX-License-Identifier: MIT
// A process that serves and then forks: each process must keep its own
// watch on the sockets, whichever of the two tears its server down; over
// TLS, neither may end the sessions the other goes on with.

#include "descriptors.h"
#include "loopback.h"
#include "notifiers.h"
#include "rawmaster.h"
#include "tlspeer.h"

#include "tvkabstracteventdispatcher.h"
#include "tvkeventloop.h"
#include "tvkmodbustcpserver.h"
#include "tvksocketnotifier.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>

using namespace Quorvan;

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned short kHeldValue = 4711;
constexpr int kAnswerTimeoutMs = 5000;
constexpr int kChildTimeoutMs = 20000;

// A Modbus TCP master on a plain socket that reads holding register 0.
class Master {
public:
    explicit Master(int port) : m_raw(port) {}

    bool connected() const { return m_raw.connected(); }
    int fd() const { return m_raw.fd(); }

    bool sendRead(unsigned short transaction)
    {
        return m_raw.send(tvktest::readRequest(transaction, tvktest::ReadHoldingRegisters, 0, 1));
    }

    // True once the whole answer is in: transaction id, one register.
    bool answered(unsigned short transaction, unsigned short* value)
    {
        tvktest::Bytes frame;
        if (!m_raw.takeFrame(&frame) || frame.size() < kAnswerBytes || tvktest::wordAt(frame, 0) != transaction
            || frame[tvktest::kMbapHeaderBytes] != tvktest::ReadHoldingRegisters)
            return false;
        *value = static_cast<unsigned short>(tvktest::wordAt(frame, kValueAt));
        return true;
    }

private:
    // Header, function code, byte count, the register.
    static constexpr std::size_t kValueAt = tvktest::kMbapHeaderBytes + 2;
    static constexpr std::size_t kAnswerBytes = kValueAt + 2;
    tvktest::RawMaster m_raw;
};

// The exit status of `child`, or -1 (and the child killed) past the deadline.
int waitForChild(pid_t child, int timeoutMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (Clock::now() >= end) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        ::poll(nullptr, 0, 10);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ForkedServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        watchedBefore = tvktest::watchedNotifiers();
        descriptorsBefore = tvktest::openDescriptors();
        port = tvktest::freeLoopbackPort();
        ASSERT_GT(port, 0);
        server.reset(new CtvkModbusTcpServer(nullptr));
        server->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
        server->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
        server->setStartAddressAndNum(0, 0, 0, 0, 0, 4, 0, 0);
        server->setData(CtvkModbusDataUnit::HoldingRegisters, 0, kHeldValue);
        ASSERT_TRUE(server->open());
        server->processRequest();
    }
    void TearDown() override
    {
        server.reset();
        loop.processEvents(0);
        EXPECT_EQ(tvktest::watchedNotifiers(), watchedBefore) << "a notifier is still registered";
        EXPECT_EQ(tvktest::openDescriptors(), descriptorsBefore) << "a descriptor was left open";
    }

    // Asks and waits for the answer while this process's loop runs: it
    // serves, or it has nothing left to serve and a child answers. The
    // loop watches the master's socket too, so that it wakes for the answer.
    bool answers(Master& master, unsigned short transaction)
    {
        unsigned short value = 0;
        if (!master.sendRead(transaction))
            return false;
        CtvkSocketNotifier answer(master.fd(), CtvkSocketNotifier::Read);
        return loop.processEventsUntil([&] { return master.answered(transaction, &value); }, kAnswerTimeoutMs)
               && value == kHeldValue;
    }

    // A child that serves on the inherited loop until the test closes the
    // pipe end handed back in *quit; -1 when no child was made.
    pid_t forkServingChild(int* quit)
    {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0)
            return -1;
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(pipe[1]);
            const auto end = Clock::now() + std::chrono::milliseconds(kChildTimeoutMs);
            pollfd told{pipe[0], POLLIN, 0};
            while (::poll(&told, 1, 0) == 0 && Clock::now() < end)
                loop.processEvents(20);
            ::_exit(0);
        }
        ::close(pipe[0]);
        *quit = pipe[1];
        return child;
    }

    CtvkEventLoop loop;
    std::unique_ptr<CtvkModbusTcpServer> server;
    int port = -1;
    int watchedBefore = 0;
    int descriptorsBefore = 0;
};

TEST_F(ForkedServer, ChildKeepsServingAfterTheParentTearsItsServerDown)
{
    Master before(port);
    ASSERT_TRUE(before.connected());
    ASSERT_TRUE(answers(before, 1));

    int quit = -1;
    const pid_t child = forkServingChild(&quit);
    ASSERT_GT(child, 0);

    // What the parent does on its way out of main.
    server.reset();
    loop.processEvents(0);

    EXPECT_TRUE(answers(before, 2)) << "the child no longer answers a master it answered before";
    Master after(port);
    ASSERT_TRUE(after.connected());
    EXPECT_TRUE(answers(after, 3)) << "the child answers no new master";

    ::close(quit);
    EXPECT_EQ(waitForChild(child, kChildTimeoutMs), 0);
}

TEST_F(ForkedServer, ParentKeepsServingAfterAChildTearsItsCopyDown)
{
    Master before(port);
    ASSERT_TRUE(before.connected());
    ASSERT_TRUE(answers(before, 1));

    const pid_t child = ::fork();
    if (child == 0) {
        // Never runs the loop: only removes the notifiers it inherited.
        server.reset();
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitForChild(child, kChildTimeoutMs), 0);

    EXPECT_TRUE(answers(before, 2)) << "the parent no longer answers its master";
    Master after(port);
    ASSERT_TRUE(after.connected());
    EXPECT_TRUE(answers(after, 3)) << "the parent answers no new master";
}

// The same server over TLS, and a master that keeps its session.
class ForkedSecureServer : public ForkedServer {
protected:
    void SetUp() override
    {
        std::string why;
        const std::string certs = tvktest::TestCertificates::folder(&why);
        ASSERT_FALSE(certs.empty()) << why;
        ForkedServer::SetUp();
        server->close();
        CtvkModbusTlsConfiguration tls;
        tls.certificateFile = CtvkString::fromStdString(certs + "/server.pem");
        tls.privateKeyFile = CtvkString::fromStdString(certs + "/server.key");
        tls.caCertificates = CtvkString::fromStdString(certs + "/ca.pem");
        tls.roleRulesFile = CtvkString::fromStdString(certs + "/roles.rules");
        server->setTlsConfiguration(tls);
        ASSERT_TRUE(server->open()) << server->errorString().toStdString();
        // A handshake slowed by a busy machine or an emulator is no stalled one.
        ASSERT_TRUE(server->setTimeout(10, 0));
        server->processRequest();
        master = tvktest::TlsPeer::client(port, "viewer");
        ASSERT_TRUE(master);
        ASSERT_TRUE(loop.processEventsUntil([&] { return master->handshake(); }, kAnswerTimeoutMs));
    }
    void TearDown() override
    {
        master.reset();
        ForkedServer::TearDown();
    }
    // As answers() over the master's session: false once it was ended.
    bool answersSecurely(unsigned short transaction)
    {
        if (!master->send(tvktest::readRequest(transaction, tvktest::ReadHoldingRegisters, 0, 1)))
            return false;
        CtvkSocketNotifier answer(master->fd(), CtvkSocketNotifier::Read);
        tvktest::Bytes frame;
        return loop.processEventsUntil([&] { return master->takeFrame(&frame) || master->closedByOtherEnd(); },
                                       kAnswerTimeoutMs)
               && frame.size() > tvktest::kMbapHeaderBytes + 3 && tvktest::wordAt(frame, 0) == transaction
               && tvktest::wordAt(frame, tvktest::kMbapHeaderBytes + 2) == kHeldValue;
    }

    std::unique_ptr<tvktest::TlsPeer> master;
};

TEST_F(ForkedSecureServer, ParentKeepsItsSessionsAfterAChildTearsItsCopyDown)
{
    ASSERT_TRUE(answersSecurely(1));
    const pid_t child = ::fork();
    if (child == 0) {
        server.reset();   // its copy of the session says nothing on the shared socket
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitForChild(child, kChildTimeoutMs), 0);
    EXPECT_TRUE(answersSecurely(2)) << "the child's teardown ended the parent's session";
}

TEST_F(ForkedSecureServer, ChildKeepsTheSessionsAfterTheParentTearsItsServerDown)
{
    ASSERT_TRUE(answersSecurely(1));
    int quit = -1;
    const pid_t child = forkServingChild(&quit);
    ASSERT_GT(child, 0);
    server.reset();
    loop.processEvents(0);
    EXPECT_TRUE(answersSecurely(2)) << "the parent's teardown ended the session the child serves";
    ::close(quit);
    EXPECT_EQ(waitForChild(child, kChildTimeoutMs), 0);
}

TEST(ForkedDispatcher, ChildsWakeUpLeavesTheParentWaiting)
{
    constexpr int kWaitMs = 300;
    CtvkEventLoop loop;
    CtvkAbstractEventDispatcher* dispatcher = CtvkAbstractEventDispatcher::instance();
    loop.processEvents(0);
    const pid_t child = ::fork();
    if (child == 0) {
        dispatcher->wakeUp();       // before the child's first pass
        loop.processEvents(0);
        dispatcher->wakeUp();       // and after it
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitForChild(child, kChildTimeoutMs), 0);

    // Woken, the wait would end at once; a loaded machine only lengthens it.
    const auto start = Clock::now();
    EXPECT_FALSE(loop.processEvents(kWaitMs));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kWaitMs - 20)) << "the child's wake-up woke the parent";
}

} // namespace
