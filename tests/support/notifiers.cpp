// SPDX-License-Identifier: MIT
#include "notifiers.h"

#include "tvkabstracteventdispatcher.h"
#include "tvkepolldispatcher_p.h"

namespace tvktest {

int watchedNotifiers()
{
    auto* d = static_cast<Quorvan::CtvkEpollDispatcher*>(Quorvan::CtvkAbstractEventDispatcher::instance());
    return d->registeredNotifierCount();
}

} // namespace tvktest
