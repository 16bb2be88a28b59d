#include "plcscriptfiles.h"

#include <sys/wait.h>

#include <cstdio>

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

class PlcCheckTool : public PlcTest::ScriptFiles {
protected:
    ToolRun run(const std::string& path)
    {
        ToolRun r;
        const std::string command = std::string(TVK_PLCCHECK_PATH) + " '" + path + "' 2>&1";
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
};

const char* const fullSections = R"({"Protocol":{"Version":1,"Src":{"IP":"a","Port":1},"Host":{"IP":"b","Port":2}}},
    {"Type":{"ID":7}},{"Type":{"ID":1,"DataIDList":[1]}},
    {"Type":{"ID":9,"MoldList":[{"Type":1,"DataIDList":[1],"DataTypeList":[1],"DataStateList":[1],"DataValueList":[1]}]}})";

} // namespace

TEST_F(PlcCheckTool, CompleteScriptPassesWithSummary)
{
    const ToolRun r = run(write(std::string("[") + fullSections +
                                R"(,{"Type":{"ID":17,"GroupID":4,"DataIDList":[3],"StartTrigger":[{"Condition":[{"Type":2,"Params":[1.0]}]}],
                                "SendTrigger":[],"StopTrigger":[]}}])"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("parse version: 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("triggers: 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("condition type 2 params [1065353216]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("root: valid\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("not valid:"), std::string::npos) << r.out;
}

TEST_F(PlcCheckTool, InvalidPartsAreListedWithTheirPlace)
{
    const ToolRun r = run(write(std::string("[") + fullSections +
                                R"(,{"Type":{"ID":17,"DataIDList":[3,"x"],"StartTrigger":[{"Condition":[{}]},{"Other":1}],
                                "SendTrigger":{},"StopTrigger":[{"Condition":[{"Type":1,"Params":[true]},5]}]}}])"));
    EXPECT_EQ(r.status, 1) << r.out;
    for (const char* line : {
             "  [4].Type.DataIDList[1]: not an unsigned 32-bit integer; the list stops here\n",
             "  [4].Type.StartTrigger[1]: parameter set without a \"Condition\" array\n",
             "  [4].Type.SendTrigger: condition tree is not an array\n",
             "  [4].Type.StopTrigger[0].Condition[0].Params[0]: not a 32-bit integer or a fractional number; the list stops here\n",
             "  [4].Type.StopTrigger[0].Condition[1]: condition is not an object; the parameter set stops here\n",
             "  [4].Type.StartTrigger[0].Condition[0]: empty condition dropped\n",
             "Data Type Convert Error .....\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }
}

TEST_F(PlcCheckTool, OnlyWhatTheResultHoldsIsJudged)
{
    // The bad actual-data list and empty protocol are replaced by later
    // elements, and the second block of type 1 is dropped: none is held.
    const ToolRun r = run(write(std::string(R"([{"Type":{"ID":1,"DataIDList":[1,"x"]}},{"Protocol":{}},)") +
                                fullSections + R"(,{"Type":{"ID":9,"MoldList":[
                                {"Type":1,"DataIDList":[1],"DataTypeList":[1],"DataStateList":[1],"DataValueList":[1]},
                                {"Type":1,"DataIDList":"bad"}]}}])"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("not valid:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("dropped:\n  [6].Type.MoldList[1]: block of type 1 dropped: an earlier block has that type\n"),
              std::string::npos) << r.out;

    // The held section is the last one, and its own findings stay.
    const ToolRun last = run(write(std::string("[") + fullSections + R"(,{"Type":{"ID":1,"DataIDList":[]}}])",
                                   "last.json"));
    EXPECT_EQ(last.status, 1) << last.out;
    EXPECT_NE(last.out.find("not valid:\n  [4].Type.DataIDList: identifier list is not a non-empty array\n"),
              std::string::npos) << last.out;
}

TEST_F(PlcCheckTool, StoppedRootExitsTwoAndNamesTheElement)
{
    const ToolRun r = run(write(std::string("[") + fullSections + R"(,{"Type":{"ID":"17"}}])"));
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("  [4].Type: section body without an unsigned \"ID\"; the elements after it are not read\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("root: NOT valid\n"), std::string::npos) << r.out;
}

TEST_F(PlcCheckTool, UnparsableMissingOrTooDeepExitsTwo)
{
    EXPECT_EQ(run(write("\xEF\xBB\xBF[]", "bom.json")).status, 2);
    EXPECT_EQ(run(write(std::string("[]\0", 3), "nul.json")).status, 2);
    const ToolRun deep = run(write(std::string(100000, '[') + std::string(100000, ']'), "deep.json"));
    EXPECT_EQ(deep.status, 2);
    EXPECT_NE(deep.out.find("nested deeper than 128 levels"), std::string::npos) << deep.out;
    const ToolRun missing = run(dir() + "/missing.json");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.out.find("tvk-plccheck: cannot open "), std::string::npos) << missing.out;
    const ToolRun directory = run(dir());
    EXPECT_EQ(directory.status, 2);
    EXPECT_NE(directory.out.find("tvk-plccheck: cannot read "), std::string::npos) << directory.out;
    const ToolRun object = run(write(R"({"Protocol":{}})", "object.json"));
    EXPECT_EQ(object.status, 2);
    EXPECT_NE(object.out.find("(root): the root is not an array"), std::string::npos) << object.out;
}
