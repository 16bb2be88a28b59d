#include "testsupport.h"

#include "tvksignal.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <thread>

namespace tvktest {

int openDescriptors()
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1;   // the directory's own descriptor
}

RefusingPort::RefusingPort() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
}

RefusingPort::~RefusingPort()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

ErrorRecorder::ErrorRecorder(Quorvan::CtvkModbusDevice* device)
{
    using Quorvan::CtvkModbusDevice;
    CtvkObject::connect<CtvkModbusDevice::Error>(
        device, "errorOccurred(CtvkModbusDevice::Error)", this,
        std::function<void(CtvkModbusDevice::Error)>(
            [this](CtvkModbusDevice::Error code) { codes.push_back(code); }));
}

} // namespace tvktest
