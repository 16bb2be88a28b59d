// SPDX-License-Identifier: MIT
#ifndef TVKPOSTEDEVENTS_P_H
#define TVKPOSTEDEVENTS_P_H

#include "tvkevent.h"
#include "tvkvariant.h"

#include <string>

namespace Quorvan {

class CtvkObject;
class CtvkThread;

// A property write queued by CtvkObject::invokeMethod().
class CtvkMetaCallEvent : public CtvkEvent {
public:
    CtvkMetaCallEvent(const char* name, const CtvkVariant& value) : CtvkEvent(MetaCall), m_name(name), m_value(value) {}
    ~CtvkMetaCallEvent() override;
    const std::string& name() const noexcept { return m_name; }
    const CtvkVariant& value() const noexcept { return m_value; }
private:
    std::string m_name;
    CtvkVariant m_value;
};

// The events posted to objects of every thread, in posting order.
class CtvkPostedEvents {
public:
    // Takes ownership of the event.
    static void post(CtvkObject* receiver, CtvkEvent* event, CtvkThread* thread);
    // Drops (and deletes) every event still queued for the receiver.
    static void removeFor(const CtvkObject* receiver);
    // Whether the pass the calling thread is in can deliver something.
    static bool hasPending(const CtvkThread* thread);
    // Delivers the events queued for `thread` before the call; answers
    // whether any was delivered. Events posted meanwhile wait for the next
    // call, so a handler that posts to itself cannot stall the loop.
    static bool deliver(CtvkThread* thread);
    // Performs the deferred deletions still queued for `thread`, which is
    // ending: no loop of it will ever deliver them.
    static void deleteDeferred(CtvkThread* thread);
    // How deeply the calling thread is nested in dispatch passes.
    static int& passDepth();
};

} // namespace Quorvan

#endif
