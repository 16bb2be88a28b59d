#include "pymodbuspeer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

extern char** environ;

namespace tvktest {

PymodbusPeer::PymodbusPeer()
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string script = std::string(TVK_PEERS_DIR) + "/pymodbus_server.py";
    char* const argv[] = {const_cast<char*>("/usr/bin/python3"), const_cast<char*>(script.c_str()),
                          const_cast<char*>("0"), nullptr};
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv, environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    m_out = out[0];
}

PymodbusPeer::~PymodbusPeer()
{
    stop();
}

int PymodbusPeer::waitForPort(int timeoutMs)
{
    if (m_port || m_out < 0)
        return m_port;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        pollfd p{m_out, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, int(left)) <= 0)
            return 0;
        char buf[64];
        const ssize_t n = ::read(m_out, buf, sizeof buf);
        if (n <= 0)
            return 0;   // the peer ended before it served
        line.append(buf, std::size_t(n));
    }
    m_port = std::atoi(line.c_str());
    return m_port;
}

void PymodbusPeer::stop()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    if (m_out >= 0) {
        ::close(m_out);
        m_out = -1;
    }
}

} // namespace tvktest
