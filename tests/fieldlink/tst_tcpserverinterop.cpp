// SPDX-License-Identifier: MIT
#include "childprocess.h"
#include "descriptors.h"
#include "errorrecorder.h"
#include "loopback.h"
#include "pymodbuspeers.h"
#include "waiting.h"

#include "tvkabstracteventdispatcher.h"
#include "tvkeventloop.h"
#include "tvkmodbustcpserver.h"
#include "tvkmodbustcpserver_p.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <memory>
#include <sstream>

using namespace Quorvan;
using tvktest::ChildProcess;
using Unit = CtvkModbusDataUnit;

namespace {

// The server against masters that share no code with it: pymodbus, driven
// one request at a time so the test can look at the map in between, and
// mbpoll. Table sizes differ so that an answer from the wrong table shows.
class TcpServerInterop : public ::testing::Test {
protected:
    void SetUp() override
    {
        CtvkAbstractEventDispatcher::instance();
        m_descriptors = tvktest::openDescriptors();
        port = tvktest::freeLoopbackPort();
        server = std::make_unique<CtvkModbusTcpServer>();
        recorder = std::make_unique<tvktest::ErrorRecorder>(server.get());
        server->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
        server->setStartAddressAndNum(0, 20, 0, 30, 0, 40, 0, 50);
        for (int a = 0; a < 50; ++a) {
            ASSERT_TRUE(a >= 20 || server->setData(Unit::Coils, a, a % 3 == 0));
            ASSERT_TRUE(a >= 30 || server->setData(Unit::DiscreteInputs, a, a % 2));
            ASSERT_TRUE(a >= 40 || server->setData(Unit::HoldingRegisters, a, static_cast<unsigned short>(1000 + a)));
            ASSERT_TRUE(server->setData(Unit::InputRegisters, a, static_cast<unsigned short>(2000 + a)));
        }
        ASSERT_TRUE(server->open());
        server->processRequest();
        ASSERT_EQ(server->error(), CtvkModbusDevice::NoError);
    }

    void TearDown() override
    {
        master.reset();
        recorder.reset();
        server.reset();
        loop.processEvents(0);
        EXPECT_EQ(tvktest::openDescriptors(), m_descriptors) << "a descriptor was left open";
    }

    void startPymodbus()
    {
        master = std::make_unique<ChildProcess>(
            tvktest::peerCommand("pymodbus_master.py", {"127.0.0.1", std::to_string(port)}),
            ChildProcess::Errors::Inherited);
        ASSERT_TRUE(master->started());
        ASSERT_EQ(ask(""), "ready") << master->output();
    }

    // Sends one command (none for "") and serves until its result line.
    std::string ask(const std::string& command)
    {
        if (!command.empty())
            master->writeLine(command);
        std::string line;
        if (!tvktest::pumpUntil(loop, [&] { return master->tryReadLine(&line); }, 30000))
            return "no answer to '" + command + "'";
        return line;
    }

    unsigned short value(Unit::RegisterType type, int address)
    {
        unsigned short v = 0xDEAD;
        EXPECT_TRUE(server->data(type, address, &v));
        return v;
    }

    CtvkEventLoop loop;
    int port = 0;
    std::unique_ptr<CtvkModbusTcpServer> server;
    std::unique_ptr<tvktest::ErrorRecorder> recorder;
    std::unique_ptr<ChildProcess> master;

private:
    int m_descriptors = 0;
};

TEST_F(TcpServerInterop, PymodbusReadsAllFourTablesAndItsWritesShowAtOnce)
{
    startPymodbus();
    EXPECT_EQ(ask("rc 17 3"), "ok 0 1 0");    // coils 18 is a multiple of 3, the table ends at 19
    EXPECT_EQ(ask("rd 27 3"), "ok 1 0 1");
    EXPECT_EQ(ask("rh 38 2"), "ok 1038 1039");
    EXPECT_EQ(ask("ri 0 2"), "ok 2000 2001");
    EXPECT_EQ(ask("ri 48 2"), "ok 2048 2049");

    EXPECT_EQ(ask("wc 1 1"), "ok");
    EXPECT_EQ(value(Unit::Coils, 1), 1);
    EXPECT_EQ(ask("wcs 4 1 1 0"), "ok");
    EXPECT_EQ(value(Unit::Coils, 4), 1);
    EXPECT_EQ(value(Unit::Coils, 5), 1);
    EXPECT_EQ(value(Unit::Coils, 6), 0);
    EXPECT_EQ(ask("wr 39 48879"), "ok");
    EXPECT_EQ(value(Unit::HoldingRegisters, 39), 48879);
    EXPECT_EQ(ask("wrs 0 7 65535"), "ok");
    EXPECT_EQ(value(Unit::HoldingRegisters, 0), 7);
    EXPECT_EQ(value(Unit::HoldingRegisters, 1), 65535);
    // The host's own write is what the master reads next.
    ASSERT_TRUE(server->setData(Unit::InputRegisters, 10, 4242));
    EXPECT_EQ(ask("ri 10 1"), "ok 4242");
    EXPECT_TRUE(recorder->codes.empty()) << "no signal announces a remote write";
}

TEST_F(TcpServerInterop, PymodbusGetsIllegalAddressOutsideATable)
{
    startPymodbus();
    EXPECT_EQ(ask("rh 40 1"), "exception 2");
    EXPECT_EQ(ask("rh 39 2"), "exception 2");
    EXPECT_EQ(ask("rc 20 1"), "exception 2");
    EXPECT_EQ(ask("rd 30 1"), "exception 2");
    EXPECT_EQ(ask("ri 50 1"), "exception 2");
    EXPECT_EQ(ask("wr 40 1"), "exception 2");
    EXPECT_EQ(ask("wcs 19 1 1"), "exception 2");
    EXPECT_EQ(value(Unit::Coils, 19), 0) << "a refused write changes nothing";
    EXPECT_EQ(ask("rh 39 1"), "ok 1039") << "the connection still serves";
}

TEST_F(TcpServerInterop, MbpollReadsHoldingRegisters)
{
    ChildProcess mbpoll({"/usr/bin/mbpoll", "-m", "tcp", "-a", "1", "-0", "-r", "10", "-c", "3", "-t", "4",
                        "-1", "-p", std::to_string(port), "127.0.0.1"});
    ASSERT_TRUE(mbpoll.started());
    int status = -1;
    ASSERT_TRUE(tvktest::pumpUntil(loop, [&] { return mbpoll.finished(&status); }, 30000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << mbpoll.output();
    const std::string& out = mbpoll.output();
    EXPECT_NE(out.find("[10]: \t1010"), std::string::npos) << out;
    EXPECT_NE(out.find("[11]: \t1011"), std::string::npos) << out;
    EXPECT_NE(out.find("[12]: \t1012"), std::string::npos) << out;
}

} // namespace
