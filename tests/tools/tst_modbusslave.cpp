// SPDX-License-Identifier: MIT
// tvk-modbus-slave: its initial-values reader, and the tool as a process
// polled by real masters (mbpoll and the library's own TCP client).
#include "slaveinitfile.h"
#include "toolconsole.h"
#include "slavetool.h"
#include "waiting.h"

#include "tvkeventloop.h"
#include "tvkmodbustcpclient.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>

using namespace Quorvan;
using slavetest::kStartMs;
using slavetest::startSlave;
using slavetest::TempFile;
using tvkslave::InitFileError;
using tvkslave::InitialBlock;
using tvkslave::Layout;
using tvkslave::Table;

namespace {

Layout smallLayout()
{
    Layout l;
    l.coils = {0, 16};
    l.discreteInputs = {0, 16};
    l.holdingRegisters = {100, 10};
    l.inputRegisters = {0, 4};
    return l;
}

bool read(const std::string& text, std::vector<InitialBlock>* blocks, std::vector<InitFileError>* errors)
{
    return tvkslave::readInitialValues(text, smallLayout(), blocks, errors);
}

std::string runMbpoll(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"/usr/bin/mbpoll"};
    argv.insert(argv.end(), args.begin(), args.end());
    tvktest::ChildProcess mbpoll(argv);
    EXPECT_EQ(mbpoll.waitForExit(kStartMs), 0) << mbpoll.errors();
    return mbpoll.output();
}

} // namespace

TEST(SlaveInitFile, ReadsBlocksWithCommentsHexNegativesAndShortNames)
{
    std::vector<InitialBlock> blocks;
    std::vector<InitFileError> errors;
    ASSERT_TRUE(read("# values for the test rig\n"
                     "\n"
                     "holding-registers 100 1 0x1234 -1   # three in a row\r\n"
                     "co 15 1\n"
                     "   ir 0x3 65535\n",
                     &blocks, &errors))
        << errors.at(0).line << ": " << errors.at(0).message;
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

TEST(SlaveInitFile, BadLineIsNamedByNumberAndReason)
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
        {"hr 100 1\n\x01\x02garbage 1 2", 2, "unknown table \"??garbage\""},   // no line end at the end
        {"\xEF\xBB\xBFhr 100 1\n", 1, "starts with a UTF-8 byte-order mark (save it without one)"},
    };
    for (const Case& c : cases) {
        std::vector<InitialBlock> blocks;
        std::vector<InitFileError> errors;
        EXPECT_FALSE(read(c.text, &blocks, &errors)) << c.text;
        ASSERT_EQ(errors.size(), 1u) << c.text;
        EXPECT_EQ(errors[0].line, c.line) << c.text;
        EXPECT_NE(errors[0].message.find(c.reason), std::string::npos) << c.text << " -> " << errors[0].message;
    }
}

// Every bad line is named, each with its own number, also past a line too
// long to read; a flood of them is cut short with a count.
TEST(SlaveInitFile, EveryBadLineIsNamedAndLongLinesKeepTheCount)
{
    std::vector<InitFileError> errors;
    const std::string longLine = "hr 100 " + std::string(tvkslave::kMaxLineBytes, '1');
    EXPECT_FALSE(read("hr 100 1\nxx 0 1\n" + longLine + "\nhr 100 2\ncoils 0 7\n", nullptr, &errors));
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0].line, 2);
    EXPECT_EQ(errors[1].line, 3);
    EXPECT_NE(errors[1].message.find("line longer than"), std::string::npos) << errors[1].message;
    EXPECT_EQ(errors[2].line, 5);

    errors.clear();
    std::string flood;
    for (std::size_t i = 0; i < tvkslave::kMaxReportedErrors + 5; ++i)
        flood += "bad\n";
    EXPECT_FALSE(read(flood, nullptr, &errors));
    ASSERT_EQ(errors.size(), tvkslave::kMaxReportedErrors + 1);
    EXPECT_EQ(errors.back().line, 0);
    EXPECT_EQ(errors.back().message, "5 more bad lines");
}

TEST(SlaveInitFile, OnlyRegularFilesOfBoundedSizeAreRead)
{
    std::vector<InitFileError> errors;
    EXPECT_FALSE(tvkslave::readInitialValuesFile("/nonexistent/values.txt", smallLayout(), nullptr, &errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].line, 0);
    errors.clear();
    EXPECT_FALSE(tvkslave::readInitialValuesFile("/tmp", smallLayout(), nullptr, &errors));
    EXPECT_EQ(errors.at(0).message, "is a directory");

    // An endless device and a FIFO without a writer: refused at once.
    char fifo[] = "/tmp/tvk-slave-fifo-XXXXXX";
    ASSERT_NE(::mkdtemp(fifo), nullptr);
    const std::string fifoPath = std::string(fifo) + "/values";
    ASSERT_EQ(::mkfifo(fifoPath.c_str(), 0600), 0);
    for (const std::string& path : {std::string("/dev/zero"), fifoPath}) {
        errors.clear();
        EXPECT_FALSE(tvkslave::readInitialValuesFile(path, smallLayout(), nullptr, &errors)) << path;
        EXPECT_NE(errors.at(0).message.find("not a regular file"), std::string::npos) << path;
    }
    ::unlink(fifoPath.c_str());
    ::rmdir(fifo);

    TempFile large("");
    ASSERT_EQ(::truncate(large.path.c_str(), static_cast<off_t>(tvkslave::kMaxFileBytes) + 1), 0);
    errors.clear();
    EXPECT_FALSE(tvkslave::readInitialValuesFile(large.path, smallLayout(), nullptr, &errors));
    EXPECT_NE(errors.at(0).message.find("larger than"), std::string::npos) << errors.at(0).message;
}

// A reader that falls behind costs lines, never a cut line, a reordered
// one or a wait: what arrives is whole lines in the order written, and
// with what was dropped it makes up everything.
TEST(SlaveOutput, LinesGoOutWholeAndInOrderWhateverTheReaderLeaves)
{
    constexpr int kLines = 3000;
    const auto text = [](int i) { return "line " + std::to_string(i) + " " + std::string(std::size_t(i % 97), 'x'); };
    CtvkEventLoop loop;
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ::fcntl(pipe[0], F_SETFL, O_NONBLOCK);
    std::string got;
    {
        tvktool::LineSink sink(pipe[1], 16 * 1024);
        const auto arrived = [&](std::size_t lines) {
            return [&, lines] {
                char chunk[4096];
                ssize_t n;
                while ((n = ::read(pipe[0], chunk, sizeof chunk)) > 0)
                    got.append(chunk, static_cast<std::size_t>(n));
                return slavetest::linesOf(got).size() + sink.dropped() == lines;
            };
        };
        const auto started = std::chrono::steady_clock::now();
        for (int i = 0; i < kLines; ++i)
            sink.put(text(i));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        EXPECT_GT(sink.dropped(), 0u);
        EXPECT_TRUE(tvktest::pumpUntil(loop, arrived(kLines)));
        // Room again once the reader has caught up.
        EXPECT_TRUE(sink.put(text(kLines)));
        EXPECT_TRUE(tvktest::pumpUntil(loop, arrived(kLines + 1)));
    }
    ::close(pipe[0]);
    ::close(pipe[1]);
    int last = -1;
    for (const std::string& line : slavetest::linesOf(got)) {
        int number = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "line %d ", &number), 1) << line;
        EXPECT_GT(number, last);
        EXPECT_EQ(line, text(number));
        last = number;
    }
    EXPECT_EQ(last, kLines);
    EXPECT_EQ(got.back(), '\n');
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
    EXPECT_NE(slave->waitForLine("connected 127.0.0.1:", kStartMs), "");
    EXPECT_NE(slave->waitForLine("disconnected 127.0.0.1:", kStartMs), "");

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
    EXPECT_EQ(slave->waitForExit(kStartMs), 0) << slave->output() << slave->errors();
    EXPECT_NE(slave->output().find("stopping on SIGTERM: 3 connections"), std::string::npos) << slave->output();
    // Every line carries the time it was written, in UTC to the millisecond.
    const std::regex stamped(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z .+)");
    for (const std::string& line : slavetest::linesOf(slave->output()))
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
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
    EXPECT_EQ(slave->waitForExit(kStartMs), 0) << slave->errors();
    EXPECT_NE(slave->output().find("stopping on SIGINT"), std::string::npos);
}

TEST(SlaveTool, BadInitialValueLinesExitTwoNamingFileAndEveryLine)
{
    TempFile values("hr 0 1 2\n\nxx 1\n# next line is wrong\ncoils 3 7\n");
    tvktest::ChildProcess slave({TVK_SLAVE_PATH, "--port", "0", "--init", values.path});
    EXPECT_EQ(slave.waitForExit(kStartMs), 2);
    EXPECT_NE(slave.errors().find(values.path + ":3: unknown table \"xx\""), std::string::npos) << slave.errors();
    EXPECT_NE(slave.errors().find(values.path + ":5: value 7 does not fit coils"), std::string::npos)
        << slave.errors();
    EXPECT_EQ(slave.output().find("listening"), std::string::npos);
}

TEST(SlaveTool, EndlessInitialValuesAreRefusedAtOnce)
{
    // Refused for what it is, not for how much of it was read.
    tvktest::ChildProcess slave({TVK_SLAVE_PATH, "--port", "0", "--init", "/dev/zero"});
    EXPECT_EQ(slave.waitForExit(kStartMs), 2);
    EXPECT_NE(slave.errors().find("tvk-modbus-slave: /dev/zero: not a regular file"), std::string::npos)
        << slave.errors();
}

TEST(SlaveTool, BadUsageExitsTwoWithTheToolsName)
{
    for (const std::vector<std::string>& args : {
             std::vector<std::string>{"--holding-start", "65000", "--holding-size", "1000"},
             std::vector<std::string>{"--port", "70000"},
             std::vector<std::string>{"--no-such-option"},
             std::vector<std::string>{"--unit-id", "1,300"},
             std::vector<std::string>{"--unit-id", "5-2"},
             std::vector<std::string>{"--delay", "-1"},
             std::vector<std::string>{"--backlog", "0"},
             std::vector<std::string>{"-q", "-v"},
         }) {
        std::vector<std::string> argv{TVK_SLAVE_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        tvktest::ChildProcess slave(argv);
        EXPECT_EQ(slave.waitForExit(kStartMs), 2) << args[0];
        EXPECT_EQ(slave.errors().rfind("tvk-modbus-slave: ", 0), 0u) << slave.errors();
    }
    tvktest::ChildProcess help({TVK_SLAVE_PATH, "--help"});
    EXPECT_EQ(help.waitForExit(kStartMs), 0);
    EXPECT_NE(help.output().find("--holding-start"), std::string::npos);
    EXPECT_NE(help.output().find("Initial values (--init FILE"), std::string::npos);
    for (const char* flag : {"-V", "--version"}) {
        tvktest::ChildProcess version({TVK_SLAVE_PATH, flag});
        EXPECT_EQ(version.waitForExit(kStartMs), 0) << flag;
        EXPECT_EQ(version.output().rfind("tvk-modbus-slave ", 0), 0u) << flag << ": " << version.output();
    }
}

TEST(SlaveTool, SerialAndTcpOptionsExcludeEachOther)
{
    for (const char* tcp : {"--port", "--address", "--backlog", "--unit-id", "--delay"}) {
        tvktest::ChildProcess slave({TVK_SLAVE_PATH, "--serial", "/dev/null", tcp, "1"});
        EXPECT_EQ(slave.waitForExit(kStartMs), 2) << tcp;
        EXPECT_NE(slave.errors().find("excludes"), std::string::npos) << slave.errors();
    }
}

TEST(SlaveTool, PortTakenExitsOne)
{
    int port = 0;
    auto first = startSlave({}, &port);
    ASSERT_GT(port, 0);
    tvktest::ChildProcess second({TVK_SLAVE_PATH, "--port", std::to_string(port)});
    EXPECT_EQ(second.waitForExit(kStartMs), 1);
    EXPECT_NE(second.errors().find("cannot listen"), std::string::npos) << second.errors();
    first->signal(SIGTERM);
    EXPECT_EQ(first->waitForExit(kStartMs), 0);
}
