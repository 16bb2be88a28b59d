#ifndef TOOLS_TOOLPROCESS_H
#define TOOLS_TOOLPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace tvktest {

// One of the project's tools run as a process of its own, its standard
// output and error read through pipes. The process is killed, if still
// running, when the object goes.
class ToolProcess {
public:
    explicit ToolProcess(const std::vector<std::string>& argv);
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    bool started() const { return m_pid > 0; }
    // Waits at most timeoutMs for a line of standard output that contains
    // `text`; answers that line, or an empty string.
    std::string waitForLine(const std::string& text, int timeoutMs);
    // Sends `signal` to the process.
    void signal(int signal);
    // Waits at most timeoutMs for the process to end; answers its exit
    // status, or -1 when it did not exit normally in time.
    int waitForExit(int timeoutMs);
    // Everything read so far.
    const std::string& output() const { return m_out.text; }
    const std::string& errors() const { return m_err.text; }

private:
    struct Stream {
        int fd = -1;
        std::string text;
        std::size_t scanned = 0;   // output lines before this offset were looked at
    };
    bool pump(int timeoutMs);   // reads what is there; false once both pipes are at their end

    pid_t m_pid = -1;
    Stream m_out;
    Stream m_err;
    int m_status = -1;
};

} // namespace tvktest

#endif
