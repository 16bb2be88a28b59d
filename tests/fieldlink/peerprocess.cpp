#include "peerprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tvktest {

PeerProcess::PeerProcess(const std::vector<std::string>& argv)
{
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    m_in = in[1];
    m_out = out[0];
    ::fcntl(m_out, F_SETFL, ::fcntl(m_out, F_GETFL) | O_NONBLOCK);
}

PeerProcess::~PeerProcess()
{
    if (m_pid > 0 && m_status == -1) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_in >= 0)
        ::close(m_in);
    if (m_out >= 0)
        ::close(m_out);
}

void PeerProcess::writeLine(const std::string& line)
{
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (m_in >= 0 && done < text.size()) {
        const ssize_t n = ::write(m_in, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

void PeerProcess::drain()
{
    char chunk[512];
    ssize_t n;
    while (m_out >= 0 && (n = ::read(m_out, chunk, sizeof chunk)) > 0) {
        m_buffer.append(chunk, std::size_t(n));
        m_all.append(chunk, std::size_t(n));
    }
}

bool PeerProcess::tryReadLine(std::string* line)
{
    drain();
    const std::size_t end = m_buffer.find('\n');
    if (end == std::string::npos)
        return false;
    *line = m_buffer.substr(0, end);
    m_buffer.erase(0, end + 1);
    return true;
}

bool PeerProcess::finished(int* status)
{
    drain();
    if (m_pid <= 0)
        return true;
    if (m_status == -1) {
        int s = 0;
        if (::waitpid(m_pid, &s, WNOHANG) != m_pid)
            return false;
        m_status = s;
        drain();
    }
    if (status)
        *status = m_status;
    return true;
}

} // namespace tvktest
