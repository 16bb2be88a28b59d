// SPDX-License-Identifier: MIT
#include "tvksocketnotifier.h"

#include "tvkabstracteventdispatcher.h"
#include "tvksignal.h"

#include <cstring>
#include <string>

namespace Quorvan {

CtvkSocketNotifier::CtvkSocketNotifier(int socket, int type, CtvkObject* parent)
    : CtvkObject(parent), m_socket(socket), m_type(type), m_enabled(true)
{
    setClassName("CtvkSocketNotifier");
    storeherits("CtvkSocketNotifier");
    [[maybe_unused]] static const bool signalsDeclared = tvkDeclareSignal<int>("CtvkSocketNotifier", "activated");
    if (CtvkAbstractEventDispatcher* d = CtvkAbstractEventDispatcher::instance(thread()))
        d->addSocketNotifier(this);
}

CtvkSocketNotifier::~CtvkSocketNotifier()
{
    // The dispatcher must not keep a pointer to us past this point.
    if (m_socket >= 0 && m_enabled)
        CtvkSocketNotifier::setEnabled(false);
    // Whoever registered us with the dispatcher directly did so without our
    // enabled flag knowing; removing an unregistered notifier is harmless.
    if (CtvkAbstractEventDispatcher* d = CtvkAbstractEventDispatcher::instance(thread()))
        d->removeSocketNotifier(this);
}

void CtvkSocketNotifier::setEnabled(bool enabled)
{
    if (m_socket < 0 || enabled == m_enabled)
        return;
    m_enabled = enabled;
    CtvkAbstractEventDispatcher* d = CtvkAbstractEventDispatcher::instance(thread());
    if (!d)
        return;
    if (enabled)
        d->addSocketNotifier(this);
    else
        d->removeSocketNotifier(this);
}

bool CtvkSocketNotifier::event(CtvkEvent* e)
{
    if (!e)
        return true;
    if (e->type() == CtvkEvent::SockPause && m_enabled) {
        // Rests until the loop delivers the queued write that wakes it again.
        CtvkObject::invokeMethod(this, "enabled", CtvkVariant(true));
        setEnabled(false);
    }
    const int type = e->type();
    CtvkObject::event(e);
    if (type == CtvkEvent::SockAct)
        transmit<void, int>(m_socket, "activated");
    return true;
}

bool CtvkSocketNotifier::tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args)
{
    if (!args || !name)
        return false;
    if (std::strcmp(name, "enabled") != 0)
        return CtvkObject::tvk_metacall(call, name, args);
    switch (call) {
    case CtvkMetaProperty::ReadProperty:
        if (!args[0])
            return false;
        *static_cast<bool*>(args[0]) = m_enabled;
        return true;
    case CtvkMetaProperty::WriteProperty:
        if (!args[0])
            return false;
        setEnabled(*static_cast<bool*>(args[0]));
        return true;
    case CtvkMetaProperty::QueryProperty:
        return true;
    case CtvkMetaProperty::QueryPropertyType:
        if (!args[0])
            return false;
        *static_cast<std::string*>(args[0]) = "bool";
        return true;
    }
    return false;
}

} // namespace Quorvan
