// SPDX-License-Identifier: MIT
#ifndef TVKTEST_DESCRIPTORS_H
#define TVKTEST_DESCRIPTORS_H

#include <sys/resource.h>
#include <sys/select.h>

#include <vector>

namespace tvktest {

// Open descriptors of this process as /proc/self/fd lists them, without the
// one the listing holds while it is read: what a fixture counts before and
// after a test to prove the test closed what it opened. -1 when the listing
// cannot be read.
int openDescriptors();

// The highest open descriptor number by the same listing; -1 when it cannot
// be read.
int highestOpenDescriptor();

// Takes every free descriptor number below `below` (raising the limit as
// needed) until the object goes, so that the next descriptor opened lies at
// or above it: how a test puts a socket beyond what select() takes.
class LowDescriptorsTaken {
public:
    // Whether the hard limit leaves room above FD_SETSIZE.
    static bool possible();
    // The number the next descriptor opened gets.
    static int next();

    explicit LowDescriptorsTaken(int below = FD_SETSIZE);
    ~LowDescriptorsTaken();
    LowDescriptorsTaken(const LowDescriptorsTaken&) = delete;
    LowDescriptorsTaken& operator=(const LowDescriptorsTaken&) = delete;

private:
    std::vector<int> m_taken;
    rlimit m_saved{};
    bool m_raised = false;
};

} // namespace tvktest

#endif
