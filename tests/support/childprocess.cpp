// SPDX-License-Identifier: MIT
#include "childprocess.h"

#include "deadline.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace tvktest {

namespace {

constexpr std::size_t kChunkBytes = 4096;
// How long a wait for the child's end sleeps between two looks at it.
constexpr int kExitPollMs = 20;

void closeIfOpen(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Writes all of `text` to a pipe whose reader may have gone. SIGPIPE is held
// back for this thread meanwhile, and taken if the write raised it, so that
// a child that ended costs the line and not the caller.
void writeHoldingSigpipe(int fd, const std::string& text)
{
    sigset_t pipeSignal;
    sigset_t before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    bool broken = false;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            broken = errno == EPIPE;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (broken && !sigismember(&before, SIGPIPE)) {
        const timespec none{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// An ELF file's identity (class and byte order) and machine, or an empty
// string for a file that is not one.
std::string elfMachine(const std::string& path)
{
    constexpr std::size_t kIdentityBytes = 20;   // e_ident and e_type, then e_machine at 18
    char head[kIdentityBytes] = {};
    std::ifstream file(path, std::ios::binary);
    if (!file.read(head, sizeof head) || std::memcmp(head, "\x7f" "ELF", 4) != 0)
        return std::string();
    return std::string(head + 4, 2) + std::string(head + 18, 2);
}

} // namespace

std::vector<std::string> runnableCommand(const std::vector<std::string>& argv)
{
    const char* emulator = std::getenv("TVK_TEST_EMULATOR");
    if (!emulator || !*emulator || argv.empty() || argv[0].find('/') == std::string::npos)
        return argv;
    // Under qemu-user /proc/self/exe is the emulated program, not qemu.
    static const std::string own = elfMachine("/proc/self/exe");
    if (own.empty() || elfMachine(argv[0]) != own)
        return argv;
    std::vector<std::string> command;
    std::istringstream words(emulator);
    for (std::string word; words >> word;)
        command.push_back(word);
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

ChildProcess::ChildProcess(const std::vector<std::string>& program, Errors errors)
{
    const std::vector<std::string> argv = runnableCommand(program);
    // Standard input, output and error: [stream][0] reads, [stream][1] writes.
    int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    const int streams = errors == Errors::Read ? 3 : 2;
    bool ready = !argv.empty();
    for (int i = 0; ready && i < streams; ++i)
        ready = ::pipe2(pipes[i], O_CLOEXEC) == 0;
    if (ready) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipes[0][0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pipes[1][1], STDOUT_FILENO);
        if (streams == 3)
            posix_spawn_file_actions_adddup2(&actions, pipes[2][1], STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        // A bare program name is looked up on PATH, as a shell would.
        if (posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    // The child holds its own copies of its ends.
    closeIfOpen(pipes[0][0]);
    closeIfOpen(pipes[1][1]);
    closeIfOpen(pipes[2][1]);
    m_in = pipes[0][1];
    m_out.fd = pipes[1][0];
    m_err.fd = pipes[2][0];
    if (m_pid <= 0) {
        closeIfOpen(m_in);
        closeIfOpen(m_out.fd);
        closeIfOpen(m_err.fd);
        return;
    }
    for (int fd : {m_out.fd, m_err.fd})
        if (fd >= 0)
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && !finished()) {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    closeIfOpen(m_in);
    closeIfOpen(m_out.fd);
    closeIfOpen(m_err.fd);
}

void ChildProcess::writeLine(const std::string& line)
{
    if (m_in >= 0)
        writeHoldingSigpipe(m_in, line + "\n");
}

void ChildProcess::closeInput()
{
    closeIfOpen(m_in);
}

void ChildProcess::drain()
{
    char chunk[kChunkBytes];
    for (Stream* s : {&m_out, &m_err}) {
        while (s->fd >= 0) {
            const ssize_t n = ::read(s->fd, chunk, sizeof chunk);
            if (n > 0)
                s->text.append(chunk, static_cast<std::size_t>(n));
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            else
                closeIfOpen(s->fd);   // the end of that output
        }
    }
}

bool ChildProcess::waitReadable(int timeoutMs)
{
    if (m_out.fd < 0 && m_err.fd < 0)
        return false;
    // poll() passes over the negative descriptor of a stream at its end.
    pollfd fds[2] = {{m_out.fd, POLLIN, 0}, {m_err.fd, POLLIN, 0}};
    ::poll(fds, 2, timeoutMs);
    drain();
    return m_out.fd >= 0 || m_err.fd >= 0;
}

bool ChildProcess::tryReadLine(std::string* line)
{
    drain();
    const std::size_t end = m_out.text.find('\n', m_taken);
    if (end == std::string::npos)
        return false;
    *line = m_out.text.substr(m_taken, end - m_taken);
    m_taken = end + 1;
    return true;
}

std::string ChildProcess::waitForLine(const std::string& text, int timeoutMs)
{
    const Deadline deadline(timeoutMs);
    std::string line;
    for (;;) {
        while (tryReadLine(&line))
            if (line.find(text) != std::string::npos)
                return line;
        if (deadline.passed() || m_out.fd < 0)
            return std::string();
        waitReadable(deadline.leftMs());
    }
}

void ChildProcess::signal(int signal)
{
    if (m_pid > 0 && !m_ended)
        ::kill(m_pid, signal);
}

bool ChildProcess::finished(int* waitStatus)
{
    drain();
    if (m_pid <= 0)
        return true;
    if (!m_ended) {
        int status = 0;
        pid_t reaped;
        while ((reaped = ::waitpid(m_pid, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        if (reaped != m_pid)
            return false;
        m_ended = true;
        m_waitStatus = status;
        drain();   // all it wrote is in the pipes now
    }
    if (waitStatus)
        *waitStatus = m_waitStatus;
    return true;
}

int ChildProcess::waitForExit(int timeoutMs)
{
    if (m_pid <= 0)
        return -1;
    const Deadline deadline(timeoutMs);
    while (!finished()) {
        if (deadline.passed())
            return -1;
        // Reading meanwhile keeps a chatty child from blocking on a full pipe.
        const int slice = std::min(deadline.leftMs(), kExitPollMs);
        if (!waitReadable(slice))
            ::poll(nullptr, 0, slice);
    }
    return exitStatus();
}

int ChildProcess::exitStatus() const
{
    return m_ended && WIFEXITED(m_waitStatus) ? WEXITSTATUS(m_waitStatus) : -1;
}

} // namespace tvktest
