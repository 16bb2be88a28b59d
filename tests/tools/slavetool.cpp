// SPDX-License-Identifier: MIT
#include "slavetool.h"

#include "deadline.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace slavetest {

TempFile::TempFile(const std::string& text)
{
    char name[] = "/tmp/tvk-slave-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) {
        ::close(fd);
        path = name;
        std::ofstream(path) << text;
    }
}

TempFile::~TempFile()
{
    if (!path.empty())
        ::unlink(path.c_str());
}

int listeningPort(const std::string& line)
{
    const std::string marker = "listening on ";
    const std::size_t at = line.find(marker);
    if (at == std::string::npos)
        return 0;
    const std::size_t end = line.find(' ', at + marker.size());
    const std::string endpoint = line.substr(at + marker.size(), end - at - marker.size());
    const std::size_t colon = endpoint.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(endpoint.c_str() + colon + 1);
}

std::unique_ptr<tvktest::ChildProcess> startSlave(const std::vector<std::string>& extra, int* port)
{
    std::vector<std::string> argv{TVK_SLAVE_PATH, "--port", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto slave = std::make_unique<tvktest::ChildProcess>(argv);
    *port = listeningPort(slave->waitForLine("listening on", kStartMs));
    return slave;
}

tvktest::Bytes exchange(int fd, const tvktest::Bytes& request, int timeoutMs)
{
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return {};
    const tvktest::Deadline deadline(timeoutMs);
    tvktest::Bytes answer;
    while (tvktest::mbapFrameLength(answer) == 0 || answer.size() < tvktest::mbapFrameLength(answer)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, deadline.leftMs()) != 1)
            return {};
        std::uint8_t chunk[512];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return {};
        answer.insert(answer.end(), chunk, chunk + got);
    }
    return answer;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace slavetest
