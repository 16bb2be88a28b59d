// SPDX-License-Identifier: MIT
// What the script reader does with paths that are not plain script files,
// with scripts past the size limit, and what it says about why a read failed.
#include "plcscriptfiles.h"
#include "plctestsupport.h"

#include "tvkmessagehandler.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>

using namespace Quorvan;

#if defined(__SANITIZE_ADDRESS__)
#define TVK_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TVK_TEST_ASAN 1
#endif
#endif

namespace {

class PlcFile : public PlcTest::ScriptFiles {
protected:
    // A file of the given size that holds no data blocks.
    std::string sparse(const std::string& name, off_t size)
    {
        const std::string path = write("", name);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        const bool grown = fd >= 0 && ::ftruncate(fd, size) == 0;
        if (fd >= 0)
            ::close(fd);
        return grown ? path : std::string();
    }

    void expectRefused(const CtvkParsePlcCommon& r, CtvkParsePlcCommon::ReadError why, const char* text)
    {
        EXPECT_FALSE(r.isValid());
        EXPECT_EQ(r.error(), why);
        EXPECT_NE(r.errorString().find(text), std::string::npos) << r.errorString();
        EXPECT_FALSE(r.protocol().isValid());
        EXPECT_TRUE(r.triggers().empty());
    }
};

const std::string smallScript = R"([{"Type":{"ID":7,"CycleTime":20}}])";

} // namespace

TEST_F(PlcFile, DevicesAndDirectoriesAreRefusedUnread)
{
    // /dev/zero once grew the buffer until the allocation failure ended the
    // process; no device is read at all now.
    expectRefused(CtvkParsePlcCommon("/dev/zero"), CtvkParsePlcCommon::NotRegularFile, "character device");
    expectRefused(CtvkParsePlcCommon(dir()), CtvkParsePlcCommon::NotRegularFile, "directory");
    expectRefused(CtvkParsePlcCommon(dir() + "/missing.json"), CtvkParsePlcCommon::OpenError,
                  "No such file");
}

TEST_F(PlcFile, FifoWithoutWriterIsRefusedAtOnce)
{
    const std::string fifo = dir() + "/script.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto reading = std::async(std::launch::async, [&] { return CtvkParsePlcCommon(fifo); });
    if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Lets a reader blocked in open() go, so that the test can end.
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        ADD_FAILURE() << "reading a FIFO without a writer blocked";
    }
    expectRefused(reading.get(), CtvkParsePlcCommon::NotRegularFile, "FIFO");
    ::unlink(fifo.c_str());
}

TEST_F(PlcFile, FileLargerThanTheLimitIsRefusedWithoutReading)
{
    // 100 GB once ended the process at once; one byte past the limit is
    // refused too. Both hold no data blocks, so they cost nothing to make.
    for (const off_t size : {off_t(100) * 1000 * 1000 * 1000, off_t(CtvkParsePlcCommon::kMaxScriptSizeBytes) + 1}) {
        const std::string path = sparse("big" + std::to_string(size) + ".json", size);
        ASSERT_FALSE(path.empty()) << "cannot make a sparse file of " << size << " bytes";
        const auto start = std::chrono::steady_clock::now();
        expectRefused(CtvkParsePlcCommon(path), CtvkParsePlcCommon::TooLarge, "limit");
        // Refused from the size alone: nothing near the file's size is read.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

TEST_F(PlcFile, PseudoFileThatReportsNoSizeIsNotRead)
{
    // Regular, of size 0, and yet it reads as text. Its neighbour
    // /proc/self/pagemap reads as hundreds of gigabytes the same way.
    expectRefused(CtvkParsePlcCommon("/proc/self/maps"), CtvkParsePlcCommon::EmptyScript, "empty");
}

TEST_F(PlcFile, PathThatIsNotUtf8IsRefused)
{
    // Taken as UTF-8, the byte 0xE9 would name another file.
    const std::string path = write(smallScript, "script-\xE9.json");
    expectRefused(CtvkParsePlcCommon(path), CtvkParsePlcCommon::OpenError, "UTF-8");
    EXPECT_TRUE(CtvkParsePlcCommon(write(smallScript, "script-\xC3\xA9.json")).isValid());
}

TEST_F(PlcFile, TextPastTheLimitIsRefusedUntouched)
{
    // Refused from its length alone: the reader never looks at the bytes
    // (the sanitizer build would catch a read past the short buffer).
    CtvkParsePlcCommon past;
    past.parseText(smallScript.data(), CtvkParsePlcCommon::kMaxScriptSizeBytes + 1);
    expectRefused(past, CtvkParsePlcCommon::TooLarge, "134217728");
}

TEST_F(PlcFile, AllocationFailureIsCaught)
{
#ifdef TVK_TEST_ASAN
    GTEST_SKIP() << "the sanitizer reserves more address space than an address-space limit leaves";
#else
    // Inside the limit, but more than the child may allocate: the reader
    // must report it, not let std::bad_alloc end the process.
    const std::string path = sparse("within.json", off_t(100) * 1024 * 1024);
    ASSERT_FALSE(path.empty());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + 32 * 1024 * 1024;
        const struct rlimit limit{room, room};
        if (::setrlimit(RLIMIT_AS, &limit) != 0)
            ::_exit(3);
        const CtvkParsePlcCommon r(path);
        ::_exit(!r.isValid() && r.error() == CtvkParsePlcCommon::OutOfMemory ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the reader ended the process (signal " << WTERMSIG(status) << ")";
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST_F(PlcFile, ReasonNamesTheFaultAndWhere)
{
    struct Case {
        std::string text;
        CtvkParsePlcCommon::ReadError error;
        std::size_t offset;
        std::size_t element;
    };
    const Case cases[] = {
        {"[1,]", CtvkParsePlcCommon::SyntaxError, 3, 0},
        {std::string("[]\0[1]", 6), CtvkParsePlcCommon::SyntaxError, 2, 0},
        {"  [" + std::string(200, '['), CtvkParsePlcCommon::TooDeep, 2 + CtvkParsePlcCommon::kMaxNestingLevels, 0},
        {" \n {\"Protocol\":{}}", CtvkParsePlcCommon::RootNotArray, 3, 0},
        {R"([{"Protocol":{}}, {}, 5, {}])", CtvkParsePlcCommon::ElementNotObject, 0, 2},
        {R"([[]])", CtvkParsePlcCommon::ElementNotObject, 0, 0},
        {R"([{}, {"Type":[]}])", CtvkParsePlcCommon::SectionNotObject, 0, 1},
        {R"([{}, {}, {"Type":{"ID":-1}}])", CtvkParsePlcCommon::SectionWithoutId, 0, 2},
        {" ", CtvkParsePlcCommon::SyntaxError, 1, 0},
        {"", CtvkParsePlcCommon::EmptyScript, 0, 0},
    };
    for (const Case& c : cases) {
        CtvkParsePlcCommon r;
        r.parseText(c.text);
        EXPECT_FALSE(r.isValid()) << c.text;
        EXPECT_EQ(r.error(), c.error) << c.text;
        EXPECT_EQ(r.errorOffset(), c.offset) << c.text;
        EXPECT_EQ(r.errorElement(), c.element) << c.text;
        EXPECT_FALSE(r.errorString().empty()) << c.text;
    }

    // A complete read clears the reason of an earlier one on the same object.
    CtvkParsePlcCommon r;
    r.parseText("[5]");
    EXPECT_EQ(r.error(), CtvkParsePlcCommon::ElementNotObject);
    r.parse(write(smallScript));
    EXPECT_TRUE(r.isValid());
    EXPECT_EQ(r.error(), CtvkParsePlcCommon::NoError);
    EXPECT_TRUE(r.errorString().empty());
}

namespace {
std::vector<std::string> routedLines;
} // namespace

TEST_F(PlcFile, InstalledHandlerTakesTheLinesAndStandardOutputStaysClean)
{
    // One handler for every library linked: this program has no fieldlink,
    // whose weak installer is then left out.
    routedLines.clear();
    tvkInstallMessageHandler([](const char* library, const char* line) {
        routedLines.push_back(std::string(library) + ": " + line);
    });
    CtvkParsePlcCommon script;
    const std::string out = PlcTest::stdoutOf([&] { script.parseText(R"([{"Protocol":{"Version":3}}])"); });
    tvkInstallMessageHandler(nullptr);
    EXPECT_EQ(out, "");
    EXPECT_EQ(routedLines, std::vector<std::string>{"plcconfig: parse version: 3"});
}

TEST_F(PlcFile, TextAndFileReadTheSame)
{
    const std::string script = R"([{"Protocol":{"Version":4,"Src":{"IP":"a","Port":1}}},{"Type":{"ID":7}},
        {"Type":{"ID":17,"DataIDList":[1],"StartTrigger":[{"Condition":[{"Type":1,"Params":[1,"x"]}]}]}}])";
    CtvkParsePlcCommon fromFile;
    CtvkParsePlcCommon fromText;
    const std::string fileOut = PlcTest::stdoutOf([&] { fromFile.parse(write(script)); });
    const std::string textOut = PlcTest::stdoutOf([&] { fromText.parseText(script); });
    EXPECT_EQ(fileOut, PlcTest::convertError + "parse version: 4\n");
    EXPECT_EQ(textOut, fileOut);
    EXPECT_TRUE(fromText.isValid());
    EXPECT_EQ(fromText.lineStatus().version(), 4u);
    ASSERT_EQ(fromText.triggers().size(), 1u);
    EXPECT_FALSE(fromText.triggers()[0].startTrigger().triggerParams()[0].conditions()[0].params().isValid());
}
