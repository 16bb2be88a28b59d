// SPDX-License-Identifier: MIT
#ifndef BENCH_BENCHSTATS_H
#define BENCH_BENCHSTATS_H

// The figures every benchmark prints: medians and percentiles of what it
// measured, and CPU clocks, which a loaded machine disturbs less than the
// wall clock.

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

namespace bench {

// The middle value (the mean of the two middle ones for an even count); 0
// for none.
inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// The value below which the fraction p (0..1) of the others lie; 0 for none.
inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

// The time a CPU clock shows (a thread's, CLOCK_THREAD_CPUTIME_ID for the
// calling thread), kernel time included, in seconds.
inline double cpuSeconds(clockid_t clock = CLOCK_THREAD_CPUTIME_ID)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The CPU clock of a running thread.
inline clockid_t cpuClockOf(std::thread& thread)
{
    clockid_t id = CLOCK_THREAD_CPUTIME_ID;
    pthread_getcpuclockid(thread.native_handle(), &id);
    return id;
}

} // namespace bench

#endif
