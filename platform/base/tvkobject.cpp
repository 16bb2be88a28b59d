// SPDX-License-Identifier: MIT
#include "tvkobject.h"
#include "tvkobject_p.h"

#include "tvkabstracteventdispatcher.h"
#include "tvkdatasensor.h"
#include "tvkpostedevents_p.h"
#include "tvkthread.h"
#include "tvkthread_p.h"
#include "tvksignal.h"

#include <cstring>
#include <vector>

namespace Quorvan {

CtvkAny::Base::~Base() = default;

CtvkObjectPrivate::CtvkObjectPrivate() = default;
CtvkObjectPrivate::~CtvkObjectPrivate()
{
    CtvkThreadStorage::release(thread);
}

CtvkObject::CtvkObject(CtvkObject* parent) : m_d(new CtvkObjectPrivate)
{
    init(parent);
}

CtvkObject::CtvkObject(CtvkObjectPrivate* d, CtvkObject* parent) : m_d(d ? d : new CtvkObjectPrivate)
{
    init(parent);
}

void CtvkObject::init(CtvkObject* parent)
{
    m_d->m_owner = this;
    m_d->thread = CtvkThread::currentThread();
    CtvkThreadStorage::retain(m_d->thread);
    m_d->classNames.insert(m_className);
    [[maybe_unused]] static const bool signalsDeclared =
        tvkDeclareSignal<CtvkObject*>("CtvkObject", "destroyed(CtvkObject*)");
    m_connectionTable = std::make_shared<CtvkConnectionTable>();
    if (parent)
        setParent(parent);
}

namespace {

// Takes the handlers `receiver` holds out of `sender`'s table, so a later
// emission cannot call into an object that no longer exists.
void dropHandlersOf(CtvkObject* sender, const CtvkList<MessageData>& records)
{
    CtvkConnectionTable* table = sender->connectionTable();
    if (!table)
        return;
    CtvkMutexLocker lock(&table->mutex);
    for (const MessageData& m : records) {
        if (m.sender != sender)
            continue;
        auto range = table->handlers.equal_range(m.key);
        for (auto it = range.first; it != range.second;) {
            if (it->second.id != m.id || !it->second.type) {
                ++it;
                continue;
            }
            if (table->emitting > 0) {
                it->second = CtvkAny();
                table->hasRemoved = true;
                ++it;
            } else {
                it = table->handlers.erase(it);
            }
        }
        auto ids = table->ids.equal_range(m.key);
        for (auto it = ids.first; it != ids.second; ++it) {
            if (it->second == m.id) {
                table->ids.erase(it);
                break;
            }
        }
    }
}

} // namespace

CtvkObject::~CtvkObject()
{
    m_d->beingDestroyed = true;
    try {
        transmit<void, CtvkObject*>(this, "destroyed(CtvkObject*)");
    } catch (...) {
        // A handler stored with the wrong type (already reported on stdout)
        // or one that throws must not end the process from a destructor;
        // the object still has to be taken apart cleanly.
    }

    if (m_connectionTable) {
        // An emission of ours that is still running (a handler is deleting
        // us) holds the table; the flag makes it return without touching us.
        CtvkMutexLocker lock(&m_connectionTable->mutex);
        m_connectionTable->stop = true;
    }

    // The receivers and senders lists of the other side hold raw pointers to
    // us; a later emission would otherwise write its current-sender mark
    // into freed memory.
    const CtvkList<CtvkObject*> receiversCopy = m_receivers;
    for (CtvkObject* r : receiversCopy) {
        if (!r || r == this)
            continue;
        r->m_senders.removeAll(this);
        if (r->m_currentSender == this)
            r->m_currentSender = nullptr;
        // Its records of our handlers go too: another object may later be
        // made at our address, and the records would then name that one.
        CtvkList<MessageData> kept;
        for (const MessageData& m : r->m_connections)
            if (m.sender != this)
                kept.append(m);
        r->m_connections = kept;
    }
    const CtvkList<CtvkObject*> sendersCopy = m_senders;
    for (CtvkObject* s : sendersCopy) {
        if (!s || s == this)
            continue;
        s->m_receivers.removeAll(this);
        dropHandlersOf(s, m_connections);
    }
    m_receivers.clear();
    m_senders.clear();
    m_connections.clear();

    CtvkApplicationPlus::dataSensor()->unbindAll(this);
    if (CtvkAbstractEventDispatcher* d = CtvkObjectPrivate::timerHolder(this))
        if (d != this)
            d->unregisterTimers(this);
    m_d->timers.clear();
    m_d->timerDispatcher = nullptr;

    // Children go first, each told it has no parent so it does not report
    // back to us while we are half gone.
    while (!m_d->children.isEmpty()) {
        CtvkObject* child = m_d->children.first();
        m_d->children.removeAt(0);
        child->m_d->parent = nullptr;
        delete child;
    }
    if (CtvkObject* p = m_d->parent) {
        m_d->parent = nullptr;
        p->m_d->children.removeAll(this);
        if (!p->m_d->beingDestroyed) {
            CtvkChildEvent e(CtvkEvent::ChildRemoved, this);
            sendEvent(p, &e);
        }
    }
    // Last, so nothing posted by the code above survives us.
    CtvkPostedEvents::removeFor(this);
}

void CtvkObject::setName(const std::string& name) { m_d->name = name; }
const std::string& CtvkObject::name() const { return m_d->name; }

bool CtvkObject::event(CtvkEvent* e)
{
    if (!e)
        return false;
    switch (e->type()) {
    case CtvkEvent::Timer:
        timerEvent(static_cast<CtvkTimerEvent*>(e));
        return true;
    case CtvkEvent::ChildAdded:
    case CtvkEvent::ChildRemoved:
        childEvent(static_cast<CtvkChildEvent*>(e));
        return true;
    case CtvkEvent::DataSensor:
        if (auto* ds = dynamic_cast<CtvkDataSensorEvent*>(e)) {
            dataSensorEvent(ds);
            return true;
        }
        return false;
    case CtvkEvent::DeferredDelete:
        delete this;
        return true;
    case CtvkEvent::MetaCall:
        if (auto* mc = dynamic_cast<CtvkMetaCallEvent*>(e))
            return CtvkObjectPrivate::writeProperty(this, mc->name().c_str(), mc->value());
        return false;
    default:
        break;
    }
    if (e->type() >= CtvkEvent::User) {
        if (auto* ce = dynamic_cast<CtvkCustomEvent*>(e)) {
            customEvent(ce);
            return true;
        }
    }
    return false;
}

bool CtvkObject::eventFilter(CtvkObject*, CtvkEvent*) { return false; }
void CtvkObject::timerEvent(CtvkTimerEvent*) {}
void CtvkObject::childEvent(CtvkChildEvent*) {}
void CtvkObject::customEvent(CtvkCustomEvent*) {}
void CtvkObject::dataSensorEvent(CtvkDataSensorEvent*) {}
unsigned CtvkObject::winProc(unsigned, unsigned short, unsigned) { return 0; }

bool CtvkObject::tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args)
{
    if (!args || !name || std::strcmp(name, "reregisterTimers") != 0)
        return false;
    switch (call) {
    case CtvkMetaProperty::WriteProperty:
        reregisterTimers(args[0] ? *static_cast<void**>(args[0]) : nullptr);
        return true;
    case CtvkMetaProperty::QueryProperty:
        return true;
    case CtvkMetaProperty::QueryPropertyType:
        if (!args[0])
            return false;
        *static_cast<std::string*>(args[0]) = "void*";
        return true;
    default:
        return false;   // write-only
    }
}

// Converts the queued value to what the property's type names and writes it.
bool CtvkObjectPrivate::writeProperty(CtvkObject* object, const char* name, const CtvkVariant& value)
{
    std::string type;
    void* typeArgs[] = {&type};
    if (!object->tvk_metacall(CtvkMetaProperty::QueryPropertyType, name, typeArgs))
        return false;
    if (type == "CtvkString") {
        CtvkString text = value.toString();
        void* textArgs[] = {&text};
        return object->tvk_metacall(CtvkMetaProperty::WriteProperty, name, textArgs);
    }
    if (type == "std::string") {
        std::string text = value.toString().toStdString();
        void* textArgs[] = {&text};
        return object->tvk_metacall(CtvkMetaProperty::WriteProperty, name, textArgs);
    }
    if (type == "CtvkVariant") {
        CtvkVariant copy = value;
        void* copyArgs[] = {&copy};
        return object->tvk_metacall(CtvkMetaProperty::WriteProperty, name, copyArgs);
    }
    // A widget's rectangles, fonts, enumerations...: the write reads args[0]
    // as that type, so handing it a variant would be read as garbage.
    if (type != "bool" && type != "int" && type != "double" && type != "void*")
        return false;
    // One buffer for every scalar type: the write goes through a virtual
    // call the compiler cannot see through, so it is handed storage large
    // enough for whichever type the property names.
    union {
        bool b;
        int i;
        double d;
        void* p;
    } scalar{};
    bool ok = true;
    if (type == "bool")
        scalar.b = value.toBool();
    else if (type == "int")
        scalar.i = value.toInt(&ok);
    else if (type == "double")
        scalar.d = value.toDouble(&ok);
    else
        scalar.p = value.toVoidStar();
    if (!ok)
        return false;   // the value does not convert
    void* scalarArgs[] = {&scalar};
    return object->tvk_metacall(CtvkMetaProperty::WriteProperty, name, scalarArgs);
}

CtvkObject* CtvkObject::parent() const { return m_d->parent; }

void CtvkObject::setParent(CtvkObject* parent)
{
    if (parent == m_d->parent || parent == this)
        return;
    // A parent among our own descendants would close a loop: each would
    // own the other, and deleting either would never end.
    for (CtvkObject* ancestor = parent; ancestor; ancestor = ancestor->m_d->parent)
        if (ancestor == this)
            return;
    if (CtvkObject* old = m_d->parent) {
        old->m_d->children.removeAll(this);
        m_d->parent = nullptr;
        if (!old->m_d->beingDestroyed) {
            CtvkChildEvent e(CtvkEvent::ChildRemoved, this);
            sendEvent(old, &e);
        }
    }
    if (parent) {
        m_d->parent = parent;
        parent->m_d->children.append(this);
        CtvkChildEvent e(CtvkEvent::ChildAdded, this);
        sendEvent(parent, &e);
    }
}

const CtvkList<CtvkObject*>& CtvkObject::children() const { return m_d->children; }

void CtvkObject::storeherits(const char* name)
{
    if (name)
        m_d->classNames.insert(name);
}

bool CtvkObject::inherits(const char* name) const
{
    if (!name)
        return false;
    if (std::strcmp(name, m_className) == 0)
        return true;
    return m_d->classNames.count(name) != 0;
}

CtvkThread* CtvkObject::thread() const { return m_d->thread; }

void CtvkObject::deleteLater()
{
    if (m_d->deleteLaterPosted || m_d->beingDestroyed)
        return;
    m_d->deleteLaterPosted = true;
    postEvent(this, new CtvkEvent(CtvkEvent::DeferredDelete));
}

CtvkAbstractEventDispatcher* CtvkObjectPrivate::timerHolder(const CtvkObject* object)
{
    const CtvkObjectPrivate* d = object->m_d.get();
    return d->timerDispatcher ? d->timerDispatcher : CtvkThreadStorage::existingDispatcher(d->thread);
}

void CtvkObjectPrivate::timerDispatcherGone(CtvkObject* object, const CtvkAbstractEventDispatcher* d)
{
    if (object && object->m_d->timerDispatcher == d)
        object->m_d->timerDispatcher = nullptr;
}

int CtvkObject::startTimer(int intervalMs)
{
    if (intervalMs < 0 || !m_d->thread || !m_d->thread->isCurrent())
        return 0;
    // Beside the timers it already has, wherever they were moved.
    CtvkAbstractEventDispatcher* d = m_d->timerDispatcher;
    if (!d)
        d = CtvkAbstractEventDispatcher::instance(m_d->thread);
    if (!d)
        return 0;
    const int id = d->registerTimer(intervalMs, this);
    if (id > 0)
        m_d->timers[id] = intervalMs;
    return id;
}

void CtvkObject::killTimer(int timerId)
{
    auto it = m_d->timers.find(timerId);
    if (it == m_d->timers.end())
        return;
    m_d->timers.erase(it);
    if (CtvkAbstractEventDispatcher* d = CtvkObjectPrivate::timerHolder(this))
        d->unregisterTimer(timerId);
    if (m_d->timers.empty())
        m_d->timerDispatcher = nullptr;   // it may go away; nothing of ours is left there
}

void CtvkObject::reregisterTimers(void* dispatcher)
{
    auto* target = static_cast<CtvkAbstractEventDispatcher*>(dispatcher);
    if (!target)
        target = CtvkAbstractEventDispatcher::instance();
    if (!target)
        return;
    // Taken from wherever they are now, which need not be our thread's
    // dispatcher if they were moved before.
    if (CtvkAbstractEventDispatcher* old = CtvkObjectPrivate::timerHolder(this))
        if (old != target)
            old->unregisterTimers(this);
    for (const auto& t : m_d->timers) {
        target->unregisterTimer(t.first);
        target->registerTimer(t.first, t.second, this);
    }
    // Remembered, so killTimer() and the destructor find them there.
    const bool threadsOwn = target == CtvkThreadStorage::existingDispatcher(m_d->thread);
    m_d->timerDispatcher = threadsOwn || m_d->timers.empty() ? nullptr : target;
}

bool CtvkObject::blockSignals(bool block) noexcept
{
    const bool previous = m_signalsBlocked;
    m_signalsBlocked = block;
    return previous;
}

bool CtvkObject::invokeMethod(const CtvkObject* object, const char* name, const CtvkVariant& value)
{
    if (!object || !name)
        return false;
    postEvent(const_cast<CtvkObject*>(object), new CtvkMetaCallEvent(name, value));
    return true;
}

void CtvkObject::postEvent(CtvkObject* receiver, CtvkEvent* event)
{
    if (!event)
        return;
    // Nothing may be queued for an object that is going away: its
    // destructor has already dropped what was pending.
    if (!receiver || receiver->m_d->beingDestroyed) {
        delete event;
        return;
    }
    CtvkThread* thread = receiver->m_d->thread;
    // The loop of a thread that has ended will never delete anything: the
    // deletion falls to the loop of the thread that asks for it.
    if (thread && thread->isFinished() && event->type() == CtvkEvent::DeferredDelete)
        thread = CtvkThread::currentThread();
    CtvkPostedEvents::post(receiver, event, thread);
}

bool CtvkObject::sendEvent(CtvkObject* receiver, CtvkEvent* event)
{
    if (!receiver || !event)
        return false;
    return receiver->event(event);
}

} // namespace Quorvan
