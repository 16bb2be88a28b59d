// SPDX-License-Identifier: MIT
#ifndef TVKTHREAD_H
#define TVKTHREAD_H

#include "tvkbase_global.h"

#include <atomic>
#include <mutex>

namespace Quorvan {

class CtvkAbstractEventDispatcher;

// The framework's handle of one operating-system thread. Every thread that
// touches the framework gets one on first use. The record outlives the
// thread for as long as an object made on that thread does: such an object
// may be destroyed at any time, on any thread, after its thread has ended
// (a device in static storage dies after the main thread's thread-local
// data), and it still asks its record for the dispatcher, which is then null.
class TVK_BASE_EXPORT CtvkThread {
public:
    static CtvkThread* currentThread();
    bool isCurrent() const;
    // Whether the thread has ended (or is ending); its objects are then
    // served by nobody's event loop.
    bool isFinished() const { return m_finished.load(); }
    CtvkThread(const CtvkThread&) = delete;
    CtvkThread& operator=(const CtvkThread&) = delete;
    ~CtvkThread();

private:
    CtvkThread();
    friend class CtvkAbstractEventDispatcher;
    friend struct CtvkThreadStorage;
    // Owned while the thread runs. Written only by the thread itself; other
    // threads read it to wake that thread up, hence atomic, and the thread
    // takes m_dispatcherLock before destroying it.
    std::atomic<CtvkAbstractEventDispatcher*> m_dispatcher{nullptr};
    std::mutex m_dispatcherLock;
    // One reference for the running thread, one per object made on it.
    std::atomic<long> m_refs{1};
    std::atomic<bool> m_finished{false};
};

} // namespace Quorvan

#endif
