// SPDX-License-Identifier: MIT
#include "tvksignalcatalog.h"

#include "tvkmessagehandler.h"
#include "tvkobject.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace Quorvan {

namespace {

std::atomic<CtvkMessageHandler> messageHandler{nullptr};

struct Emitter {
    std::string className;
    std::string handlerType;   // mangled: type_info objects of one type may differ between libraries
};

struct Catalog {
    std::mutex mutex;
    std::map<std::string, std::vector<Emitter>> bySignal;
    std::set<std::string> warned;
};

// Never destroyed: objects that connect or emit from static destructors
// may still ask.
Catalog& catalog()
{
    static Catalog* c = new Catalog;
    return *c;
}

std::string readable(const char* mangled)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(mangled);
}

void printLine(const std::string& line)
{
    if (const CtvkMessageHandler handler = messageHandler.load()) {
        handler("base", line.c_str());
        return;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

} // namespace

CtvkMessageHandler tvkInstallBaseMessageHandler(CtvkMessageHandler handler)
{
    return messageHandler.exchange(handler);
}

bool CtvkSignalCatalog::declare(const char* className, const std::string& normalizedSignal,
                                const std::type_info& handlerType)
{
    Catalog& c = catalog();
    const std::lock_guard<std::mutex> lock(c.mutex);
    std::vector<Emitter>& emitters = c.bySignal[normalizedSignal];
    for (const Emitter& e : emitters)
        if (e.className == className && e.handlerType == handlerType.name())
            return true;
    emitters.push_back({className, handlerType.name()});
    return true;
}

void CtvkSignalCatalog::checkHandler(const CtvkObject* sender, const std::string& normalizedSignal,
                                     const std::type_info& handlerType, const char* signalText)
{
    if (!sender)
        return;
    Catalog& c = catalog();
    std::string expected;
    {
        const std::lock_guard<std::mutex> lock(c.mutex);
        const auto found = c.bySignal.find(normalizedSignal);
        if (found == c.bySignal.end())
            return;   // nobody declared it: an application's own signal, say
        bool declared = false;
        for (const Emitter& e : found->second) {
            if (!sender->inherits(e.className.c_str()))
                continue;
            if (e.handlerType == handlerType.name())
                return;
            declared = true;
            if (expected.empty())
                expected = e.handlerType;
        }
        if (!declared)
            return;
        const std::string once = std::string(sender->className()) + '\n' + normalizedSignal + '\n' + handlerType.name();
        if (!c.warned.insert(once).second)
            return;
    }
    printLine(std::string("connect: \"") + (signalText ? signalText : normalizedSignal.c_str()) + "\" of "
              + sender->className() + " never calls a handler of type " + readable(handlerType.name())
              + "; it calls " + readable(expected.c_str()));
}

} // namespace Quorvan
