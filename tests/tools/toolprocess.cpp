#include "toolprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

extern char** environ;

namespace tvktest {

ToolProcess::ToolProcess(const std::vector<std::string>& argv)
{
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
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
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    m_out = out[0];
    m_err = err[0];
}

ToolProcess::~ToolProcess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0)
        ::close(m_out);
    if (m_err >= 0)
        ::close(m_err);
}

// Reads whatever arrives within timeoutMs; false once both pipes are at
// their end.
bool ToolProcess::pump(int timeoutMs)
{
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    if (m_out < 0 && m_err < 0)
        return false;
    if (::poll(fds, 2, timeoutMs) <= 0)
        return true;
    int* ends[2] = {&m_out, &m_err};
    std::string* texts[2] = {&m_result.out, &m_result.err};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buf[4096];
        const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
            texts[i]->append(buf, std::size_t(n));
        } else {
            ::close(*ends[i]);
            *ends[i] = -1;
        }
    }
    return m_out >= 0 || m_err >= 0;
}

bool ToolProcess::waitForOutput(bool (*done)(const std::string& out), int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(m_result.out)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !pump(int(left)))
            return done(m_result.out);
    }
    return true;
}

void ToolProcess::signal(int sig)
{
    if (m_pid > 0)
        ::kill(m_pid, sig);
}

ToolResult ToolProcess::finish(int timeoutMs)
{
    if (m_pid <= 0)
        return m_result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            m_result.timedOut = true;
            ::kill(m_pid, SIGKILL);
            break;
        }
        if (!pump(int(left)))
            break;
    }
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    m_result.status = !m_result.timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m_result;
}

ToolResult runTool(const std::vector<std::string>& argv, int timeoutMs)
{
    ToolProcess process(argv);
    return process.finish(timeoutMs);
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    return lines;
}

} // namespace tvktest
