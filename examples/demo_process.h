// SPDX-License-Identifier: MIT
#ifndef DEMO_PROCESS_H
#define DEMO_PROCESS_H

#include <spawn.h>

#include <initializer_list>
#include <string>
#include <vector>

// A child program the demo starts and stops: the slave simulators, socat and
// mbpoll. Its output goes to a log file, so that it never mixes with the
// panel's view, or into a pipe the panel reads.
class DemoProcess {
public:
    DemoProcess() = default;
    ~DemoProcess();
    DemoProcess(const DemoProcess&) = delete;
    DemoProcess& operator=(const DemoProcess&) = delete;

    // Starts argv[0] with the arguments; answers false (with errno's text in
    // error()) when it could not be started.
    bool start(const std::vector<std::string>& argv, const std::string& logPath);
    // The same with the program's output in a pipe; *readEnd gets the end
    // to read (close-on-exec), which the caller closes.
    bool startReading(const std::vector<std::string>& argv, int* readEnd);
    // Ends the program (SIGTERM, then SIGKILL after a grace period) and
    // reaps it, stopped or not. Answers its exit status, or -1 when it was
    // not running.
    int stop();
    // Asks the program to end (SIGTERM, continued if stopped) and returns
    // at once; stop(), start() or running() reap it later.
    void terminate();
    // Stops the program where it is (SIGSTOP) and continues it (SIGCONT):
    // a device that goes silent without going away. False, with the reason
    // in error(), when it is not running.
    bool suspend();
    bool resume();
    // Waits for the program to end by itself, then ends it as stop() does.
    // Answers its exit status, or -1 when it was not running.
    int wait();
    // Ends several at once, with one grace period for all of them.
    static void stopAll(std::initializer_list<DemoProcess*> processes);
    // Answers true while the program runs; reaps it when it has ended.
    bool running();
    int pid() const { return m_pid; }
    const std::string& error() const { return m_error; }

private:
    bool spawn(const std::vector<std::string>& argv, const posix_spawn_file_actions_t& actions);
    // Reaps the program if it has ended; true when it is gone.
    bool tryReap();
    bool signal(int signo);

    int m_pid = -1;
    int m_status = 0;
    std::string m_error;
};

// A loopback TCP port that was free a moment ago.
int demoFreePort();
// Answers true once something accepts connections on the loopback port,
// waiting at most timeoutMs; false at once when the demo is to stop.
bool demoWaitForPort(int port, int timeoutMs);
// Answers true once `path` exists, waiting as demoWaitForPort() does.
bool demoWaitForPath(const std::string& path, int timeoutMs);
// Answers true when `program` is found on PATH.
bool demoHaveProgram(const char* program);

#endif
