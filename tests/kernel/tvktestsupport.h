#ifndef TVKTESTSUPPORT_H
#define TVKTESTSUPPORT_H

#include "tvkabstracteventdispatcher.h"
#include "tvkepolldispatcher_p.h"

#include <dirent.h>

namespace Quorvan {
namespace test {

// Open descriptors of the process, to prove a test closed what it opened.
inline int openDescriptorCount()
{
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.')
                ++n;
        closedir(dir);
    }
    return n;
}

inline int watchedNotifiers()
{
    auto* d = static_cast<CtvkEpollDispatcher*>(CtvkAbstractEventDispatcher::instance());
    return d->registeredNotifierCount();
}

} // namespace test
} // namespace Quorvan

#endif
