// SPDX-License-Identifier: MIT
#ifndef TVKDATADISTRIBUTE_P_H
#define TVKDATADISTRIBUTE_P_H

#include "tvkdatadistribute.h"

#include <cstdint>
#include <map>
#include <mutex>

namespace Quorvan {

class CtvkDataDistributePrivate {
public:
    struct Slot {
        CtvkVariant value;
        std::uint64_t writes = 0;
    };
    mutable std::mutex mutex;
    std::map<unsigned, Slot> slots;
    std::uint64_t writes = 0;
};

} // namespace Quorvan

#endif
