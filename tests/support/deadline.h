// SPDX-License-Identifier: MIT
#ifndef TVKTEST_DEADLINE_H
#define TVKTEST_DEADLINE_H

#include <chrono>

namespace tvktest {

// What a wait on a condition allows when the caller names no limit.
constexpr int kWaitMs = 5000;

// The point in time a wait must not pass.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(int timeoutMs) : m_end(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}

    bool passed() const { return Clock::now() >= m_end; }
    // What is left, rounded up to whole milliseconds; 0 once passed.
    int leftMs() const
    {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_end - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }

private:
    Clock::time_point m_end;
};

} // namespace tvktest

#endif
