// SPDX-License-Identifier: MIT
#ifndef TVKTHREAD_P_H
#define TVKTHREAD_P_H

#include "tvkthread.h"

namespace Quorvan {

class CtvkAbstractEventDispatcher;

struct CtvkThreadStorage {
    // The dispatcher the thread already has, or null; never creates one.
    static CtvkAbstractEventDispatcher* existingDispatcher(const CtvkThread* thread);
    static void setDispatcher(CtvkThread* thread, CtvkAbstractEventDispatcher* d);
    // Wakes the thread's dispatcher, if it has one; safe against the thread
    // ending at the same time.
    static void wakeUp(CtvkThread* thread);
    // Keeps a thread record alive (an object made on that thread holds one).
    static void retain(CtvkThread* thread);
    static void release(CtvkThread* thread);
};

} // namespace Quorvan

#endif
