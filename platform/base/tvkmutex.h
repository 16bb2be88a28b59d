// SPDX-License-Identifier: MIT
#ifndef TVKMUTEX_H
#define TVKMUTEX_H

#include "tvkbase_global.h"

#include <mutex>

namespace Quorvan {

// May be locked again by the thread that holds it.
class TVK_BASE_EXPORT CtvkRecursiveMutex {
public:
    CtvkRecursiveMutex() = default;
    CtvkRecursiveMutex(const CtvkRecursiveMutex&) = delete;
    CtvkRecursiveMutex& operator=(const CtvkRecursiveMutex&) = delete;
    void lock() { m_mutex.lock(); }
    bool tryLock() { return m_mutex.try_lock(); }
    void unlock() { m_mutex.unlock(); }
private:
    std::recursive_mutex m_mutex;
};

class CtvkMutexLocker {
public:
    explicit CtvkMutexLocker(CtvkRecursiveMutex* m) : m_mutex(m) { m_mutex->lock(); }
    ~CtvkMutexLocker() { if (m_mutex) m_mutex->unlock(); }
    void unlock() { if (m_mutex) { m_mutex->unlock(); m_mutex = nullptr; } }
    CtvkMutexLocker(const CtvkMutexLocker&) = delete;
    CtvkMutexLocker& operator=(const CtvkMutexLocker&) = delete;
private:
    CtvkRecursiveMutex* m_mutex;
};

} // namespace Quorvan

#endif
