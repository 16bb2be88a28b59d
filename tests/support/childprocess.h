// SPDX-License-Identifier: MIT
#ifndef TVKTEST_CHILDPROCESS_H
#define TVKTEST_CHILDPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace tvktest {

// The command that starts argv[0], named by its path, with the arguments
// given. A program built for this process's own machine goes through the
// emulator that TVK_TEST_EMULATOR names, words split at spaces: the tests of
// a cross build run under qemu-user, and where binfmt_misc is missing (as
// in a container) the kernel cannot start such a program by itself. The
// host's programs (python3, mbpoll, a shell) start as they are.
std::vector<std::string> runnableCommand(const std::vector<std::string>& argv);

// A program run as a process of its own: a tool under test, an independent
// peer (pymodbus, mbpoll), a server measured apart from its load. Its
// standard input is a pipe the caller writes; its standard output, and its
// standard error unless that is inherited, are pipes read without ever
// blocking, so a test can keep its own event loop running while the child
// talks to a server in it. A child still running when the object goes is
// killed and reaped.
class ChildProcess {
public:
    // Where the child's standard error goes: read like its output, or
    // straight to this process's own, so that a peer's complaints land in
    // the test's log and a peer that runs long never fills a pipe nobody
    // reads.
    enum class Errors { Read, Inherited };

    // argv goes through runnableCommand().
    explicit ChildProcess(const std::vector<std::string>& argv, Errors errors = Errors::Read);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    // Writes one line to the child's standard input; a child that has gone
    // loses it (the caller is not ended by SIGPIPE).
    void writeLine(const std::string& line);
    // Closes the child's standard input: it reads end of file.
    void closeInput();

    // Takes the next complete line of output, without its end, if there is
    // one; never waits.
    bool tryReadLine(std::string* line);
    // Takes lines of output until one contains `text` and answers that one;
    // an empty string when none came within timeoutMs or the output ended.
    // The lines passed over are taken too.
    std::string waitForLine(const std::string& text, int timeoutMs);

    void signal(int signal);

    // True once the child has ended, never waiting; *waitStatus then holds
    // the status as waitpid() gives it.
    bool finished(int* waitStatus = nullptr);
    // Waits at most timeoutMs for the child to end; answers its exit status,
    // or -1 when it did not exit normally in time (still running, ended by a
    // signal, never started).
    int waitForExit(int timeoutMs);
    // The exit status once the child has exited normally, -1 otherwise.
    int exitStatus() const;

    // Everything read so far, lines taken or not.
    const std::string& output() const { return m_out.text; }
    const std::string& errors() const { return m_err.text; }

private:
    struct Stream {
        int fd = -1;
        std::string text;
    };
    void drain();
    // Waits at most timeoutMs for either pipe to have something; false once
    // both are at their end.
    bool waitReadable(int timeoutMs);

    pid_t m_pid = -1;
    int m_in = -1;
    Stream m_out;
    Stream m_err;
    std::size_t m_taken = 0;   // output before this offset was taken as lines
    bool m_ended = false;
    int m_waitStatus = 0;
};

} // namespace tvktest

#endif
