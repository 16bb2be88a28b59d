// SPDX-License-Identifier: MIT
#ifndef TVKOBJECT_H
#define TVKOBJECT_H

#include "tvkbase_global.h"
#include "tvkevent.h"
#include "tvkmutex.h"
#include "tvkvariant.h"
#include "tvklist"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

namespace Quorvan {

class CtvkObject;
class CtvkObjectPrivate;
class CtvkThread;

// Declares d_func() on a public class whose private class is <Class>Private.
#define TVK_DECLARE_PRIVATE(Class)                                                           \
    inline Class##Private* d_func() { return reinterpret_cast<Class##Private*>(privateData()); } \
    inline const Class##Private* d_func() const                                              \
    { return reinterpret_cast<const Class##Private*>(privateData()); }                       \
    friend class Class##Private;

// Declares mm_func() on a private class: the public object that owns it.
#define TVK_DECLARE_PUBLIC(Class)                                                             \
    inline Class* mm_func() { return static_cast<Class*>(owner()); }                          \
    inline const Class* mm_func() const { return static_cast<const Class*>(owner()); }        \
    friend class Class;

struct CtvkMetaProperty {
    enum Call { ReadProperty = 0, WriteProperty = 1, QueryProperty = 2, QueryPropertyType = 3 };
};

// A type-erased handler with the type it was stored as and its connection id.
class TVK_BASE_EXPORT CtvkAny {
public:
    struct TVK_BASE_EXPORT Base {
        virtual ~Base();
        virtual Base* clone() const = 0;
    };
    template <class T>
    struct Derived : Base {
        explicit Derived(T v) : value(std::move(v)) {}
        Base* clone() const override { return new Derived(value); }
        T value;
    };

    CtvkAny() noexcept = default;
    template <class T>
    CtvkAny(T value, std::int64_t connectionId)
        : holder(new Derived<T>(std::move(value))), type(&typeid(T)), id(connectionId) {}
    CtvkAny(const CtvkAny& o) : holder(o.holder ? o.holder->clone() : nullptr), type(o.type), id(o.id) {}
    CtvkAny(CtvkAny&& o) noexcept : holder(o.holder), type(o.type), id(o.id) { o.holder = nullptr; }
    CtvkAny& operator=(CtvkAny o) noexcept {
        std::swap(holder, o.holder);
        std::swap(type, o.type);
        std::swap(id, o.id);
        return *this;
    }
    ~CtvkAny() { delete holder; }

    Base* holder = nullptr;
    const std::type_info* type = nullptr;
    std::int64_t id = 0;
};

// One connection held by a receiver: the signal key and the connection id.
// `sender` tells whose table the handler is in: ids from the counter are
// only unique within one sender, so without it a receiver that goes away
// could not tell its own handlers from another receiver's.
struct MessageData {
    std::string key;
    std::int64_t id = 0;
    CtvkObject* sender = nullptr;
    bool operator==(const MessageData& o) const { return id == o.id && key == o.key && sender == o.sender; }
};

// The handlers of one sender. It is shared-owned: an emission keeps it alive
// while it runs, so a handler may destroy the sender; the sender's
// destructor then raises `stop` and the emission returns without touching
// the sender again.
struct TVK_BASE_EXPORT CtvkConnectionTable {
    std::multimap<std::string, CtvkAny> handlers;
    std::multimap<std::string, std::int64_t> ids;
    std::int32_t counter = 0;
    CtvkRecursiveMutex mutex;
    bool stop = false;
    // Emissions running on this table. While one runs, handlers of a
    // receiver that goes away are only emptied (holder and type null) so the
    // running emission's position stays valid; the outermost emission sweeps
    // them out when it ends.
    int emitting = 0;
    bool hasRemoved = false;
};

class TVK_BASE_EXPORT CtvkObject {
public:
    explicit CtvkObject(CtvkObject* parent = nullptr);
    CtvkObject(const CtvkObject&) = delete;
    CtvkObject& operator=(const CtvkObject&) = delete;

    // Virtual operations, in the framework's slot order.
    virtual ~CtvkObject();
    virtual void setName(const std::string& name);
    virtual bool event(CtvkEvent* e);
    virtual bool eventFilter(CtvkObject* watched, CtvkEvent* e);
    virtual void timerEvent(CtvkTimerEvent* e);
    virtual void childEvent(CtvkChildEvent* e);
    virtual void customEvent(CtvkCustomEvent* e);
    virtual void dataSensorEvent(CtvkDataSensorEvent* e);
    virtual unsigned winProc(unsigned message, unsigned short wparam, unsigned lparam);
    // Property access by name; see CtvkMetaProperty::Call. Answers false for
    // null args or name, and for a name or call the object does not know.
    virtual bool tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args);

    // Object tree: an object owns its children and deletes them with itself.
    CtvkObject* parent() const;
    void setParent(CtvkObject* parent);
    const CtvkList<CtvkObject*>& children() const;
    const std::string& name() const;

    // Class names: the most derived one, and every name of the chain.
    const char* className() const noexcept { return m_className; }
    void storeherits(const char* name);
    bool inherits(const char* name) const;

    CtvkThread* thread() const;

    // Deletes the object once the event loop of its thread has finished the
    // dispatch pass it is in (or at its next pass).
    void deleteLater();

    // Timers deliver CtvkTimerEvent to timerEvent() from the event loop.
    int startTimer(int intervalMs);
    void killTimer(int timerId);
    // Moves this object's timers to the given dispatcher (null: the
    // dispatcher of the current thread), for example after the dispatcher
    // was replaced.
    void reregisterTimers(void* dispatcher);

    bool signalsBlocked() const noexcept { return m_signalsBlocked; }
    bool blockSignals(bool block) noexcept;   // answers the previous state

    // Queues a property write: when the event loop next runs, `name` is
    // written with `value` through tvk_metacall(WriteProperty). Answers
    // false for a null object or name.
    static bool invokeMethod(const CtvkObject* object, const char* name, const CtvkVariant& value);
    // Takes ownership of the event and delivers it from the receiver's
    // thread's event loop. Events for an object destroyed before delivery
    // are dropped.
    static void postEvent(CtvkObject* receiver, CtvkEvent* event);
    static bool sendEvent(CtvkObject* receiver, CtvkEvent* event);

    // The state signals rest on; used by connect() and transmit().
    CtvkConnectionTable* connectionTable() const noexcept { return m_connectionTable.get(); }
    const std::shared_ptr<CtvkConnectionTable>& sharedConnectionTable() const noexcept { return m_connectionTable; }
    std::string& emissionBuffer() noexcept { return m_emission; }
    CtvkList<CtvkObject*>& receivers() noexcept { return m_receivers; }
    CtvkList<CtvkObject*>& senders() noexcept { return m_senders; }
    CtvkList<MessageData>& connections() noexcept { return m_connections; }
    CtvkObject* currentSender() const noexcept { return m_currentSender; }
    void setCurrentSender(CtvkObject* s) noexcept { m_currentSender = s; }

    // Emits `signal` with `value` to the handlers connected under it
    // (defined in kernel/tvksignal.h).
    template <class R, class Arg>
    R transmit(Arg value, const std::string& signal);
    // The same for a signal without argument ("editingFinished"); its
    // handlers are connected with the std::function<void()> forms below.
    template <class R>
    R transmit(const std::string& signal);

    // Connects `handler` to `signal` of `sender` (defined in
    // kernel/tvksignal.h). The second form takes the receiver's method name;
    // the connection id then stands for receiver and method, so connecting
    // the same pair again replaces the handler instead of adding one.
    template <class Arg>
    static void connect(CtvkObject* sender, const char* signal, CtvkObject* receiver,
                        std::function<void(Arg)> handler);
    template <class Arg>
    static void connect(CtvkObject* sender, const char* signal, CtvkObject* receiver,
                        const char* method, std::function<void(Arg)> handler);
    // Both forms for a signal without argument.
    static void connect(CtvkObject* sender, const char* signal, CtvkObject* receiver,
                        std::function<void()> handler);
    static void connect(CtvkObject* sender, const char* signal, CtvkObject* receiver,
                        const char* method, std::function<void()> handler);

protected:
    CtvkObject(CtvkObjectPrivate* d, CtvkObject* parent);
    void setClassName(const char* name) noexcept { m_className = name; }
    CtvkObjectPrivate* privateData() const noexcept { return m_d.get(); }

private:
    friend class CtvkObjectPrivate;
    void init(CtvkObject* parent);

    std::unique_ptr<CtvkObjectPrivate> m_d;
    const char* m_className = "CtvkObject";
    std::shared_ptr<CtvkConnectionTable> m_connectionTable;
    std::string m_emission;
    CtvkList<CtvkObject*> m_receivers;
    CtvkList<CtvkObject*> m_senders;
    CtvkList<MessageData> m_connections;
    CtvkObject* m_currentSender = nullptr;
    bool m_signalsBlocked = false;
};

} // namespace Quorvan

// connect() and transmit() are member templates: their definitions must be
// seen wherever they are used, or a caller links against an instantiation
// that another unit may have inlined away.
#include "tvksignal.h"

#endif
