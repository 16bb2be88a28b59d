// SPDX-License-Identifier: MIT
#ifndef TVKDATADISTRIBUTE_H
#define TVKDATADISTRIBUTE_H

#include "tvkdatabus_global.h"
#include "tvkvariant.h"

#include <cstdint>
#include <memory>

namespace Quorvan {

class CtvkDataDistributePrivate;

// The process-data store: one value per identifier. A stored value is
// announced through the data sensor to the objects bound to its identifier;
// they receive it from their event loop, never inside setValue(). The
// announcement's event class follows the value's type: bool 1, int 2,
// double 4, anything else 10. Values may be stored from any thread.
class TVK_DATABUS_EXPORT CtvkDataDistribute {
public:
    CtvkDataDistribute();
    ~CtvkDataDistribute();
    CtvkDataDistribute(const CtvkDataDistribute&) = delete;
    CtvkDataDistribute& operator=(const CtvkDataDistribute&) = delete;

    // The value stored under `id`; invalid if none was.
    CtvkVariant value(unsigned id) const;
    // Stores `value` under `id`. With `announce`, the value is announced:
    // always when `evenIfUnchanged`, else only when it differs from the one
    // stored before.
    void setValue(unsigned id, const CtvkVariant& value, bool announce, bool evenIfUnchanged);

    // How many times setValue() was called, for one identifier or for all:
    // what a panel writes to the process, counted.
    std::uint64_t writeCount(unsigned id) const;
    std::uint64_t writeCount() const;
    // Forgets every value and count.
    void clear();

    // The sensor type an announcement of `value` carries.
    static int sensorTypeOf(const CtvkVariant& value) noexcept;

private:
    std::unique_ptr<CtvkDataDistributePrivate> d;
};

class TVK_DATABUS_EXPORT CtvkDataDistributeFactory {
public:
    static CtvkDataDistributeFactory* instance();
    // The one store of the process.
    CtvkDataDistribute* get();

private:
    CtvkDataDistributeFactory() = default;
};

} // namespace Quorvan

#endif
