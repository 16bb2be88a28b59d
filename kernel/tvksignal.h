#ifndef TVKSIGNAL_H
#define TVKSIGNAL_H

// Signal connection and emission. This is inline framework code: every
// library that emits or connects compiles it in.

#include "tvkobject.h"

#include <functional>
#include <string>

namespace Quorvan {

// Drops '(', ')' and blanks: "errorOccurred(CtvkModbusDevice::Error)" and
// "errorOccurred (CtvkModbusDevice::Error)" name the same signal.
std::string tvkNormalizedSignal(const char* signal);
// The key a handler of type H is stored under for `signal`.
template <class H>
std::string tvkSignalKey(const std::string& normalized) { return normalized + typeid(H).name(); }

// ---- implementation below: to be provided ----

} // namespace Quorvan

#endif
