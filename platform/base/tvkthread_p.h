#ifndef TVKTHREAD_P_H
#define TVKTHREAD_P_H

#include "tvkthread.h"

namespace Quorvan {

class CtvkAbstractEventDispatcher;

struct CtvkThreadStorage {
    // The dispatcher the thread already has, or null; never creates one.
    static CtvkAbstractEventDispatcher* existingDispatcher(const CtvkThread* thread);
    static void setDispatcher(CtvkThread* thread, CtvkAbstractEventDispatcher* d);
};

} // namespace Quorvan

#endif
