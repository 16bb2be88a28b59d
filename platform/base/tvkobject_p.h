// SPDX-License-Identifier: MIT
#ifndef TVKOBJECT_P_H
#define TVKOBJECT_P_H

#include "tvkobject.h"

#include <map>
#include <set>
#include <string>

namespace Quorvan {

class CtvkAbstractEventDispatcher;

// Base of every private data class; the public object owns it.
class TVK_BASE_EXPORT CtvkObjectPrivate {
public:
    CtvkObjectPrivate();
    virtual ~CtvkObjectPrivate();
    CtvkObjectPrivate(const CtvkObjectPrivate&) = delete;
    CtvkObjectPrivate& operator=(const CtvkObjectPrivate&) = delete;

    CtvkObject* mm_func() { return m_owner; }
    const CtvkObject* mm_func() const { return m_owner; }

protected:
    CtvkObject* owner() const { return m_owner; }

private:
    friend class CtvkObject;
    CtvkObject* m_owner = nullptr;

public:
    // Framework bookkeeping of the object tree.
    CtvkObject* parent = nullptr;
    CtvkList<CtvkObject*> children;
    std::string name;
    std::set<std::string> classNames;
    CtvkThread* thread = nullptr;
    bool deleteLaterPosted = false;
    bool beingDestroyed = false;
    std::map<int, int> timers;   // id -> interval (ms), to move them between dispatchers
    // The dispatcher reregisterTimers() moved the timers to, while it holds
    // some; null: the dispatcher of the object's thread holds them.
    CtvkAbstractEventDispatcher* timerDispatcher = nullptr;

    // The dispatcher that holds the object's timers, or null.
    static CtvkAbstractEventDispatcher* timerHolder(const CtvkObject* object);
    // Told by a dispatcher that goes away holding timers of `object`.
    static void timerDispatcherGone(CtvkObject* object, const CtvkAbstractEventDispatcher* d);

    // Performs a queued property write (CtvkObject::invokeMethod).
    static bool writeProperty(CtvkObject* object, const char* name, const CtvkVariant& value);
};

} // namespace Quorvan

#endif
