// SPDX-License-Identifier: MIT
#include "polltooltest.h"

#include "deadline.h"
#include "loopback.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

namespace polltest {

ToolResult runTool(const Args& argv, int timeoutMs)
{
    tvktest::ChildProcess tool(argv);
    ToolResult r;
    r.status = tool.waitForExit(timeoutMs);
    r.out = tool.output();
    r.err = tool.errors();
    return r;
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

std::string fromConfiguration(const std::string& out)
{
    const std::size_t at = out.find("Protocol configuration:");
    return at == std::string::npos ? std::string() : out.substr(at);
}

bool waitForOutput(tvktest::ChildProcess& tool, const std::function<bool()>& done, int timeoutMs)
{
    const tvktest::Deadline deadline(timeoutMs);
    while (!done()) {
        if (deadline.passed())
            return false;
        tool.waitForLine("\x01", 20);   // a line that never comes: reads for 20 ms
    }
    return true;
}

std::string listeningPort(tvktest::ChildProcess& server)
{
    // The line starts with the time, whose colons come before the address.
    const std::string listening = server.waitForLine("listening on", 10000);
    const std::size_t colon = listening.find(':', listening.find("listening on"));
    return colon == std::string::npos ? std::string() : std::to_string(std::atoi(listening.c_str() + colon + 1));
}

bool haveMbpoll()
{
    return ::access("/usr/bin/mbpoll", X_OK) == 0;
}

SilentListener::SilentListener() : m_fd(tvktest::listenOnLoopback(0, 4)), m_port(tvktest::localPort(m_fd)) {}

SilentListener::~SilentListener()
{
    if (m_client >= 0)
        ::close(m_client);
    ::close(m_fd);
}

bool SilentListener::requestArrived(int timeoutMs)
{
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1)
        return false;
    m_client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    pollfd q{m_client, POLLIN, 0};
    return m_client >= 0 && ::poll(&q, 1, timeoutMs) == 1;
}

std::unique_ptr<tvktest::PymodbusPeer> PollTool::s_peer;
std::string PollTool::s_port = "0";

void PollTool::SetUpTestSuite()
{
    s_peer = std::make_unique<tvktest::PymodbusPeer>();
    s_port = std::to_string(s_peer->waitForPort(20000));
}

void PollTool::TearDownTestSuite()
{
    s_peer.reset();
}

void PollTool::SetUp()
{
    ASSERT_NE(s_port, "0") << "the pymodbus slave did not start";
}

Args PollTool::command(const std::string& program, const Args& args)
{
    Args argv{program, "-p", s_port};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("127.0.0.1");
    return argv;
}

ToolResult PollTool::pollWrite(const Args& args, const Args& values)
{
    Args argv = command(TVK_POLL_PATH, args);
    argv.insert(argv.end(), values.begin(), values.end());
    return runTool(argv);
}

} // namespace polltest
