// SPDX-License-Identifier: MIT
#include "demo_process.h"

#include "demo_lifecycle.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
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

// How long a program asked to end may take before it is killed.
constexpr int kGraceMs = 2000;

// Polls `done` every few milliseconds until it holds or the time is up;
// a `stoppable` wait also gives up once the demo is to stop.
template <class F>
bool waitUntil(F done, int timeoutMs, bool stoppable = false)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done())
            return true;
        if (Clock::now() >= end || (stoppable && demoStopRequested()))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int exitStatusOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

DemoProcess::~DemoProcess() { stop(); }

bool DemoProcess::spawn(const std::vector<std::string>& argv, const posix_spawn_file_actions_t& actions)
{
    stop();
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // The program starts as a shell would start it: the panel ignores
    // SIGPIPE and catches the stop signals, its children do neither.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signo : {SIGPIPE, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&defaults, signo);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        m_error = std::strerror(rc);
        return false;
    }
    m_pid = pid;
    m_status = 0;
    m_error.clear();
    return true;
}

bool DemoProcess::start(const std::vector<std::string>& argv, const std::string& logPath)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const bool started = spawn(argv, actions);
    posix_spawn_file_actions_destroy(&actions);
    return started;
}

bool DemoProcess::startReading(const std::vector<std::string>& argv, int* readEnd)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        const int err = errno;
        m_error = std::strerror(err);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    const bool started = spawn(argv, actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (!started) {
        ::close(fds[0]);
        return false;
    }
    *readEnd = fds[0];
    return true;
}

bool DemoProcess::tryReap()
{
    int status = 0;
    const pid_t rc = ::waitpid(m_pid, &status, WNOHANG);
    if (rc == 0 || (rc < 0 && errno == EINTR))
        return false;
    m_status = rc == m_pid ? exitStatusOf(status) : -1;
    m_pid = -1;
    return true;
}

bool DemoProcess::running()
{
    return m_pid > 0 && !tryReap();
}

void DemoProcess::stopAll(std::initializer_list<DemoProcess*> processes)
{
    // A stopped program only acts on SIGTERM once continued.
    for (DemoProcess* p : processes) {
        if (p->m_pid > 0) {
            ::kill(p->m_pid, SIGTERM);
            ::kill(p->m_pid, SIGCONT);
        }
    }
    waitUntil(
        [&] {
            bool gone = true;
            for (DemoProcess* p : processes)
                if (p->m_pid > 0 && !p->tryReap())
                    gone = false;
            return gone;
        },
        kGraceMs);
    for (DemoProcess* p : processes) {
        if (p->m_pid <= 0)
            continue;
        ::kill(p->m_pid, SIGKILL);
        int status = 0;
        while (::waitpid(p->m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        p->m_status = exitStatusOf(status);
        p->m_pid = -1;
    }
}

bool DemoProcess::signal(int signo)
{
    if (!running()) {
        m_error = "not running";
        return false;
    }
    if (::kill(m_pid, signo) != 0) {
        const int err = errno;
        m_error = std::strerror(err);
        return false;
    }
    return true;
}

void DemoProcess::terminate()
{
    if (signal(SIGTERM))
        ::kill(m_pid, SIGCONT);
}

bool DemoProcess::suspend() { return signal(SIGSTOP); }

bool DemoProcess::resume() { return signal(SIGCONT); }

int DemoProcess::stop()
{
    if (m_pid <= 0)
        return -1;
    stopAll({this});
    return m_status;
}

int DemoProcess::wait()
{
    if (m_pid <= 0)
        return -1;
    if (!waitUntil([this] { return tryReap(); }, kGraceMs))
        stopAll({this});
    return m_status;
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
        timeoutMs, true);
}

bool demoWaitForPath(const std::string& path, int timeoutMs)
{
    struct stat st {};
    return waitUntil([&] { return ::stat(path.c_str(), &st) == 0; }, timeoutMs, true);
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
