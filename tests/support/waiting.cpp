// SPDX-License-Identifier: MIT
#include "waiting.h"

#include "deadline.h"

#include <thread>

namespace tvktest {

namespace {

// Between two looks at the condition.
constexpr int kSliceMs = 2;

} // namespace

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    const Deadline deadline(timeoutMs);
    while (!done()) {
        if (deadline.passed())
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    }
    return true;
}

bool pumpUntil(Quorvan::CtvkEventLoop& loop, const std::function<bool()>& done, int timeoutMs)
{
    const Deadline deadline(timeoutMs);
    while (!done()) {
        if (deadline.passed())
            return done();
        loop.processEvents(kSliceMs);
    }
    return true;
}

} // namespace tvktest
