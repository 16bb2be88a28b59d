#ifndef TOOLS_TOOLPROCESS_H
#define TOOLS_TOOLPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace tvktest {

// One run of a command-line program with its standard output and standard
// error kept apart. `status` is the exit status, or -1 when the program was
// killed (by a signal, or for running past its deadline).
struct ToolResult {
    int status = -1;
    bool timedOut = false;
    std::string out;
    std::string err;
};

// A program started with its output collected; it is killed and reaped when
// the object goes, so a failing test leaves no process behind.
class ToolProcess {
public:
    explicit ToolProcess(const std::vector<std::string>& argv);
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    // Reads what is there until `done` holds for the output so far or
    // timeoutMs pass; true when it held.
    bool waitForOutput(bool (*done)(const std::string& out), int timeoutMs);
    void signal(int sig);
    // Collects the rest and the exit status; kills the program after timeoutMs.
    ToolResult finish(int timeoutMs);

private:
    bool pump(int timeoutMs);

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    ToolResult m_result;
};

// Runs argv to its end (at most timeoutMs) and gives what it did.
ToolResult runTool(const std::vector<std::string>& argv, int timeoutMs = 20000);

// The lines of `text` that start with `prefix`.
std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix);

} // namespace tvktest

#endif
