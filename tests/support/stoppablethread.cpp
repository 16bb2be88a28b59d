// SPDX-License-Identifier: MIT
#include "stoppablethread.h"

#include <fcntl.h>
#include <unistd.h>

namespace tvktest {

bool StoppableThread::start(const std::function<void(int wake)>& serve)
{
    if (running() || ::pipe2(m_wake, O_CLOEXEC) != 0)
        return false;
    const int wake = m_wake[0];
    m_thread = std::thread([serve, wake] { serve(wake); });
    return true;
}

void StoppableThread::stop()
{
    if (m_thread.joinable()) {
        const char stop = 0;
        (void)!::write(m_wake[1], &stop, 1);
        m_thread.join();
    }
    for (int& fd : m_wake) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

} // namespace tvktest
