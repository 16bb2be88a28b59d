#include "demo_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Polls `done` every few milliseconds until it holds or the time is up.
template <class F>
bool waitUntil(F done, int timeoutMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done())
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

DemoProcess::~DemoProcess() { stop(); }

bool DemoProcess::start(const std::vector<std::string>& argv, const std::string& logPath)
{
    stop();
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_error = std::strerror(rc);
        return false;
    }
    m_pid = pid;
    m_error.clear();
    return true;
}

bool DemoProcess::running()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

int DemoProcess::stop()
{
    if (m_pid <= 0)
        return -1;
    const pid_t pid = m_pid;
    m_pid = -1;
    int status = 0;
    ::kill(pid, SIGTERM);
    const bool ended = waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 2000);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int demoFreePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0
        && ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(s);
    return port;
}

bool demoWaitForPort(int port, int timeoutMs)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<unsigned short>(port));
    return waitUntil(
        [&] {
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const bool ok = s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            if (s >= 0)
                ::close(s);
            return ok;
        },
        timeoutMs);
}

bool demoWaitForPath(const std::string& path, int timeoutMs)
{
    struct stat st {};
    return waitUntil([&] { return ::stat(path.c_str(), &st) == 0; }, timeoutMs);
}

bool demoHaveProgram(const char* program)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t from = 0;
    while (from <= dirs.size()) {
        std::size_t to = dirs.find(':', from);
        if (to == std::string::npos)
            to = dirs.size();
        const std::string candidate = dirs.substr(from, to - from) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0)
            return true;
        from = to + 1;
    }
    return false;
}

void demoRemoveTree(const std::string& dir)
{
    if (dir.empty())
        return;
    ::nftw(dir.c_str(),
           [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 8,
           FTW_DEPTH | FTW_PHYS);
}
