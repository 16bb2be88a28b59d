// SPDX-License-Identifier: MIT
// The shared support itself: what every fixture's leak check and every
// process test stands on.
#include "childprocess.h"
#include "descriptors.h"
#include "frames.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kExitMs = 10000;   // generous: the machine may be loaded

using tvktest::ChildProcess;

TEST(ChildProcess, KeepsOutputAndErrorsApartAndGivesTheExitStatus)
{
    ChildProcess child({"/bin/sh", "-c", "echo one; echo two >&2; echo three; exit 3"});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.waitForLine("thr", kExitMs), "three");
    std::string line;
    EXPECT_FALSE(child.tryReadLine(&line)) << "the lines passed over are taken too";
    EXPECT_EQ(child.waitForExit(kExitMs), 3);
    EXPECT_EQ(child.output(), "one\nthree\n");
    EXPECT_EQ(child.errors(), "two\n");
    EXPECT_EQ(child.waitForLine("", kExitMs), "") << "the output has ended";
}

TEST(ChildProcess, ReadsLinesWrittenToItAndEndsAtEndOfInput)
{
    ChildProcess cat({"/bin/cat"});
    cat.writeLine("first");
    cat.writeLine("second");
    EXPECT_EQ(cat.waitForLine("", kExitMs), "first");
    EXPECT_EQ(cat.waitForLine("", kExitMs), "second");
    cat.closeInput();
    EXPECT_EQ(cat.waitForExit(kExitMs), 0);
}

TEST(ChildProcess, ASignalledChildHasNoExitStatus)
{
    ChildProcess child({"/bin/sleep", "60"});
    child.signal(SIGTERM);
    EXPECT_EQ(child.waitForExit(kExitMs), -1);
    int status = 0;
    ASSERT_TRUE(child.finished(&status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(child.exitStatus(), -1);
}

TEST(ChildProcess, GoingKillsAndReapsTheChildAndClosesItsPipes)
{
    const int before = tvktest::openDescriptors();
    pid_t pid = -1;
    {
        ChildProcess child({"/bin/sleep", "60"});
        pid = child.pid();
        ASSERT_GT(pid, 0);
        EXPECT_FALSE(child.finished());
    }
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD) << "the child was not reaped";
    EXPECT_EQ(tvktest::openDescriptors(), before);
}

TEST(ChildProcess, AMissingProgramDoesNotStartAndLeavesNothingOpen)
{
    const int before = tvktest::openDescriptors();
    {
        ChildProcess missing({"/nonexistent/program"});
        EXPECT_FALSE(missing.started());
        EXPECT_EQ(missing.waitForExit(0), -1);
        EXPECT_TRUE(missing.finished());
    }
    EXPECT_EQ(tvktest::openDescriptors(), before);
}

// The path of this test program; under qemu-user the emulated program's.
std::string ownProgram()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

// TVK_TEST_EMULATOR set for one scope, as it was before afterwards.
class EmulatorNamed {
public:
    explicit EmulatorNamed(const char* words)
    {
        if (const char* before = std::getenv(kName))
            m_before = before;
        if (words)
            ::setenv(kName, words, 1);
        else
            ::unsetenv(kName);
    }
    ~EmulatorNamed()
    {
        if (m_before.empty())
            ::unsetenv(kName);
        else
            ::setenv(kName, m_before.c_str(), 1);
    }

private:
    static constexpr const char* kName = "TVK_TEST_EMULATOR";
    std::string m_before;
};

TEST(ChildProcess, OnlyProgramsOfThisMachineGoThroughTheNamedEmulator)
{
    using Command = std::vector<std::string>;
    const std::string self = ownProgram();
    ASSERT_FALSE(self.empty());
    // This program's ELF head with another machine in it (e_machine, at 18).
    char other[] = "/tmp/tvk-other-machine-XXXXXX";
    const int fd = ::mkstemp(other);
    ASSERT_GE(fd, 0);
    std::string head(64, '\0');
    std::ifstream(self, std::ios::binary).read(&head[0], static_cast<std::streamsize>(head.size()));
    head[18] = static_cast<char>(head[18] ^ 0x40);
    EXPECT_EQ(::write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    ::close(fd);
    {
        EmulatorNamed named("qemu-test  -L /sysroot");
        EXPECT_EQ(tvktest::runnableCommand({self, "-x"}), (Command{"qemu-test", "-L", "/sysroot", self, "-x"}));
        EXPECT_EQ(tvktest::runnableCommand({other}), Command{other});
        EXPECT_EQ(tvktest::runnableCommand({"true"}), Command{"true"}) << "a bare name is the host's";
    }
    {
        EmulatorNamed none(nullptr);
        EXPECT_EQ(tvktest::runnableCommand({self}), Command{self});
    }
    ::unlink(other);
}

// Under a cross build's emulator, this is what the tools' tests rest on.
TEST(ChildProcess, StartsAProgramOfThisMachine)
{
    ChildProcess self({ownProgram(), "--gtest_list_tests", "--gtest_filter=ChildProcess.StartsAProgramOfThisMachine"});
    EXPECT_EQ(self.waitForLine("StartsAProgramOfThisMachine", kExitMs), "  StartsAProgramOfThisMachine");
    EXPECT_EQ(self.waitForExit(kExitMs), 0) << self.errors();
}

TEST(ChildProcess, WritingToAnEndedChildDoesNotEndTheCaller)
{
    ChildProcess child({"/bin/true"});
    ASSERT_EQ(child.waitForExit(kExitMs), 0);
    child.writeLine("nobody reads this");   // SIGPIPE would end the test program
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

TEST(Descriptors, CountFollowsWhatIsOpened)
{
    const int before = tvktest::openDescriptors();
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tvktest::openDescriptors(), before + 1);
    EXPECT_GE(tvktest::highestOpenDescriptor(), fd);
    ::close(fd);
    EXPECT_EQ(tvktest::openDescriptors(), before);
}

TEST(Descriptors, LowNumbersTakenPutTheNextAboveThemAndComeBack)
{
    if (!tvktest::LowDescriptorsTaken::possible())
        GTEST_SKIP() << "the descriptor limit stays below " << FD_SETSIZE;
    const int before = tvktest::openDescriptors();
    {
        tvktest::LowDescriptorsTaken taken;
        EXPECT_GE(tvktest::LowDescriptorsTaken::next(), FD_SETSIZE);
    }
    EXPECT_LT(tvktest::LowDescriptorsTaken::next(), FD_SETSIZE);
    EXPECT_EQ(tvktest::openDescriptors(), before);
}

TEST(Frames, RtuCrcAndMbapHeaderAreThoseOnTheWire)
{
    // Read 10 holding registers from slave 1: a frame every Modbus text shows.
    EXPECT_EQ(tvktest::rtuFrame({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}),
              (tvktest::Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    const tvktest::Bytes request = tvktest::readRequest(0x1234, 4, 0x0102, 3, 0x11);
    EXPECT_EQ(request, (tvktest::Bytes{0x12, 0x34, 0, 0, 0, 6, 0x11, 4, 0x01, 0x02, 0, 3}));
    EXPECT_EQ(tvktest::mbapFrameLength(request), request.size());
    EXPECT_EQ(tvktest::mbapFrameLength(tvktest::Bytes(request.begin(), request.begin() + 5)), 0u);
}

} // namespace
