// SPDX-License-Identifier: MIT
#ifndef TVKSIGNALCATALOG_H
#define TVKSIGNALCATALOG_H

#include "tvkbase_global.h"

#include <string>
#include <typeinfo>

namespace Quorvan {

class CtvkObject;

// Which signals each class emits, with the handler type its emission calls.
// A handler is stored under its signal's name and its own type, so one of
// another type than the emitter's is never called, without a word; with
// the emitters declared here, connect() can say so. A class declares its
// signals once (the first construction is a good place).
class TVK_BASE_EXPORT CtvkSignalCatalog {
public:
    // `normalizedSignal` as tvkNormalizedSignal() gives it; `handlerType`
    // the std::function the emission calls. Answers true, for a static.
    static bool declare(const char* className, const std::string& normalizedSignal,
                        const std::type_info& handlerType);
    // Called by connect(): when the classes of `sender` declare signals by
    // this name and none of them calls a handler of `handlerType`, one
    // line says so through the base library's message handler (standard
    // error without one), once for each class, signal and handler type.
    static void checkHandler(const CtvkObject* sender, const std::string& normalizedSignal,
                             const std::type_info& handlerType, const char* signalText);
};

} // namespace Quorvan

#endif
