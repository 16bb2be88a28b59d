// SPDX-License-Identifier: MIT
#ifndef TVKTEST_WAITING_H
#define TVKTEST_WAITING_H

#include "deadline.h"
#include "tvkeventloop.h"

#include <functional>

namespace tvktest {

// Polls `done` until it answers true or `timeoutMs` have passed; for what
// other threads bring about.
bool waitFor(const std::function<bool()>& done, int timeoutMs = kWaitMs);

// Runs the loop in short slices until `done` or the deadline: the peers the
// tests wait on (raw sockets, pipes, pseudo terminals) are not watched by
// the loop, so it must not sleep long.
bool pumpUntil(Quorvan::CtvkEventLoop& loop, const std::function<bool()>& done, int timeoutMs = kWaitMs);

} // namespace tvktest

#endif
