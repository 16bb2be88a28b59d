// SPDX-License-Identifier: MIT
#include "polltooltest.h"

#include "loopback.h"
#include "ptypair.h"
#include "tlspeer.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

using tvktest::ChildProcess;
using namespace polltest;

namespace {

TEST_F(PollTool, ReadsTheSameValuesAsMbpoll)
{
    if (!haveMbpoll())
        GTEST_SKIP() << "mbpoll is not installed";
    const std::vector<Args> reads = {
        {"-t", "0", "-r", "3", "-c", "7"},       {"-t", "1", "-r", "2", "-c", "5"},
        {"-t", "3", "-r", "10", "-c", "4"},      {"-t", "4", "-c", "3"},
        {"-t", "4:hex", "-r", "7", "-c", "2"},   {"-t", "3:int", "-r", "5", "-c", "2"},
        {"-t", "4:int", "-B", "-c", "2"},        {"-t", "4:float", "-r", "3", "-c", "2"},
        {"-t", "4", "-0", "-r", "0", "-c", "2"}, {"-t", "4", "-r", "99", "-c", "2"},
    };
    for (const Args& read : reads) {
        Args once = read;
        once.push_back("-1");
        const ToolResult ours = poll(once);
        const ToolResult theirs = mbpoll(once);
        const std::string what = read[1] + (read.size() > 2 ? " " + read[2] + " " + read[3] : "");
        ASSERT_EQ(ours.status, 0) << what << "\n" << ours.err;
        ASSERT_EQ(theirs.status, 0) << what << "\n" << theirs.err;
        const auto values = linesStartingWith(ours.out, "[");
        EXPECT_FALSE(values.empty()) << what;
        EXPECT_EQ(values, linesStartingWith(theirs.out, "[")) << what << "\n" << ours.out << theirs.out;
    }
}

TEST_F(PollTool, WrittenValuesReadBack)
{
    struct Case {
        Args options;
        Args values;
        std::vector<std::string> shown;   // as the table shows them, from the first reference on
    };
    const std::vector<Case> cases = {
        {{"-r", "41"}, {"7", "65535", "0x10"}, {"[41]: \t7", "[42]: \t65535 (-1)", "[43]: \t16"}},
        {{"-r", "45"}, {"513"}, {"[45]: \t513"}},
        {{"-t", "0", "-r", "51"}, {"1", "0", "1", "1"}, {"[51]: \t1", "[52]: \t0", "[53]: \t1", "[54]: \t1"}},
        {{"-t", "0", "-r", "56"}, {"0"}, {"[56]: \t0"}},   // 55 is a multiple of 3: starts at 1
        {{"-t", "4:float", "-B", "-r", "61"}, {"--", "1.5", "-2.25"}, {"[61]: \t1.5", "[63]: \t-2.25"}},
        {{"-t", "4:int", "-r", "65"}, {"--", "-70000"}, {"[65]: \t-70000"}},
    };
    for (const Case& c : cases) {
        const ToolResult written = pollWrite(c.options, c.values);
        ASSERT_EQ(written.status, 0) << c.options[1] << "\n" << written.err;
        const std::size_t n = c.shown.size();
        // mbpoll's line, "references" for one as well.
        EXPECT_NE(written.out.find("Written " + std::to_string(n) + " references.\n"), std::string::npos)
            << written.out;
        Args read = c.options;
        read.insert(read.end(), {"-1", "-c", std::to_string(n)});
        const ToolResult back = poll(read);
        ASSERT_EQ(back.status, 0) << back.err;
        EXPECT_EQ(linesStartingWith(back.out, "["), c.shown) << back.out;
        if (haveMbpoll()) {
            EXPECT_EQ(linesStartingWith(mbpoll(read).out, "["), c.shown);
        }
    }
}

TEST_F(PollTool, JsonGivesOneObjectPerPoll)
{
    const ToolResult r = poll({"--json", "--polls", "3", "-l", "20", "-t", "3", "-r", "5", "-c", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = linesStartingWith(r.out, "");
    ASSERT_EQ(lines.size(), 3u) << r.out;
    for (const std::string& line : lines) {
        rapidjson::Document doc;
        doc.Parse(line.c_str());
        ASSERT_FALSE(doc.HasParseError()) << line;
        ASSERT_TRUE(doc.IsObject()) << line;
        ASSERT_TRUE(doc.HasMember("time") && doc["time"].IsString()) << line;
        EXPECT_EQ(std::string(doc["time"].GetString()).size(), 24u) << line;   // 2026-12-08T06:30:01.123Z
        EXPECT_STREQ(doc["table"].GetString(), "input registers");
        EXPECT_EQ(doc["start"].GetInt(), 5);
        ASSERT_TRUE(doc["values"].IsArray()) << line;
        ASSERT_EQ(doc["values"].Size(), 2u);
        EXPECT_EQ(doc["values"][0].GetInt(), 2004);
        EXPECT_EQ(doc["values"][1].GetInt(), 2005);
        EXPECT_FALSE(doc.HasMember("error"));
    }
    EXPECT_NE(r.err.find("3 polls, 0 failed"), std::string::npos) << r.err;
}

TEST_F(PollTool, DeviceErrorsExitWithOne)
{
    // Nobody listening: only the JSON object reaches standard output, no
    // diagnostic line of the library's client.
    tvktest::RefusingPort refusing;
    const ToolResult refused =
        runTool({TVK_POLL_PATH, "-1", "--json", "-p", std::to_string(refusing.port()), "127.0.0.1"});
    EXPECT_EQ(refused.status, 1);
    rapidjson::Document doc;
    doc.Parse(refused.out.c_str());
    ASSERT_FALSE(doc.HasParseError()) << refused.out;
    ASSERT_TRUE(doc.IsObject() && doc.HasMember("error")) << refused.out;
    EXPECT_EQ(std::string(doc["error"].GetString()), "127.0.0.1:" + std::to_string(refusing.port()) + ": Connection refused");
    EXPECT_FALSE(doc.HasMember("values"));

    // A name that names nothing: the library says so, with the resolver's reason.
    const std::string reason = tvktest::unresolvedHostReason();
    if (!reason.empty()) {
        const ToolResult nowhere = runTool({TVK_POLL_PATH, "-1", tvktest::kHostThatNamesNothing});
        EXPECT_EQ(nowhere.status, 1);
        EXPECT_NE(nowhere.err.find("could not be resolved: " + reason), std::string::npos) << nowhere.err;
    }

    // The device answers with an exception: past its 100 registers.
    const ToolResult beyond = poll({"-1", "-r", "99", "-c", "5"});
    EXPECT_EQ(beyond.status, 1);
    EXPECT_NE(beyond.err.find("Illegal data address"), std::string::npos) << beyond.err;
    EXPECT_EQ(linesStartingWith(beyond.out, "[").size(), 0u) << beyond.out;

    const ToolResult writeBeyond = pollWrite({"-r", "101"}, {"5"});
    EXPECT_EQ(writeBeyond.status, 1);
    EXPECT_EQ(writeBeyond.out.find("Written"), std::string::npos) << writeBeyond.out;

    // Continuous polling goes on after a failed poll (on a new connection)
    // and still ends with 1.
    const ToolResult polls = poll({"--polls", "3", "-l", "10", "-r", "99", "-c", "5"});
    EXPECT_EQ(polls.status, 1);
    EXPECT_NE(polls.err.find("3 polls, 3 failed"), std::string::npos) << polls.err;
}

TEST_F(PollTool, BadUsageExitsWithTwoAndTheUsageLine)
{
    const std::vector<Args> bad = {
        {"-x"},
        {"-t", "9"},
        {"-t", "0:float"},
        {"-c", "126"},          // more registers than one request carries
        {"-t", "4:int", "-c", "63"},
        {"-t", "0", "-c", "2001"},
        {"-r", "0"},            // references count from 1 without -0
        {"-r", "65536", "-c", "2"},
        {"-m", "rtu", "-a", "0"},
        {"-m", "serial"},
        {"-b", "1000"},
        {"-P", "mark"},
        {"-l", "5"},
        {"-o", "11"},
        {"-1", "--polls", "3"},
        {"-a", "256"},
    };
    for (const Args& args : bad) {
        const ToolResult r = poll(args);
        EXPECT_EQ(r.status, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_NE(r.err.find("Usage: tvk-modbus-poll"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << args[0];
    }
    // Values that do not fit, or a table that cannot be written.
    const std::vector<std::pair<Args, Args>> badWrites = {
        {{"-t", "0"}, {"2"}}, {{"-t", "3"}, {"5"}}, {{"-t", "1"}, {"1"}},
        {{}, {"65536"}},      {{}, {"12abc"}},      {{"-t", "4:float"}, {"nan"}},
    };
    for (const auto& w : badWrites) {
        const ToolResult r = pollWrite(w.first, w.second);
        EXPECT_EQ(r.status, 2) << w.second[0];
        EXPECT_NE(r.err.find("Usage: tvk-modbus-poll"), std::string::npos) << r.err;
    }
    const ToolResult noDevice = runTool({TVK_POLL_PATH, "-1"});
    EXPECT_EQ(noDevice.status, 2);
    EXPECT_NE(noDevice.err.find("Usage: tvk-modbus-poll"), std::string::npos) << noDevice.err;
}

TEST_F(PollTool, HelpAndVersionExitWithZero)
{
    const ToolResult help = runTool({TVK_POLL_PATH, "--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* flag : {"-m", "-a", "-r", "-c", "-t", "-0", "-1", "-l", "-o", "-p", "-b", "-P", "-d", "-s",
                             "-q", "-u", "-v", "-R", "-F", "-V", "--json", "--polls"})
        EXPECT_NE(help.out.find(std::string("\n  ") + flag), std::string::npos) << flag;
    for (const char* flag : {"--version", "-V"}) {
        const ToolResult version = runTool({TVK_POLL_PATH, flag});
        EXPECT_EQ(version.status, 0) << flag;
        EXPECT_EQ(version.out, std::string("tvk-modbus-poll ") + TVK_VERSION + "\n") << flag;
    }
}

TEST_F(PollTool, StopsCleanlyOnSigtermAndSigint)
{
    for (const int sig : {SIGTERM, SIGINT}) {
        ChildProcess tool(command(TVK_POLL_PATH, {"-l", "20", "-c", "2"}));
        ASSERT_TRUE(tool.started());
        for (int poll = 1; poll <= 2; ++poll)
            EXPECT_NE(tool.waitForLine("-- Polling slave 1... Ctrl-C to stop)", 10000), "") << poll;
        tool.signal(sig);
        EXPECT_EQ(tool.waitForExit(10000), 0) << tool.errors();
        EXPECT_NE(tool.errors().find("polls, 0 failed"), std::string::npos) << tool.errors();
    }
}

// A stop request waits for the request under way; a second one ends the
// tool at once, however long that request would still take.
TEST(PollToolStop, SecondSignalEndsAHangingRequest)
{
    {
        SilentListener device;
        ChildProcess tool({TVK_POLL_PATH, "-o", "0.3", "--retries", "2", "-p", device.port(), "127.0.0.1"});
        ASSERT_TRUE(device.requestArrived(10000));
        tool.signal(SIGTERM);
        EXPECT_EQ(tool.waitForExit(10000), 1);   // the poll under way failed, and no other began
        EXPECT_NE(tool.errors().find("1 poll, 1 failed"), std::string::npos) << tool.errors();
    }
    {
        SilentListener device;
        ChildProcess tool({TVK_POLL_PATH, "-o", "10", "--retries", "5", "-p", device.port(), "127.0.0.1"});
        ASSERT_TRUE(device.requestArrived(10000));
        tool.signal(SIGINT);
        ASSERT_TRUE(waitForOutput(
            tool, [&] { return tool.errors().find("again to quit") != std::string::npos; }, 5000))
            << tool.errors();
        tool.signal(SIGINT);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(tool.waitForExit(20000), -1);   // ended by the signal...
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));   // ...not by the clock
    }
}

// Over TCP unit 0 is an ordinary address, not a broadcast: a write to it
// is done only once the device confirms it.
TEST_F(PollTool, UnitZeroOverTcpIsAnOrdinaryAddress)
{
    // pymodbus answers every unit id: the write is confirmed and reads back.
    const ToolResult answered = pollWrite({"-a", "0", "-r", "80"}, {"77"});
    EXPECT_EQ(answered.status, 0) << answered.err;
    EXPECT_NE(answered.out.find("Written 1 references.\n"), std::string::npos) << answered.out;
    const ToolResult back = poll({"-a", "0", "-r", "80", "-1", "--json"});
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_NE(back.out.find("\"slave\":0,\"table\":\"holding registers\",\"start\":80,\"values\":[77]}"),
              std::string::npos) << back.out;

    // Nobody answers: the write failed, whatever a serial line would make of unit 0.
    SilentListener device;
    const ToolResult unanswered =
        runTool({TVK_POLL_PATH, "-a", "0", "-o", "0.2", "-p", device.port(), "127.0.0.1", "5"});
    EXPECT_EQ(unanswered.status, 1);
    EXPECT_EQ(unanswered.out.find("Written"), std::string::npos) << unanswered.out;
    EXPECT_EQ(unanswered.err, "Write output (holding) register failed: Connection timed out\n");
}

// Standard output a pipe that nobody reads: the polls go on all the same,
// the tool ends when asked, and says how much output it could not give.
TEST_F(PollTool, OutputNobodyReadsNeverHoldsThePollsUp)
{
    int unread[2];
    ASSERT_EQ(::pipe2(unread, O_CLOEXEC), 0);
    // The writing end goes to the tool only: the shell makes it its
    // standard output. The tool goes through the emulator where there is one.
    const int writeEnd = ::fcntl(unread[1], F_DUPFD, 3);
    ::close(unread[1]);
    ASSERT_GE(writeEnd, 0);
    Args argv{"/bin/sh", "-c", "exec \"$@\" >/dev/fd/" + std::to_string(writeEnd), "sh"};
    const Args poll = tvktest::runnableCommand(command(TVK_POLL_PATH, {"--polls", "200", "-l", "10", "-c", "100"}));
    argv.insert(argv.end(), poll.begin(), poll.end());
    ChildProcess tool(argv);
    ::close(writeEnd);
    // 200 polls of 100 lines each are many times what the pipe holds.
    EXPECT_EQ(tool.waitForExit(60000), 0) << tool.errors();
    ::close(unread[0]);
    EXPECT_NE(tool.errors().find("--- 200 polls, 0 failed\n"), std::string::npos) << tool.errors();
    EXPECT_NE(tool.errors().find(" lines of output dropped: standard output did not take them\n"), std::string::npos)
        << tool.errors();
}

// A file of initial values for the slave simulator; removed with the object.
struct InitFile {
    std::string path;
    explicit InitFile(const std::string& text)
    {
        char name[] = "/tmp/tvk-poll-init-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0)
            return;
        if (::write(fd, text.data(), text.size()) == ssize_t(text.size()))
            path = name;
        ::close(fd);
    }
    ~InitFile() { ::unlink(path.c_str()); }
    InitFile(const InitFile&) = delete;
    InitFile& operator=(const InitFile&) = delete;
};

const char* const kSlaveInit = "hr 0 100 200 0x1234\nir 5 7 65535\ncoils 10 1 0 1\ndi 3 1 1\n";

// The project's own slave simulator as the device: what its initial-values
// file put in, the tool and mbpoll read alike, and a write reads back.
TEST(PollToolAgainstSlave, ReadsInitialValuesAndWritesReadBack)
{
    InitFile init(kSlaveInit);
    ASSERT_FALSE(init.path.empty());
    ChildProcess slave({TVK_SLAVE_PATH, "--port", "0", "--init", init.path});
    const std::string port = listeningPort(slave);
    ASSERT_FALSE(port.empty()) << slave.errors();

    const auto both = [&](Args args) {
        args.insert(args.begin(), {"-p", port, "-0", "-1"});
        args.push_back("127.0.0.1");
        Args ours{TVK_POLL_PATH};
        ours.insert(ours.end(), args.begin(), args.end());
        const ToolResult r = runTool(ours);
        EXPECT_EQ(r.status, 0) << r.err;
        if (haveMbpoll()) {
            Args theirs{"/usr/bin/mbpoll"};
            theirs.insert(theirs.end(), args.begin(), args.end());
            EXPECT_EQ(linesStartingWith(r.out, "["), linesStartingWith(runTool(theirs).out, "["));
        }
        return linesStartingWith(r.out, "[");
    };
    using Lines = std::vector<std::string>;
    EXPECT_EQ(both({"-r", "0", "-c", "3"}), (Lines{"[0]: \t100", "[1]: \t200", "[2]: \t4660"}));
    EXPECT_EQ(both({"-t", "3", "-r", "5", "-c", "2"}), (Lines{"[5]: \t7", "[6]: \t65535 (-1)"}));
    EXPECT_EQ(both({"-t", "0", "-r", "10", "-c", "3"}), (Lines{"[10]: \t1", "[11]: \t0", "[12]: \t1"}));
    EXPECT_EQ(both({"-t", "1", "-r", "2", "-c", "3"}), (Lines{"[2]: \t0", "[3]: \t1", "[4]: \t1"}));

    const ToolResult written =
        runTool({TVK_POLL_PATH, "-p", port, "-0", "-r", "20", "-t", "4:float", "127.0.0.1", "--", "-0.5", "1e6"});
    ASSERT_EQ(written.status, 0) << written.err;
    EXPECT_EQ(both({"-t", "4:float", "-r", "20", "-c", "2"}), (Lines{"[20]: \t-0.5", "[22]: \t1e+06"}));
}

// mbpoll's -u and -v: the slave's id as libmodbus reports it, and the
// frames as they go out and come in; and -R on a line without RS-485 mode.
TEST(PollToolAgainstSlave, SlaveIdFramesAndRs485)
{
    ChildProcess slave({TVK_SLAVE_PATH, "--port", "0"});
    const std::string port = listeningPort(slave);
    ASSERT_FALSE(port.empty()) << slave.errors();
    const ToolResult id = runTool({TVK_POLL_PATH, "-p", port, "-u", "-1", "127.0.0.1"});
    ASSERT_EQ(id.status, 0) << id.err;
    EXPECT_NE(id.out.find("Slave configuration...: address = 1, report slave id\n"), std::string::npos) << id.out;
    EXPECT_NE(id.out.find("Length: 10\nId    : 0xB4\nStatus: On\nData  : LMB3.1.6\n"), std::string::npos) << id.out;

    const ToolResult frames = runTool({TVK_POLL_PATH, "-p", port, "-0", "-r", "0", "-c", "2", "-1", "-v", "127.0.0.1"});
    ASSERT_EQ(frames.status, 0) << frames.err;
    EXPECT_NE(frames.err.find("[00][01][00][00][00][06][01][03][00][00][00][02]\nWaiting for a confirmation...\n"),
              std::string::npos) << frames.err;
    EXPECT_NE(frames.err.find("<00><01><00><00><00><07><01><03><04><00><00><00><00>\n"), std::string::npos)
        << frames.err;

    tvktest::PtyPair line;
    const ToolResult rs485 = runTool({TVK_POLL_PATH, "-m", "rtu", "-R", "-1", line.path()});
    EXPECT_EQ(rs485.status, 1);
    EXPECT_NE(rs485.err.find("RS-485 mode: the line does not take it"), std::string::npos) << rs485.err;
}

// Modbus/TCP Security between the two tools: a refusal in words a person
// can act on (OpenSSL's own only under -v), and this end's own mistake (a
// key that does not belong to its certificate) as bad usage, on both ends.
TEST(PollToolAgainstSlave, TlsRefusalsInWordsAndOwnMistakesExitWithTwo)
{
    std::string why;
    const std::string certs = tvktest::TestCertificates::folder(&why);
    ASSERT_FALSE(certs.empty()) << why;
    const auto file = [&](const char* name) { return certs + "/" + name; };
    ChildProcess slave({TVK_SLAVE_PATH, "--port", "0", "--tls", "--cert", file("server.pem"), "--key",
                        file("server.key"), "--ca", file("ca.pem"), "--roles", file("roles.rules")});
    const std::string port = listeningPort(slave);
    ASSERT_FALSE(port.empty()) << slave.errors();
    const auto poll = [&](const char* certificate, const char* key, bool verbose) {
        Args args{TVK_POLL_PATH, "-m", "tls", "-p", port, "--cert", file(certificate), "--key", file(key),
                  "--ca", file("ca.pem"), "-1", "localhost"};
        if (verbose)
            args.push_back("-v");
        return runTool(args);
    };
    const ToolResult stranger = poll("stranger.pem", "stranger.key", false);
    EXPECT_EQ(stranger.status, 1);
    EXPECT_NE(stranger.err.find("the server does not trust our certificate (unknown CA)"), std::string::npos)
        << stranger.err;
    EXPECT_EQ(stranger.err.find("SSL routines"), std::string::npos) << "OpenSSL's words only under -v";
    EXPECT_NE(poll("stranger.pem", "stranger.key", true).err.find("SSL routines"), std::string::npos);

    const ToolResult mismatched = poll("operator.pem", "viewer.key", false);
    EXPECT_EQ(mismatched.status, 2) << mismatched.err;
    EXPECT_NE(mismatched.err.find("does not belong to the certificate"), std::string::npos) << mismatched.err;

    ChildProcess wrongKey({TVK_SLAVE_PATH, "--port", "0", "--tls", "--cert", file("server.pem"), "--key",
                           file("viewer.key"), "--ca", file("ca.pem")});
    EXPECT_EQ(wrongKey.waitForExit(10000), 2) << wrongKey.errors();
}

// The slave simulator on a serial line, over linked pseudo terminals.
TEST(PollToolAgainstSlave, SerialLine)
{
    InitFile init(kSlaveInit);
    ASSERT_FALSE(init.path.empty());
    tvktest::PtyLink link;
    ASSERT_TRUE(link.ok());
    ChildProcess slave({TVK_SLAVE_PATH, "--serial", link.pathA(), "--parity", "none", "--slave-id", "7", "--init",
                       init.path});
    ASSERT_NE(slave.waitForLine("serving slave 7", 10000), "") << slave.errors();
    const auto poll = [&](Args args, Args values = {}) {
        Args argv{TVK_POLL_PATH, "-m", "rtu", "-P", "none", "-a", "7", "-0"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(link.pathB());
        argv.insert(argv.end(), values.begin(), values.end());
        return runTool(argv);
    };
    const ToolResult read = poll({"-1", "-r", "0", "-c", "3"});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(linesStartingWith(read.out, "["), (std::vector<std::string>{"[0]: \t100", "[1]: \t200", "[2]: \t4660"}));

    const ToolResult written = poll({"-t", "0", "-r", "30"}, {"1", "1", "0"});
    ASSERT_EQ(written.status, 0) << written.err;
    const ToolResult back = poll({"-1", "-t", "0", "-r", "30", "-c", "3", "--json"});
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_NE(back.out.find("\"values\":[1,1,0]"), std::string::npos) << back.out;
}

// A device that went away is polled again once it is back: the lost
// connection is made anew at the next poll.
TEST(PollToolAgainstSlave, PollsAgainOnceALostDeviceIsBack)
{
    ChildProcess slave({TVK_SLAVE_PATH, "--port", "0"});
    const std::string port = listeningPort(slave);
    ASSERT_FALSE(port.empty()) << slave.errors();
    ChildProcess tool({TVK_POLL_PATH, "-q", "-p", port, "-l", "20", "-o", "0.2", "127.0.0.1"});
    const auto values = [&] { return linesStartingWith(tool.output(), "[1]:").size(); };
    ASSERT_TRUE(waitForOutput(tool, [&] { return values() > 0; }, 10000)) << tool.errors();

    slave.signal(SIGTERM);
    EXPECT_EQ(slave.waitForExit(10000), 0);
    ASSERT_TRUE(waitForOutput(tool, [&] { return tool.errors().find(" failed: ") != std::string::npos; }, 10000))
        << tool.errors();
    const std::size_t before = values();

    ChildProcess again({TVK_SLAVE_PATH, "--port", port});
    ASSERT_EQ(listeningPort(again), port) << again.errors();
    EXPECT_TRUE(waitForOutput(tool, [&] { return values() > before; }, 10000)) << tool.errors();
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.waitForExit(10000), 1);   // some polls failed
}

// The same tool on a serial line: a pymodbus RTU slave (id 5, the tables
// above) on one end of a linked pair of pseudo terminals, the tool on the
// other. pymodbus serves the line without parity.
class PollToolRtu : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(link.ok());
        peer = std::make_unique<tvktest::PymodbusSerialPeer>(Args{"server", link.pathA(), "5"});
        ASSERT_FALSE(peer->waitForLine("serving", 20000).empty()) << peer->output();
    }
    Args command(const std::string& program, const Args& args) const
    {
        Args argv{program, "-m", "rtu", "-b", "19200", "-P", "none"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(link.pathB());
        return argv;
    }

    tvktest::PtyLink link;
    std::unique_ptr<tvktest::PymodbusSerialPeer> peer;
};

TEST_F(PollToolRtu, ReadsAsMbpollAndWritesReadBack)
{
    const std::vector<Args> reads = {{"-t", "0", "-r", "2", "-c", "7"}, {"-t", "3", "-r", "4", "-c", "3"},
                                     {"-t", "4:int", "-c", "2"}};
    for (const Args& read : reads) {
        Args once = read;
        once.insert(once.end(), {"-1", "-a", "5"});
        const ToolResult ours = runTool(command(TVK_POLL_PATH, once));
        ASSERT_EQ(ours.status, 0) << read[1] << "\n" << ours.err;
        const auto values = linesStartingWith(ours.out, "[");
        EXPECT_EQ(values.size(), std::size_t(std::stoi(read.back()))) << ours.out;
        if (haveMbpoll()) {
            // The configuration block and the lines after it, byte for byte.
            const ToolResult theirs = runTool(command("/usr/bin/mbpoll", once));
            EXPECT_EQ(fromConfiguration(ours.out), fromConfiguration(theirs.out)) << read[1] << "\n" << theirs.err;
        }
    }

    Args write = command(TVK_POLL_PATH, {"-a", "5", "-r", "30"});
    write.insert(write.end(), {"11", "12"});
    const ToolResult written = runTool(write);
    ASSERT_EQ(written.status, 0) << written.err;
    const ToolResult back = runTool(command(TVK_POLL_PATH, {"-a", "5", "-r", "30", "-c", "2", "-1"}));
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(linesStartingWith(back.out, "["), (std::vector<std::string>{"[30]: \t11", "[31]: \t12"}));
}

TEST_F(PollToolRtu, SilentSlaveAndMissingPortExitWithOne)
{
    // pymodbus leaves requests for other ids unanswered.
    const ToolResult silent = runTool(command(TVK_POLL_PATH, {"-a", "6", "-o", "0.2", "-1"}));
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.err.find("timed out"), std::string::npos) << silent.err;

    const ToolResult missing =
        runTool({TVK_POLL_PATH, "-m", "rtu", "-1", "--json", "/dev/tvk-no-such-port"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out.rfind("{\"time\":", 0), 0u) << missing.out;   // no diagnostic line before it
    EXPECT_NE(missing.out.find("/dev/tvk-no-such-port: "), std::string::npos) << missing.out;
}

} // namespace
