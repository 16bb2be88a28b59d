// SPDX-License-Identifier: MIT
#ifndef TVKTEST_POLLTOOLTEST_H
#define TVKTEST_POLLTOOLTEST_H

#include "childprocess.h"
#include "pymodbuspeers.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the tests of tvk-modbus-poll share: running it to its end, reading
// its lines, and the devices it runs against.
namespace polltest {

using Args = std::vector<std::string>;

// One run to its end: the exit status (-1 when ended by a signal or still
// running after timeoutMs), standard output and standard error.
struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

ToolResult runTool(const Args& argv, int timeoutMs = 20000);

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix);

// The output from mbpoll's configuration block ("Protocol configuration:")
// to its end: what the tool prints as mbpoll does, byte for byte.
std::string fromConfiguration(const std::string& out);

// Reads the tool's output and errors until `done` answers true for them.
bool waitForOutput(tvktest::ChildProcess& tool, const std::function<bool()>& done, int timeoutMs);

bool haveMbpoll();

// The port a serving tool (the slave simulator, the gateway) says it
// listens on; empty when it does not.
std::string listeningPort(tvktest::ChildProcess& server);

// A loopback listener that takes connections and reads requests but never
// answers: every request waits out its timeout.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::string port() const { return std::to_string(m_port); }

    // True once a client connected and its request arrived.
    bool requestArrived(int timeoutMs);

private:
    int m_fd;
    int m_client = -1;
    int m_port = 0;
};

// The pymodbus slave of tests/peers: coils 1 at multiples of 3, discrete
// inputs 1 at odd addresses, holding registers 1000 + address, input
// registers 2000 + address, 100 of each from address 0, whatever the unit
// id. Tests that write use addresses no other test reads.
class PollTool : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    static Args command(const std::string& program, const Args& args);
    static ToolResult poll(const Args& args) { return runTool(command(TVK_POLL_PATH, args)); }
    static ToolResult mbpoll(const Args& args) { return runTool(command("/usr/bin/mbpoll", args)); }
    // The tool with values after the device.
    static ToolResult pollWrite(const Args& args, const Args& values);
    static const std::string& port() { return s_port; }

private:
    static std::unique_ptr<tvktest::PymodbusPeer> s_peer;
    static std::string s_port;
};

} // namespace polltest

#endif
