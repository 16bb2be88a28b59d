#include "toolprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

extern char** environ;

namespace tvktest {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

ToolProcess::ToolProcess(const std::vector<std::string>& argv)
{
    int out[2];
    int err[2];
    if (argv.empty() || ::pipe2(out, O_CLOEXEC) != 0)
        return;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return;
    }
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    m_out.fd = out[0];
    m_err.fd = err[0];
}

ToolProcess::~ToolProcess()
{
    if (m_pid > 0 && waitForExit(0) == -1 && m_status == -1) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_out.fd, m_err.fd})
        if (fd >= 0)
            ::close(fd);
}

bool ToolProcess::pump(int timeoutMs)
{
    pollfd fds[2] = {{m_out.fd, POLLIN, 0}, {m_err.fd, POLLIN, 0}};
    if (m_out.fd < 0 && m_err.fd < 0)
        return false;
    if (::poll(fds, 2, timeoutMs) <= 0)
        return true;
    for (int i = 0; i < 2; ++i) {
        Stream& s = i == 0 ? m_out : m_err;
        if (s.fd < 0 || !fds[i].revents)
            continue;
        char buf[4096];
        const ssize_t got = ::read(s.fd, buf, sizeof buf);
        if (got > 0) {
            s.text.append(buf, static_cast<std::size_t>(got));
        } else {
            ::close(s.fd);
            s.fd = -1;
        }
    }
    return m_out.fd >= 0 || m_err.fd >= 0;
}

std::string ToolProcess::waitForLine(const std::string& text, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::size_t end;
        while ((end = m_out.text.find('\n', m_out.scanned)) != std::string::npos) {
            const std::string line = m_out.text.substr(m_out.scanned, end - m_out.scanned);
            m_out.scanned = end + 1;
            if (line.find(text) != std::string::npos)
                return line;
        }
        const int left = msLeft(deadline);
        if (left == 0 || !pump(left))
            return std::string();
    }
}

void ToolProcess::signal(int signal)
{
    if (m_pid > 0 && m_status == -1)
        ::kill(m_pid, signal);
}

int ToolProcess::waitForExit(int timeoutMs)
{
    if (m_pid <= 0)
        return -1;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_status == -1) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        const int left = msLeft(deadline);
        if (left == 0)
            return -1;
        // Reading keeps a chatty process from blocking on a full pipe.
        if (!pump(std::min(left, 20)))
            ::poll(nullptr, 0, std::min(left, 20));
    }
    for (int i = 0; i < 1000 && pump(0); ++i) {
    }
    return m_status < 128 ? m_status : -1;
}

} // namespace tvktest
