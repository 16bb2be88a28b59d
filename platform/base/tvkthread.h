#ifndef TVKTHREAD_H
#define TVKTHREAD_H

#include "tvkbase_global.h"

#include <atomic>

namespace Quorvan {

class CtvkAbstractEventDispatcher;

// The framework's handle of one operating-system thread. Every thread that
// touches the framework gets one on first use; it lives as long as the thread.
class TVK_BASE_EXPORT CtvkThread {
public:
    static CtvkThread* currentThread();
    bool isCurrent() const;
    CtvkThread(const CtvkThread&) = delete;
    CtvkThread& operator=(const CtvkThread&) = delete;
    ~CtvkThread();

private:
    CtvkThread();
    friend class CtvkAbstractEventDispatcher;
    friend struct CtvkThreadStorage;
    // Owned. Written only by the thread itself; other threads read it to
    // wake that thread up, hence atomic.
    std::atomic<CtvkAbstractEventDispatcher*> m_dispatcher{nullptr};
};

} // namespace Quorvan

#endif
