// tvk-modbus-slave: its initial-values reader, and the tool as a process
// polled by real masters (mbpoll and the library's own TCP client).
#include "slaveinitfile.h"
#include "childprocess.h"

#include "tvkmodbustcpclient.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

using namespace Quorvan;
using tvkslave::InitFileError;
using tvkslave::InitialBlock;
using tvkslave::Layout;
using tvkslave::Table;

namespace {

constexpr int StartMs = 10000;   // generous: the machine may be loaded

Layout smallLayout()
{
    Layout l;
    l.coils = {0, 16};
    l.discreteInputs = {0, 16};
    l.holdingRegisters = {100, 10};
    l.inputRegisters = {0, 4};
    return l;
}

bool read(const std::string& text, std::vector<InitialBlock>* blocks, InitFileError* error)
{
    std::istringstream in(text);
    return tvkslave::readInitialValues(in, smallLayout(), blocks, error);
}

// A file that removes itself.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string& text)
    {
        char name[] = "/tmp/tvk-slave-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) {
            ::close(fd);
            path = name;
            std::ofstream(path) << text;
        }
    }
    ~TempFile()
    {
        if (!path.empty())
            ::unlink(path.c_str());
    }
};

int portOf(const std::string& listeningLine)
{
    // "listening on 127.0.0.1:PORT (...)"
    const std::size_t colon = listeningLine.find(':');
    return colon == std::string::npos ? 0 : std::atoi(listeningLine.c_str() + colon + 1);
}

std::unique_ptr<tvktest::ChildProcess> startSlave(const std::vector<std::string>& extra, int* port)
{
    std::vector<std::string> argv{TVK_SLAVE_PATH, "--port", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto slave = std::make_unique<tvktest::ChildProcess>(argv);
    *port = portOf(slave->waitForLine("listening on", StartMs));
    return slave;
}

std::string runMbpoll(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"/usr/bin/mbpoll"};
    argv.insert(argv.end(), args.begin(), args.end());
    tvktest::ChildProcess mbpoll(argv);
    EXPECT_EQ(mbpoll.waitForExit(StartMs), 0) << mbpoll.errors();
    return mbpoll.output();
}

} // namespace

TEST(SlaveInitFile, ReadsBlocksWithCommentsHexNegativesAndShortNames)
{
    std::vector<InitialBlock> blocks;
    InitFileError error;
    ASSERT_TRUE(read("# values for the test rig\n"
                     "\n"
                     "holding-registers 100 1 0x1234 -1   # three in a row\r\n"
                     "co 15 1\n"
                     "   ir 0x3 65535\n",
                     &blocks, &error))
        << error.line << ": " << error.message;
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].table, Table::HoldingRegisters);
    EXPECT_EQ(blocks[0].address, 100);
    EXPECT_EQ(blocks[0].values, (std::vector<unsigned short>{1, 0x1234, 0xffff}));
    EXPECT_EQ(blocks[0].line, 3);
    EXPECT_EQ(blocks[1].table, Table::Coils);
    EXPECT_EQ(blocks[1].address, 15);
    EXPECT_EQ(blocks[2].table, Table::InputRegisters);
    EXPECT_EQ(blocks[2].address, 3);
    EXPECT_EQ(blocks[2].values, (std::vector<unsigned short>{65535}));
}

TEST(SlaveInitFile, FirstBadLineIsNamedByNumberAndReason)
{
    struct Case {
        const char* text;
        int line;
        const char* reason;
    };
    const Case cases[] = {
        {"hr 100 1\nregisters 0 1\n", 2, "unknown table"},
        {"hr\n", 1, "address missing"},
        {"hr 100\n", 1, "no value"},
        {"hr 1O0 1\n", 1, "not a number"},
        {"hr 100 12x\n", 1, "not a number"},
        {"hr 100 010\nhr 100 0x\n", 2, "not a number"},
        {"coils 0 2\n", 1, "does not fit"},
        {"hr 100 65536\n", 1, "does not fit"},
        {"hr 100 -32769\n", 1, "does not fit"},
        {"# ok\nhr 99 1\n", 2, "outside holding-registers (it holds 100..109)"},
        {"hr 108 1 2 3\n", 1, "address 110 is outside"},   // runs off the table's end
        {"ir -1 1\n", 1, "outside"},
    };
    for (const Case& c : cases) {
        std::vector<InitialBlock> blocks;
        InitFileError error;
        EXPECT_FALSE(read(c.text, &blocks, &error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_NE(error.message.find(c.reason), std::string::npos) << c.text << " -> " << error.message;
    }
}

TEST(SlaveInitFile, UnreadablePathIsReportedWithoutLine)
{
    InitFileError error;
    EXPECT_FALSE(tvkslave::readInitialValuesFile("/nonexistent/values.txt", smallLayout(), nullptr, &error));
    EXPECT_EQ(error.line, 0);
    EXPECT_FALSE(tvkslave::readInitialValuesFile("/tmp", smallLayout(), nullptr, &error));
    EXPECT_EQ(error.message, "is a directory");
}

// The whole life of the tool: initial values served to mbpoll and to the
// library's client, a write seen by the next read, connections and rate
// printed, and SIGTERM ending it with status 0.
TEST(SlaveTool, ServesInitialValuesToMastersAndStopsOnSigterm)
{
    TempFile values("hr 0 100 200 0x1234\ncoils 10 1 0 1\nir 5 7\n");
    int port = 0;
    auto slave = startSlave({"--init", values.path, "--input-size", "10"}, &port);
    ASSERT_GT(port, 0) << slave->output() << slave->errors();

    const std::string regs =
        runMbpoll({"-m", "tcp", "-p", std::to_string(port), "-0", "-a", "1", "-t", "4", "-r", "0", "-c", "3", "-1",
                   "127.0.0.1"});
    EXPECT_NE(regs.find("[0]: \t100"), std::string::npos) << regs;
    EXPECT_NE(regs.find("[2]: \t4660"), std::string::npos) << regs;
    const std::string coils =
        runMbpoll({"-m", "tcp", "-p", std::to_string(port), "-0", "-t", "0", "-r", "10", "-c", "3", "-1",
                   "127.0.0.1"});
    EXPECT_NE(coils.find("[10]: \t1"), std::string::npos) << coils;
    EXPECT_NE(coils.find("[11]: \t0"), std::string::npos) << coils;
    EXPECT_NE(slave->waitForLine("connected 127.0.0.1:", StartMs), "");
    EXPECT_NE(slave->waitForLine("disconnected 127.0.0.1:", StartMs), "");

    {
        CtvkModbusTcpClient client;
        client.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
        ASSERT_TRUE(client.open()) << client.errorString().toStdString();
        ASSERT_TRUE(client.sendWriteSingleRegisters(1, 4242));
        unsigned short held[3] = {};
        ASSERT_TRUE(client.sendReadHoldingRegisters(0, 3, held));
        EXPECT_EQ(held[0], 100);
        EXPECT_EQ(held[1], 4242);
        unsigned short input = 0;
        ASSERT_TRUE(client.sendReadInputRegisters(5, 1, &input));
        EXPECT_EQ(input, 7);
        // Outside the input registers as laid out on the command line.
        EXPECT_FALSE(client.sendReadInputRegisters(10, 1, &input));
        // Keeps the connection busy until a rate line shows.
        std::string rate;
        for (int i = 0; i < 400 && rate.empty(); ++i) {
            ASSERT_TRUE(client.sendReadHoldingRegisters(0, 3, held));
            rate = slave->waitForLine("requests/s", 10);
        }
        EXPECT_NE(rate, "") << slave->output();
        EXPECT_NE(rate.find("1 connections"), std::string::npos) << rate;
    }

    slave->signal(SIGTERM);
    EXPECT_EQ(slave->waitForExit(StartMs), 0) << slave->output() << slave->errors();
    EXPECT_NE(slave->output().find("stopping on SIGTERM"), std::string::npos);
}

TEST(SlaveTool, CtrlCEndsWithStatusZeroWhileMastersAreConnected)
{
    int port = 0;
    auto slave = startSlave({}, &port);
    ASSERT_GT(port, 0) << slave->errors();
    CtvkModbusTcpClient client;
    client.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    ASSERT_TRUE(client.open());
    unsigned short value = 1;
    ASSERT_TRUE(client.sendReadHoldingRegisters(999, 1, &value));
    EXPECT_EQ(value, 0);
    slave->signal(SIGINT);
    EXPECT_EQ(slave->waitForExit(StartMs), 0) << slave->errors();
    EXPECT_NE(slave->output().find("stopping on SIGINT"), std::string::npos);
}

TEST(SlaveTool, BadInitialValueLineExitsTwoNamingFileAndLine)
{
    TempFile values("hr 0 1 2\n\n# next line is wrong\ncoils 3 7\n");
    tvktest::ChildProcess slave({TVK_SLAVE_PATH, "--port", "0", "--init", values.path});
    EXPECT_EQ(slave.waitForExit(StartMs), 2);
    EXPECT_NE(slave.errors().find(values.path + ":4: value 7 does not fit coils"), std::string::npos)
        << slave.errors();
    EXPECT_EQ(slave.output().find("listening"), std::string::npos);
}

TEST(SlaveTool, BadUsageExitsTwo)
{
    for (const std::vector<std::string>& args : {
             std::vector<std::string>{"--holding-start", "65000", "--holding-size", "1000"},
             std::vector<std::string>{"--port", "70000"},
             std::vector<std::string>{"--no-such-option"},
         }) {
        std::vector<std::string> argv{TVK_SLAVE_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        tvktest::ChildProcess slave(argv);
        EXPECT_EQ(slave.waitForExit(StartMs), 2) << args[0];
    }
    tvktest::ChildProcess help({TVK_SLAVE_PATH, "--help"});
    EXPECT_EQ(help.waitForExit(StartMs), 0);
    EXPECT_NE(help.output().find("--holding-start"), std::string::npos);
    EXPECT_NE(help.output().find("<table> <address> <value>"), std::string::npos);
}

TEST(SlaveTool, SerialAndTcpOptionsExcludeEachOther)
{
    for (const char* tcp : {"--port", "--address"}) {
        tvktest::ChildProcess slave({TVK_SLAVE_PATH, "--serial", "/dev/null", tcp, "1502"});
        EXPECT_EQ(slave.waitForExit(StartMs), 2) << tcp;
        EXPECT_NE(slave.errors().find("excludes"), std::string::npos) << slave.errors();
    }
}

TEST(SlaveTool, PortTakenExitsOne)
{
    int port = 0;
    auto first = startSlave({}, &port);
    ASSERT_GT(port, 0);
    tvktest::ChildProcess second({TVK_SLAVE_PATH, "--port", std::to_string(port)});
    EXPECT_EQ(second.waitForExit(StartMs), 1);
    EXPECT_NE(second.errors().find("cannot listen"), std::string::npos) << second.errors();
    first->signal(SIGTERM);
    EXPECT_EQ(first->waitForExit(StartMs), 0);
}
