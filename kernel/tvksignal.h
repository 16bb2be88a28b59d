// SPDX-License-Identifier: MIT
#ifndef TVKSIGNAL_H
#define TVKSIGNAL_H

// Signal connection and emission. This is inline framework code: every
// library that emits or connects compiles it in.

#include "tvkobject.h"
#include "tvksignalcatalog.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <iterator>
#include <string>
#include <type_traits>
#include <typeinfo>

namespace Quorvan {

namespace detail {
// The buffer signal texts are normalised into. It keeps its capacity between
// calls. One per thread, and the same one for every unit that includes this
// header: an inline function of external linkage must name the same entity
// wherever it is compiled, so the buffer may not live in an unnamed
// namespace. thread_local: two threads connecting or emitting at once must
// not share one. Objects may still emit ("destroyed") while the thread's
// thread_local objects are torn down at thread exit, after the buffer is
// gone; `alive` (trivially destructible, so still readable) tells the
// caller to use a buffer of its own then.
struct CtvkSignalBuffer {
    std::string text;
    bool* alive;
    ~CtvkSignalBuffer() { *alive = false; }
};
} // namespace detail

inline std::string* tvkSignalBuffer()
{
    static thread_local bool alive = true;
    static thread_local detail::CtvkSignalBuffer buffer{std::string(), &alive};
    return alive ? &buffer.text : nullptr;
}

// Drops '(', ')' and blanks: "errorOccurred(CtvkModbusDevice::Error)" and
// "errorOccurred (CtvkModbusDevice::Error)" name the same signal.
inline std::string tvkNormalizedSignal(const char* signal)
{
    std::string fallback;
    std::string* buffer = tvkSignalBuffer();
    if (!buffer)
        buffer = &fallback;
    buffer->clear();
    buffer->reserve(1024);
    if (signal) {
        for (const char* p = signal; *p; ++p)
            if (*p != '(' && *p != ')' && *p != ' ' && *p != '\t')
                buffer->push_back(*p);
    }
    return *buffer;
}

// The key a handler of type H is stored under for `signal`.
template <class H>
std::string tvkSignalKey(const std::string& normalized) { return normalized + typeid(H).name(); }

// Declares that objects of `className` emit `signal` to handlers of
// std::function<void(Arg)> (the second form: std::function<void()>), so
// that connect() can tell a handler of another type that it is never
// called. Answers true, for a function-local static.
template <class Arg>
bool tvkDeclareSignal(const char* className, const char* signal)
{
    return CtvkSignalCatalog::declare(className, tvkNormalizedSignal(signal), typeid(std::function<void(Arg)>));
}
inline bool tvkDeclareSignal(const char* className, const char* signal)
{
    return CtvkSignalCatalog::declare(className, tvkNormalizedSignal(signal), typeid(std::function<void()>));
}

namespace detail {

template <class Handler>
void tvkConnect(CtvkObject* sender, const char* signal, CtvkObject* receiver, const char* method,
                Handler handler)
{
    const std::string normalized = tvkNormalizedSignal(signal);
    if (!sender)
        return;
    CtvkConnectionTable* table = sender->connectionTable();
    if (!table)
        return;
    // Connected all the same: the key is the handler's type, and a later
    // emitter of that type would call it.
    CtvkSignalCatalog::checkHandler(sender, normalized, typeid(Handler), signal);

    CtvkMutexLocker lock(&table->mutex);
    const std::string key = tvkSignalKey<Handler>(normalized);
    const std::int64_t counted = static_cast<std::int64_t>(table->counter);
    std::int64_t id = counted;
    if (method) {
        const std::uint64_t upper = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(receiver)) << 32;
        const std::uint64_t lower = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(method));
        id = static_cast<std::int64_t>(upper | lower);
        if (id == -1)
            id = counted;
    }
    // Wraps instead of overflowing a signed counter.
    table->counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(table->counter) + 1u);

    CtvkAny any(std::move(handler), id);
    bool replaced = false;
    auto range = table->handlers.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.type && it->second.id == id) {
            it->second = std::move(any);
            replaced = true;
            break;
        }
    }
    if (!replaced) {
        table->handlers.emplace_hint(range.second, key, std::move(any));
        table->ids.emplace(key, id);
    }
    lock.unlock();

    if (receiver) {
        CtvkList<CtvkObject*>& receivers = sender->receivers();
        if (receivers.lastIndexOf(receiver) < 0)
            receivers.append(receiver);
        CtvkList<CtvkObject*>& senders = receiver->senders();
        if (senders.lastIndexOf(sender) < 0)
            senders.append(sender);
        receiver->connections().append(MessageData{key, id, sender});
    }
}

// Keeps the emission count of a table right on every way out, exceptions
// included, and sweeps out handlers emptied meanwhile once the outermost
// emission ends.
struct CtvkEmissionGuard {
    explicit CtvkEmissionGuard(CtvkConnectionTable* t) : table(t) { ++table->emitting; }
    ~CtvkEmissionGuard()
    {
        if (--table->emitting == 0 && table->hasRemoved) {
            for (auto it = table->handlers.begin(); it != table->handlers.end();)
                it = it->second.type ? std::next(it) : table->handlers.erase(it);
            table->hasRemoved = false;
        }
    }
    CtvkEmissionGuard(const CtvkEmissionGuard&) = delete;
    CtvkEmissionGuard& operator=(const CtvkEmissionGuard&) = delete;
    CtvkConnectionTable* table;
};

} // namespace detail

template <class Arg>
void CtvkObject::connect(CtvkObject* sender, const char* signal, CtvkObject* receiver,
                         std::function<void(Arg)> handler)
{
    detail::tvkConnect<std::function<void(Arg)>>(sender, signal, receiver, nullptr, std::move(handler));
}

inline void CtvkObject::connect(CtvkObject* sender, const char* signal, CtvkObject* receiver,
                                std::function<void()> handler)
{
    detail::tvkConnect<std::function<void()>>(sender, signal, receiver, nullptr, std::move(handler));
}

inline void CtvkObject::connect(CtvkObject* sender, const char* signal, CtvkObject* receiver,
                                const char* method, std::function<void()> handler)
{
    detail::tvkConnect<std::function<void()>>(sender, signal, receiver, method, std::move(handler));
}

template <class Arg>
void CtvkObject::connect(CtvkObject* sender, const char* signal, CtvkObject* receiver,
                         const char* method, std::function<void(Arg)> handler)
{
    detail::tvkConnect<std::function<void(Arg)>>(sender, signal, receiver, method, std::move(handler));
}

namespace detail {

// The emission shared by the forms with and without an argument; `call`
// runs one handler (of type Handler).
template <class Handler, class Call>
void tvkEmit(CtvkObject* self, const std::string& signal, const Call& call)
{
    const std::string normalized = tvkNormalizedSignal(signal.c_str());
    if (self->signalsBlocked() && normalized != "destroyedCtvkObject*")
        return;

    for (CtvkObject* r : self->receivers())
        if (r)
            r->setCurrentSender(self);

    std::string& buffer = self->emissionBuffer();
    buffer.reserve(1024);
    buffer = normalized;
    buffer.shrink_to_fit();

    // Our own reference: a handler may destroy the sender, and with it the
    // sender's reference to the table.
    const std::shared_ptr<CtvkConnectionTable> table = self->sharedConnectionTable();
    if (!table)
        return;

    {
        CtvkMutexLocker lock(&table->mutex);
        CtvkEmissionGuard guard(table.get());
        const std::string key = tvkSignalKey<Handler>(normalized);
        auto it = table->handlers.lower_bound(key);
        // Only the handlers present now: one connected by a handler joins the
        // next emission. Nothing is erased while an emission runs, and new
        // ones go after the existing ones of the key, so `it` stays on them.
        const auto count = table->handlers.count(key);
        for (std::size_t i = 0; i < count; ++i, ++it) {
            const CtvkAny& any = it->second;
            if (!any.type)
                continue;   // its receiver went away during this emission
            if (*any.type != typeid(Handler)) {
                const char* stored = any.type->name();
                if (*stored == '*')
                    ++stored;
                std::printf("can not cast %s to %s\n", typeid(Handler).name(), stored);
                std::fflush(stdout);
                throw std::bad_cast();
            }
            // A copy: the handler may replace itself while it runs.
            const Handler h = static_cast<const CtvkAny::Derived<Handler>*>(any.holder)->value;
            call(h);
            if (table->stop)
                return;   // the sender is gone: touch nothing of it
        }
    }

    for (CtvkObject* r : self->receivers())
        if (r)
            r->setCurrentSender(nullptr);
}

} // namespace detail

template <class R, class Arg>
R CtvkObject::transmit(Arg value, const std::string& signal)
{
    using Handler = std::function<void(Arg)>;
    detail::tvkEmit<Handler>(this, signal, [&value](const Handler& h) { h(value); });
    return R();
}

template <class R>
R CtvkObject::transmit(const std::string& signal)
{
    using Handler = std::function<void()>;
    detail::tvkEmit<Handler>(this, signal, [](const Handler& h) { h(); });
    return R();
}

} // namespace Quorvan

#endif
