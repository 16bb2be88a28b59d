// SPDX-License-Identifier: MIT
#ifndef TVKDATASENSOR_H
#define TVKDATASENSOR_H

#include "tvkbase_global.h"
#include "tvkevent.h"
#include "tvkvariant.h"

#include <map>
#include <mutex>
#include <set>

namespace Quorvan {

class CtvkObject;

// Routes announced process values to the objects bound to their
// identifiers. Delivery is posted: the receiver's dataSensorEvent() runs from
// the event loop. An object that is destroyed is never delivered to again,
// whether or not it unbound.
class TVK_BASE_EXPORT CtvkDataSensor {
public:
    CtvkDataSensor();
    ~CtvkDataSensor();
    CtvkDataSensor(const CtvkDataSensor&) = delete;
    CtvkDataSensor& operator=(const CtvkDataSensor&) = delete;

    void bind(int id, CtvkObject* receiver);
    void unbind(int id, CtvkObject* receiver);
    bool isBound(int id, const CtvkObject* receiver) const;
    // Drops every binding of the receiver (called when it is destroyed).
    void unbindAll(const CtvkObject* receiver);

    // Posts an event of the class that sensorType names (1 bool, 2 int,
    // 4 double, 10 any) to every receiver bound to `id`. Other types post
    // nothing.
    void announce(int id, int sensorType, const CtvkVariant& value);

private:
    // Announcements may come from another thread than the receivers live in.
    mutable std::mutex m_mutex;
    std::map<int, std::set<CtvkObject*>> m_bindings;
};

class TVK_BASE_EXPORT CtvkApplicationPlus {
public:
    static CtvkDataSensor* dataSensor();
};

} // namespace Quorvan

#endif
