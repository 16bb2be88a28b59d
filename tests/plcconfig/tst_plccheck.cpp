// SPDX-License-Identifier: MIT
#include "childprocess.h"
#include "plcscriptfiles.h"

#include <rapidjson/document.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <initializer_list>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

using Position = std::pair<std::size_t, std::size_t>;   // line, column

// A script written with a '^' just before each place the checker must
// report; the marks are taken out and their lines and columns kept.
struct MarkedScript {
    std::string text;
    std::set<Position> places;

    explicit MarkedScript(const std::string& marked)
    {
        std::size_t line = 1;
        std::size_t column = 1;
        for (const char c : marked) {
            if (c == '^') {
                places.insert({line, column});
                continue;
            }
            text += c;
            if (c == '\n') {
                ++line;
                column = 1;
            } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
                ++column;   // a character, not the inside of one
            }
        }
    }
};

class PlcCheckTool : public PlcTest::ScriptFiles {
protected:
    // Runs the checker through the shell with the given arguments.
    ToolRun run(const std::string& arguments, const std::string& before = std::string())
    {
        ToolRun r;
        std::string command = before;
        for (const std::string& word : tvktest::runnableCommand({TVK_PLCCHECK_PATH}))
            command += word + " ";
        command += arguments + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return r;
        char buf[4096];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
            r.out.append(buf, n);
        const int status = pclose(pipe);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }

    ToolRun check(const std::string& path, const std::string& options = std::string())
    {
        return run(options + "'" + path + "'");
    }

    static void expectLines(const ToolRun& r, std::initializer_list<const char*> lines)
    {
        for (const char* line : lines)
            EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }

    // The places of the FILE:LINE:COLUMN lines about the given file.
    static std::set<Position> reportedPlaces(const std::string& out, const std::string& file)
    {
        std::set<Position> places;
        const std::regex line("^(.*):([0-9]+):([0-9]+): (error|warning): .*$");
        std::istringstream in(out);
        for (std::string l; std::getline(in, l);) {
            std::smatch m;
            if (std::regex_match(l, m, line) && m[1] == file)
                places.insert({std::stoul(m[2]), std::stoul(m[3])});
        }
        return places;
    }
};

const char* const fullSections = R"({"Protocol":{"Version":1,"Src":{"IP":"10.0.0.1","Port":1},
    "Host":{"IP":"10.0.0.2","Port":2}}},
    {"Type":{"ID":7}},{"Type":{"ID":1,"DataIDList":[1]}},
    {"Type":{"ID":9,"MoldList":[{"Type":1,"DataIDList":[1],"DataTypeList":[1],"DataStateList":[1],"DataValueList":[1]}]}})";

const std::string validScript = std::string("[") + fullSections + "]";

// Broken scripts, each place marked. Together they reach every kind of
// finding: lists, endpoints, mold blocks, condition trees, stopping
// elements, ignored and skipped members, missing sections, text that does
// not parse, nesting too deep, and columns after tabs and multi-byte
// characters.
const std::string brokenScripts[] = {
    R"([
  {"Protocol": ^{}},
  {"Type": {"ID": 1, "DataIDList": [1,
      ^"x"]}},
  {"Type": {"ID": 7, "CycleTime": ^"fast"}},
  ^5,
  {"Type": {"ID": 9}}
])",
    R"([{"Protocol":{"Version":1,"Src":^{},"Host":^{"IP":^7,"Port":2}}},
 {"Type":{"ID":7}},{"Type":{"ID":1,"DataIDList":[1]}},
 {"Type":{"ID":9,"MoldList":[
   {"Type":1,"DataIDList":^[],"DataTypeList":[1],"DataStateList":[1,^-1],"DataValueList":[1]},
   ^{"Type":1,"DataIDList":"ignored"},
   {"Type":2,"DataIDList":[2],"DataTypeList":[2],"DataStateList":[2],"DataValueList":[^true]}]}},
 {"Type":{"ID":17,"DataIDList":[3],"StartTrigger":[{"Condition":[^{}]}, ^5],
   "SendTrigger":^{},"StopTrigger":[{"Condition":[{"Type":1,"Params":[1]}, ^"c"]}]}},
 ^{"Type":{"ID":42}}, ^{"Other":1}])",
    "^[{\"Protocol\":{\"Version\":1,\"Src\":{\"IP\":^\"\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80\",\"Port\":1},"
    "\"Host\":{\"IP\":\"10.0.0.2\",\"Port\":^0}}},\r\n\t{\"Type\":{\"ID\":7,\"X\":^\"\xC3\xBC\"},\"Note\":^\"\xC3\xB6\"},"
    "{\"Type\":{\"ID\":1,\"CycleTime\":^\"\xC3\xA9\",\"DataIDList\":[^\"\xC3\x9F\"]}}]",
    "[\n  {\"Type\": {\"ID\": 1,^}}\n]",
    "\n\n   ^{\"Protocol\":{}}",
    "[\n\t" + std::string(127, '[') + "^[" + std::string(129, ']') + "\n]",
    "[^{}, {\"Type\":{\"ID\":^\"7\"}}]",
    "[{\"Type\":^{\"CycleTime\":1}}]",
    "[{\"Type\":^[]}]",
    "^[]",
};

} // namespace

TEST_F(PlcCheckTool, CompleteScriptPassesWithSummary)
{
    const ToolRun r = check(write(std::string("[") + fullSections +
                                  R"(,{"Type":{"ID":17,"GroupID":4,"DataIDList":[3],"StartTrigger":[{"Condition":[{"Type":2,"Params":[10,1.0]}]}],
                                  "SendTrigger":[],"StopTrigger":[]}}])"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("parse version: 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("triggers: 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("condition type 2 params [10, 0x3F800000 (float 1)]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("library: read to the end (isValid() true)\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("error:"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("warning:"), std::string::npos) << r.out;
}

TEST_F(PlcCheckTool, InvalidPartsAreListedWithTheirPathAndWhy)
{
    const std::string path = write(std::string("[") + fullSections +
                                   R"(,{"Type":{"ID":17,"DataIDList":[3,"x"],"StartTrigger":[{"Condition":[{}]},{"Other":1}],
                                   "SendTrigger":{},"StopTrigger":[{"Condition":[{"Type":1,"Params":[true]},5]}]}}])");
    const ToolRun r = check(path);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(path + ":4:"), std::string::npos) << r.out;
    expectLines(r, {
             ": error: [4].Type.DataIDList[1]: not an unsigned 32-bit integer; the list stops here\n",
             ": error: [4].Type.StartTrigger[1]: parameter set without a \"Condition\" array\n",
             ": error: [4].Type.SendTrigger: condition tree is not an array\n",
             ": error: [4].Type.StopTrigger[0].Condition[0].Params[0]: not a 32-bit integer or a fractional number; "
             "the list stops here\n",
             ": error: [4].Type.StopTrigger[0].Condition[1]: condition is not an object; the parameter set stops "
             "here\n",
             ": error: [4].Type.StartTrigger[0].Condition[0]: empty condition dropped\n"});
    // The library's own message, once, as the reader wrote it.
    const std::size_t message = r.out.find("Data Type Convert Error .....\n");
    EXPECT_NE(message, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Data Type Convert Error", message + 1), std::string::npos) << r.out;
}

TEST_F(PlcCheckTool, VerdictLineJudgesEveryPartAndTheLibrarysLineCannotBeTakenForIt)
{
    // The reading completes, so the root's own flag is set, yet a list is
    // not valid: the last line once said "root: valid" for a script that
    // exits 1, and later "root flag: valid" right above "NOT valid".
    const std::string path = write(std::string("[") + fullSections + R"(,{"Type":{"ID":1,"DataIDList":["x"]}}])");
    const ToolRun bad = check(path);
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("\nlibrary: read to the end (isValid() true)\n"), std::string::npos) << bad.out;
    EXPECT_EQ(bad.out.find(": valid"), std::string::npos) << bad.out;
    auto endsWith = [](const ToolRun& r, const std::string& verdict) {
        EXPECT_GE(r.out.size(), verdict.size());
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), verdict.size())), verdict) << r.out;
    };
    endsWith(bad, "\nverdict: NOT valid (2 errors, 0 warnings)\n");
    endsWith(check(path, "--lenient "), "\nverdict: NOT valid (1 error, 1 warning)\n");

    // What the library lets pass fails the script, unless the engineer
    // asks for the library's judgement.
    const std::string noted = write(R"([{"Note":1},)" + validScript.substr(1), "noted.json");
    const ToolRun strict = check(noted);
    EXPECT_EQ(strict.status, 1) << strict.out;
    endsWith(strict, "\nverdict: NOT valid (1 error, 0 warnings; --lenient would pass it)\n");
    const ToolRun lenient = check(noted, "--lenient ");
    EXPECT_EQ(lenient.status, 0) << lenient.out;
    endsWith(lenient, "\nverdict: valid (0 errors, 1 warning)\n");
}

TEST_F(PlcCheckTool, WhatTheReaderDoesNotTakeAsWrittenAndWhatAPanelCannotUseFailUnlessLenient)
{
    const std::string path = write(R"([
 {"Protocol":{"Version":1,"Src":{"IP":"192.168.10.300","Port":502},"Host":{"IP":"10.0.0.2","Port":70000}}},
 {"Type":{"ID":7,"CycleTime":0}},
 {"Type":{"ID":1,"CycleTim":200,"CycleTime":"200","DataIDList":[100001,0]}},
 {"Type":{"ID":9,"MoldList":[{"Type":1,"DataIDList":[1,2,3],"DataTypeList":[1,1],"DataStateList":[0,0,0],
   "DataValueList":[1,2,3.5]}]}},
 {"Type":{"ID":17,"CycleTime":200.5,"DataIDList":[3],"StartTrigger":[],"SendTrigger":[],"StopTrigger":[]}}])");
    const char* const findings[] = {
        "[0].Protocol.Src.IP: \"192.168.10.300\" is not an IPv4 address\n",
        "[0].Protocol.Host.Port: port 70000 is outside 1..65535\n",
        "[1].Type.CycleTime: cycle time 0 ms: nothing can run every 0 ms\n",
        "[2].Type.CycleTim: unknown key; ignored (did you mean \"CycleTime\"?)\n",
        "[2].Type.CycleTime: \"200\" is a string, not an unsigned 32-bit integer; the reader ignores it and keeps 500\n",
        "[2].Type.DataIDList[1]: identifier 0 stands for nothing bound\n",
        "[3].Type.MoldList[0].DataTypeList: DataTypeList has 2 entries and DataIDList 3: the lists of a block go "
        "side by side\n",
        "[4].Type.CycleTime: unknown key; ignored\n"};
    const ToolRun strict = check(path);
    EXPECT_EQ(strict.status, 1) << strict.out;
    const ToolRun lenient = check(path, "--lenient ");
    EXPECT_EQ(lenient.status, 0) << lenient.out;
    for (const char* f : findings) {
        EXPECT_NE(strict.out.find(std::string(": error: ") + f), std::string::npos) << f << strict.out;
        EXPECT_NE(lenient.out.find(std::string(": warning: ") + f), std::string::npos) << f << lenient.out;
    }
    EXPECT_NE(strict.out.find("\nverdict: NOT valid (8 errors, 0 warnings; --lenient would pass it)\n"),
              std::string::npos) << strict.out;

    // A fraction where an integer belongs says what the reader kept.
    const ToolRun fraction = check(write(std::string("[") + fullSections + R"(,{"Type":{"ID":1,"CycleTime":200.5,
        "DataIDList":[1]}}])", "fraction.json"));
    EXPECT_NE(fraction.out.find(": error: [4].Type.CycleTime: 200.5 is not an unsigned 32-bit integer; the reader "
                                "ignores it and keeps 500\n"),
              std::string::npos) << fraction.out;
}

TEST_F(PlcCheckTool, WarnsWhereTheReaderIgnoresOrReplacesAndWhereNoHostCanConnect)
{
    const std::string path = write(R"([
 {"Protocol":{"Version":1,"Src":{"IP":"10.0.0.1","Port":70000},"Host":{"IP":"plc.local","Port":2}},"No\nte":1},
 {"Type":{"ID":7,"Version":4}},
 {"Type":{"ID":7,"CycleTime":20},"Protocol":{}},
 {"Type":{"ID":1,"DataIDList":[1]}},
 {"Type":{"ID":9,"MoldList":[{"Type":1,"DataIDList":[1],"DataTypeList":[1],"DataStateList":[1],"DataValueList":[1],
   "Size":4}]}},
 {"Type":{"ID":17,"DataIDList":[3],"StartTrigger":[{"Condition":[{"Type":1,"Params":[1],"Unit":"ms"}],"Condition":[]}],
   "SendTrigger":[],"StopTrigger":[],"Cycle":1}}])");
    const ToolRun r = check(path, "--lenient ");
    EXPECT_EQ(r.status, 0) << r.out;
    expectLines(r, {
             ": warning: [0].Protocol.Src.Port: port 70000 is outside 1..65535\n",
             ": warning: [0].Protocol.Host.IP: \"plc.local\" is not an IPv4 address\n",
             ": warning: [0].No\\u000Ate: unknown key; ignored\n",
             ": warning: [1]: line-status section (code 7) replaced by the one at [2]: the last one counts\n",
             ": warning: [2].Protocol: ignored: the element is a section, chosen by its \"Type\"\n",
             ": warning: [4].Type.MoldList[0].Size: unknown key; ignored\n",
             ": warning: [5].Type.StartTrigger[0].Condition[0].Unit: unknown key; ignored\n",
             ": warning: [5].Type.StartTrigger[0].Condition: ignored: only the first \"Condition\" counts\n",
             ": warning: [5].Type.Cycle: unknown key; ignored\n",
             "\nverdict: valid (0 errors, 9 warnings)\n"});
    // The reader kept the later line-status section, as the warning says;
    // the replaced one is not judged further.
    EXPECT_NE(r.out.find("line status: ID 7, cycle time 20,"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[1].Type.Version"), std::string::npos) << r.out;
    // Without --lenient each of them fails the script, at the same place.
    const ToolRun strict = check(path);
    EXPECT_EQ(strict.status, 1) << strict.out;
    EXPECT_EQ(reportedPlaces(strict.out, path), reportedPlaces(r.out, path)) << strict.out;
    EXPECT_EQ(strict.out.find("warning:"), std::string::npos) << strict.out;
}

TEST_F(PlcCheckTool, FractionalParametersShowTheirNumberBesideTheirBits)
{
    // The empty condition is dropped, so the held condition is the second.
    const ToolRun r = check(write(std::string("[") + fullSections + R"(,{"Type":{"ID":17,"DataIDList":[3],
        "StartTrigger":[{"Condition":[{},{"Type":3,"Params":[0.5,3,-1.5e0,4294967295]}]}],"SendTrigger":[],"StopTrigger":[]}}])"));
    EXPECT_NE(r.out.find("condition type 3 params [0x3F000000 (float 0.5), 3, 0xBFC00000 (float -1.5), -1]\n"),
              std::string::npos) << r.out;
}

TEST_F(PlcCheckTool, OnlyWhatTheResultHoldsIsJudged)
{
    // The bad actual-data list and empty protocol are replaced by later
    // elements, and the second block of type 1 is dropped: none is held.
    const ToolRun r = check(write(std::string(R"([{"Type":{"ID":1,"DataIDList":[1,"x"]}},{"Protocol":{}},)") +
                                  fullSections + R"(,{"Type":{"ID":9,"MoldList":[
                                  {"Type":1,"DataIDList":[1],"DataTypeList":[1],"DataStateList":[1],"DataValueList":[1]},
                                  {"Type":1,"DataIDList":"bad"}]}}])"),
                            "--lenient ");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("error:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": warning: [6].Type.MoldList[1]: block of type 1 dropped: an earlier block has that type\n"),
              std::string::npos) << r.out;
    // Which of two sections with one code the reader keeps.
    EXPECT_NE(r.out.find(": warning: [0]: actual-data section (code 1) replaced by the one at [4]: the last one counts\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": warning: [1]: protocol element replaced by the one at [2]: the last one counts\n"),
              std::string::npos) << r.out;

    // The held section is the last one, and its own findings stay.
    const ToolRun last = check(write(std::string("[") + fullSections + R"(,{"Type":{"ID":1,"DataIDList":[]}}])",
                                     "last.json"));
    EXPECT_EQ(last.status, 1) << last.out;
    EXPECT_NE(last.out.find(": error: [4].Type.DataIDList: identifier list is empty\n"), std::string::npos)
        << last.out;
}

TEST_F(PlcCheckTool, EveryPlaceHasItsLineAndColumn)
{
    int n = 0;
    for (const std::string& marked : brokenScripts) {
        const MarkedScript script(marked);
        const std::string path = write(script.text, "broken" + std::to_string(++n) + ".json");
        const ToolRun r = check(path);
        EXPECT_EQ(r.status, 1) << script.text << "\n" << r.out;
        EXPECT_EQ(reportedPlaces(r.out, path), script.places) << script.text << "\n" << r.out;
    }
}

TEST_F(PlcCheckTool, JsonOutputParsesAndHoldsTheSamePlaces)
{
    int n = 0;
    for (const std::string& marked : brokenScripts) {
        const MarkedScript script(marked);
        const std::string path = write(script.text, "broken" + std::to_string(++n) + ".json");
        const ToolRun r = run("--json '" + path + "'");
        EXPECT_EQ(r.status, 1) << r.out;
        rapidjson::Document doc;
        doc.Parse(r.out.c_str());
        ASSERT_FALSE(doc.HasParseError()) << r.out;
        ASSERT_TRUE(doc.IsObject()) << r.out;
        EXPECT_EQ(std::string(doc["file"].GetString()), path);
        EXPECT_FALSE(doc["valid"].GetBool());
        EXPECT_EQ(doc["status"].GetInt(), 1);
        EXPECT_GT(doc["errors"].GetUint(), 0u);
        EXPECT_EQ(doc["errors"].GetUint() + doc["warnings"].GetUint(), doc["findings"].Size());
        std::set<Position> places;
        for (const auto& f : doc["findings"].GetArray()) {
            places.insert({f["line"].GetUint(), f["column"].GetUint()});
            EXPECT_TRUE(f["path"].IsString());
            EXPECT_TRUE(f["message"].IsString());
            const std::string severity = f["severity"].GetString();
            EXPECT_TRUE(severity == "error" || severity == "warning") << severity;
        }
        EXPECT_EQ(places, script.places) << script.text << "\n" << r.out;
    }

    // The library's lines go into the object, not around it.
    const ToolRun valid = run("--json '" + write(validScript, "valid.json") + "'");
    EXPECT_EQ(valid.status, 0) << valid.out;
    rapidjson::Document doc;
    doc.Parse(valid.out.c_str());
    ASSERT_FALSE(doc.HasParseError()) << valid.out;
    EXPECT_TRUE(doc["valid"].GetBool());
    EXPECT_EQ(doc["errors"].GetUint(), 0u);
    EXPECT_EQ(doc["warnings"].GetUint(), 0u);
    ASSERT_EQ(doc["messages"].Size(), 1u);
    EXPECT_EQ(std::string(doc["messages"][0].GetString()), "parse version: 1");
    EXPECT_TRUE(doc["sections"]["moldSet"].GetBool());
    EXPECT_EQ(doc["findings"].Size(), 0u);
}

TEST_F(PlcCheckTool, QuietPrintsTheVerdictOnly)
{
    const std::string good = write(validScript, "good.json");
    const ToolRun r = run("--quiet '" + good + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, good + ": valid\n");
    const std::string bad = write(R"([{"Type":{"ID":1,"DataIDList":["x"]}}])", "bad.json");
    const ToolRun b = run("-q '" + bad + "'");
    EXPECT_EQ(b.status, 1);
    EXPECT_EQ(b.out, bad + ": NOT valid\n");
}

TEST_F(PlcCheckTool, PipesFifosAndStandardInputAreReadOnce)
{
    // Once read twice: the second read of a pipe found nothing and every
    // section came out not valid, and a FIFO blocked the second open.
    const std::string path = write(validScript);
    for (const std::string& command : {"cat '" + path + "' | ", std::string()}) {
        const ToolRun r = command.empty() ? run("/dev/stdin < '" + path + "'") : run("/dev/stdin", command);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("library: read to the end (isValid() true)\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("NOT valid"), std::string::npos) << r.out;
    }
    const ToolRun dash = run("- < '" + path + "'");
    EXPECT_EQ(dash.status, 0) << dash.out;
    EXPECT_NE(dash.out.find("script: <stdin>\n"), std::string::npos) << dash.out;

    const std::string fifo = dir() + "/script.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The writer is in the background; timeout turns a hang into a failure.
    const ToolRun r = run("--quiet '" + fifo + "'", "(cat '" + path + "' > '" + fifo + "' &); timeout 30 ");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, fifo + ": valid\n");
    std::remove(fifo.c_str());
}

TEST_F(PlcCheckTool, ExitStatusSaysWhoIsAtFault)
{
    // The script at fault: 1, with the reason.
    const ToolRun bom = check(write("\xEF\xBB\xBF[]", "bom.json"));
    EXPECT_EQ(bom.status, 1);
    // Named as what it is: the parser calls it only an invalid value.
    EXPECT_NE(bom.out.find(":1:1: error: the text does not parse: it begins with a UTF-8 byte-order mark (BOM), "
                           "which JSON does not allow; save it without one\n"),
              std::string::npos) << bom.out;
    EXPECT_EQ(check(write(std::string("[]\0", 3), "nul.json")).status, 1);
    const ToolRun deep = check(write(std::string(100000, '[') + std::string(100000, ']'), "deep.json"));
    EXPECT_EQ(deep.status, 1);
    EXPECT_NE(deep.out.find(":1:129: error: nested deeper than 128 levels\n"), std::string::npos) << deep.out;
    const ToolRun stopped = check(write(std::string("[") + fullSections + R"(,{"Type":{"ID":"17"}}])", "stop.json"));
    EXPECT_EQ(stopped.status, 1);
    EXPECT_NE(stopped.out.find(": error: [4].Type.ID: section code is not an unsigned 32-bit integer; the elements "
                               "after it are not read\n"),
              std::string::npos) << stopped.out;
    EXPECT_NE(stopped.out.find("library: stopped reading (isValid() false)\n"), std::string::npos) << stopped.out;

    // The input cannot be read, or the command line is wrong: 2.
    const ToolRun missing = check(dir() + "/missing.json");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.out.find("tvk-plccheck: " + dir() + "/missing.json: cannot open: "), std::string::npos)
        << missing.out;
    const ToolRun directory = check(dir());
    EXPECT_EQ(directory.status, 2);
    EXPECT_NE(directory.out.find(": cannot read: "), std::string::npos) << directory.out;
    for (const char* usage : {"", "--no-such-option x.json", "--json --quiet x.json", "a.json b.json"}) {
        const ToolRun r = run(usage);
        EXPECT_EQ(r.status, 2) << usage;
        // Named, so that it stands out in a script's log.
        EXPECT_EQ(r.out.rfind("tvk-plccheck: ", 0), 0u) << usage << "\n" << r.out;
    }
    for (const char* version : {"-V", "--version"}) {
        const ToolRun r = run(version);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("tvk-plccheck ", 0), 0u) << r.out;
    }

    const ToolRun help = run("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--json", "--quiet", "--lenient", "standard input"})
        EXPECT_NE(help.out.find(option), std::string::npos) << help.out;
}

TEST_F(PlcCheckTool, EndlessInputStopsPastTheSizeLimit)
{
    // Read by the checker itself, so its size is not known beforehand: it
    // stops one byte past the limit, and the library refuses the text.
    const ToolRun endless = check("/dev/zero");
    EXPECT_EQ(endless.status, 1);
    EXPECT_NE(endless.out.find("/dev/zero:1:1: error: longer than the limit of 134217728 bytes\n"),
              std::string::npos) << endless.out;
}
