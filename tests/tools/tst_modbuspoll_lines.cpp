// SPDX-License-Identifier: MIT
// What tvk-modbus-poll prints: mbpoll's table lines, the slave lists, the
// exception codes, -q and -v, and the words of its usage errors.
#include "polltooltest.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>
#include <utility>
#include <vector>

using namespace polltest;

namespace {

TEST_F(PollTool, TableLinesAreMbpollsByteForByte)
{
    if (!haveMbpoll())
        GTEST_SKIP() << "mbpoll is not installed";
    const std::vector<Args> reads = {
        {"-t", "4:hex", "-0", "-r", "0", "-c", "2", "-a", "1,3:4"},
        {"-t", "3:float", "-B", "-r", "5", "-c", "2", "-o", "0.5"},
        {"-t", "0", "-r", "3", "-c", "4", "-l", "250"},
        {"-t", "1", "-c", "3", "-a", "4:2"},
        {"-t", "4:int", "-c", "2"},
        {"-r", "99", "-c", "5"},   // refused with an exception: no values
    };
    for (Args read : reads) {
        read.push_back("-1");
        const ToolResult ours = poll(read);
        const ToolResult theirs = mbpoll(read);
        EXPECT_EQ(ours.status, theirs.status) << read[1] << "\n" << ours.err << theirs.err;
        EXPECT_NE(fromConfiguration(ours.out), "") << ours.out;
        EXPECT_EQ(fromConfiguration(ours.out), fromConfiguration(theirs.out)) << read[1];
    }
    const std::vector<std::pair<Args, Args>> writes = {
        {{"-r", "71"}, {"5", "6"}},
        {{"-t", "0", "-r", "76"}, {"1"}},
    };
    for (const auto& w : writes) {
        const ToolResult ours = pollWrite(w.first, w.second);
        Args argv = command("/usr/bin/mbpoll", w.first);
        argv.insert(argv.end(), w.second.begin(), w.second.end());
        const ToolResult theirs = runTool(argv);
        EXPECT_EQ(ours.status, 0) << ours.err;
        EXPECT_EQ(fromConfiguration(ours.out), fromConfiguration(theirs.out));
    }
}

TEST_F(PollTool, ExceptionIsGivenByNumberAndName)
{
    // Past the device's 100 registers.
    const ToolResult text = poll({"-1", "-r", "99", "-c", "5"});
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.err, "Read output (holding) register failed: exception 2 (Illegal data address)\n");

    const ToolResult write = pollWrite({"-t", "0", "-r", "101"}, {"1"});
    EXPECT_EQ(write.status, 1);
    EXPECT_EQ(write.err, "Write discrete output (coil) failed: exception 2 (Illegal data address)\n");

    const ToolResult json = poll({"-1", "--json", "-a", "9", "-r", "99", "-c", "5"});
    EXPECT_EQ(json.status, 1);
    rapidjson::Document doc;
    doc.Parse(json.out.c_str());
    ASSERT_TRUE(!doc.HasParseError() && doc.IsObject()) << json.out;
    EXPECT_EQ(doc["poll"].GetInt(), 1);
    EXPECT_EQ(doc["slave"].GetInt(), 9);
    EXPECT_STREQ(doc["error"].GetString(), "exception 2 (Illegal data address)");
    ASSERT_TRUE(doc.HasMember("exception") && doc["exception"].IsObject()) << json.out;
    EXPECT_EQ(doc["exception"]["code"].GetInt(), 2);
    EXPECT_STREQ(doc["exception"]["name"].GetString(), "Illegal data address");
    EXPECT_FALSE(doc.HasMember("values"));
}

TEST_F(PollTool, SlaveListIsPolledInTurnEachRound)
{
    const ToolResult r = poll({"--json", "--polls", "2", "-l", "20", "-a", "3,1:2", "-t", "3", "-r", "7"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::pair<int, int>> expected = {{1, 3}, {1, 1}, {1, 2}, {2, 3}, {2, 1}, {2, 2}};
    std::vector<std::pair<int, int>> seen;
    for (const std::string& line : linesStartingWith(r.out, "")) {
        rapidjson::Document doc;
        doc.Parse(line.c_str());
        ASSERT_TRUE(!doc.HasParseError() && doc.IsObject()) << line;
        seen.emplace_back(doc["poll"].GetInt(), doc["slave"].GetInt());
        ASSERT_TRUE(doc["values"].IsArray() && doc["values"].Size() == 1) << line;
        EXPECT_EQ(doc["values"][0].GetInt(), 2006);
    }
    EXPECT_EQ(seen, expected) << r.out;
    EXPECT_NE(r.err.find("--- 2 polls, 6 requests, 0 failed\n"), std::string::npos) << r.err;
}

TEST_F(PollTool, QuietLeavesTheValuesVerboseAddsTheRequests)
{
    const ToolResult quiet = poll({"-q", "-1", "-t", "3", "-r", "5", "-c", "2"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "[5]: \t2004\n[6]: \t2005\n");
    EXPECT_EQ(quiet.err, "");

    const ToolResult verbose = poll({"-q", "-v", "-1", "-t", "3", "-r", "5", "-c", "2"});
    EXPECT_EQ(verbose.status, 0);
    EXPECT_EQ(verbose.out, quiet.out);
    const std::string where = "127.0.0.1:" + port();
    for (const std::string& line : {"connecting to " + where + "\n", "connected to " + where + "\n",
                                    std::string("request to slave 1: function 4 (read input registers), address 4, "
                                                "count 2\n"),
                                    std::string("slave 1 answered after ")})
        EXPECT_NE(verbose.err.find(line), std::string::npos) << line << verbose.err;

    const ToolResult write = pollWrite({"-v", "-q", "-t", "4:int", "-r", "73"}, {"70000"});
    EXPECT_EQ(write.status, 0);
    EXPECT_EQ(write.out, "");
    EXPECT_NE(write.err.find("request to slave 1: function 16 (write holding registers), address 72, count 2\n"),
              std::string::npos) << write.err;
}

TEST_F(PollTool, UsageErrorsSayWhatIsWrongInWords)
{
    const std::vector<std::pair<Args, std::string>> cases = {
        {{"--polls", "0"}, "--polls: the number of polls must be 1 or more, not 0"},
        {{"--polls", "-2"}, "--polls: the number of polls must be 1 or more, not -2"},
        {{"-o", "11"}, "-o: the timeout must be 0.01 to 10 s, not 11"},
        {{"-l", "fast"}, "-l: \"fast\" is not a whole number"},
        {{"-c", "0"}, "-c: the number of values must be 1 to 2000, not 0"},
        {{"-a", "1,x"}, "-a: \"1,x\" is not a slave address or list (such as 1, 1,3,5 or 1:5)"},
        {{"-a", "2:300"}, "-a: slave 300 is outside 0 to 255"},
        {{"-R"}, "-R: RS-485 mode is for a serial line (-m rtu)"},
        {{"-m", "rtu", "-R", "-F"}, "-R: -R and -F exclude each other"},
        {{"-m", "tls"}, "-m: tls needs --cert, --key and --ca"},
    };
    for (const auto& c : cases) {
        const ToolResult r = poll(c.first);
        EXPECT_EQ(r.status, 2) << c.second;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "tvk-modbus-poll: " + c.second);
        EXPECT_EQ(r.out, "");
    }
    const ToolResult listWrite = pollWrite({"-a", "1,2"}, {"5"});
    EXPECT_EQ(listWrite.status, 2);
    EXPECT_EQ(listWrite.err.rfind("tvk-modbus-poll: -a: a slave list is for reading", 0), 0u) << listWrite.err;

    // A value that is no number is not called out of range.
    const std::vector<std::pair<Args, std::string>> values = {
        {{"abc"}, "value \"abc\" is not a whole number (-32768 to 65535)"},
        {{"70000"}, "value \"70000\" is out of range (-32768 to 65535)"},
        {{"99999999999999999999"}, "value \"99999999999999999999\" is out of range (-32768 to 65535)"}};
    for (const auto& v : values) {
        const ToolResult r = pollWrite({"-t", "4", "-r", "1"}, v.first);
        EXPECT_EQ(r.status, 2) << v.second;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "tvk-modbus-poll: values: " + v.second);
    }
    // A misspelt option is named with the one it most likely meant.
    const ToolResult misspelt = poll({"--polz", "3"});
    EXPECT_EQ(misspelt.status, 2);
    EXPECT_NE(misspelt.err.find("\ndid you mean --polls instead of --polz?\n"), std::string::npos) << misspelt.err;
}

TEST_F(PollTool, SlaveIdBytesThatAreNoTextAreShownEscaped)
{
    // pymodbus ends its id with the run indicator, where libmodbus puts it
    // second: the byte 0xFF lands among the text.
    const ToolResult r = poll({"-u", "-1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Data  : modbus\\xFF\n"), std::string::npos) << r.out;
    const ToolResult json = poll({"-u", "-1", "--json"});
    EXPECT_NE(json.out.find("\"data\":\"modbus\\\\xFF\"}"), std::string::npos) << json.out;
}

} // namespace
