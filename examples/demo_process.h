#ifndef DEMO_PROCESS_H
#define DEMO_PROCESS_H

#include <string>
#include <vector>

// A child program the demo starts and stops: the slave simulators and socat.
// Its output goes to a log file so that it never mixes with the panel's view.
class DemoProcess {
public:
    DemoProcess() = default;
    ~DemoProcess();
    DemoProcess(const DemoProcess&) = delete;
    DemoProcess& operator=(const DemoProcess&) = delete;

    // Starts argv[0] with the arguments; answers false (with errno's text in
    // error()) when it could not be started.
    bool start(const std::vector<std::string>& argv, const std::string& logPath);
    // Ends the program (SIGTERM, then SIGKILL after a grace period) and
    // reaps it. Answers its exit status, or -1 when it was not running.
    int stop();
    // Answers true while the program runs; reaps it when it has ended.
    bool running();
    const std::string& error() const { return m_error; }

private:
    int m_pid = -1;
    std::string m_error;
};

// A loopback TCP port that was free a moment ago.
int demoFreePort();
// Answers true once something accepts connections on the loopback port,
// waiting at most timeoutMs.
bool demoWaitForPort(int port, int timeoutMs);
// Answers true once `path` exists, waiting at most timeoutMs.
bool demoWaitForPath(const std::string& path, int timeoutMs);
// Removes a folder the demo made, with what is in it.
void demoRemoveTree(const std::string& dir);
// Answers true when `program` is found on PATH.
bool demoHaveProgram(const char* program);

#endif
