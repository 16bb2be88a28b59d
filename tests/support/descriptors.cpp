// SPDX-License-Identifier: MIT
#include "descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace tvktest {

namespace {

// Room left above the numbers taken, for what the test opens next.
constexpr rlim_t kHeadroomDescriptors = 64;

// Calls `each` with every open descriptor but the listing's own; false when
// the listing cannot be read.
bool forEachOpenDescriptor(const std::function<void(int)>& each)
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return false;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own)
            each(fd);
    }
    ::closedir(dir);
    return true;
}

} // namespace

int openDescriptors()
{
    int count = 0;
    return forEachOpenDescriptor([&count](int) { ++count; }) ? count : -1;
}

int highestOpenDescriptor()
{
    int highest = -1;
    forEachOpenDescriptor([&highest](int fd) { highest = std::max(highest, fd); });
    return highest;
}

bool LowDescriptorsTaken::possible()
{
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max >= FD_SETSIZE + kHeadroomDescriptors;
}

int LowDescriptorsTaken::next()
{
    const int fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0)
        ::close(fd);
    return fd;
}

LowDescriptorsTaken::LowDescriptorsTaken(int below)
{
    ::getrlimit(RLIMIT_NOFILE, &m_saved);
    const rlim_t wanted = rlim_t(below) + kHeadroomDescriptors;
    if (m_saved.rlim_cur < wanted) {
        rlimit raised = m_saved;
        raised.rlim_cur = wanted;
        // Raising the hard limit needs the privilege; without it the soft
        // limit goes as far as the hard one allows.
        raised.rlim_max = std::max(raised.rlim_max, wanted);
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            raised.rlim_cur = raised.rlim_max = m_saved.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &raised);
        }
        m_raised = true;
    }
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0)
        return;
    int fd;
    while ((fd = ::fcntl(null, F_DUPFD_CLOEXEC, 0)) >= 0 && fd < below)
        m_taken.push_back(fd);
    if (fd >= 0)
        ::close(fd);
    if (null < below)
        m_taken.push_back(null);
    else
        ::close(null);
}

LowDescriptorsTaken::~LowDescriptorsTaken()
{
    for (int fd : m_taken)
        ::close(fd);
    if (m_raised)
        ::setrlimit(RLIMIT_NOFILE, &m_saved);
}

} // namespace tvktest
