// SPDX-License-Identifier: MIT
#include "tvkdatadistribute.h"
#include "tvkdatadistribute_p.h"

#include "tvkdatasensor.h"

namespace Quorvan {

CtvkDataDistribute::CtvkDataDistribute() : d(new CtvkDataDistributePrivate) {}
CtvkDataDistribute::~CtvkDataDistribute() = default;

CtvkVariant CtvkDataDistribute::value(unsigned id) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    auto it = d->slots.find(id);
    return it == d->slots.end() ? CtvkVariant() : it->second.value;
}

void CtvkDataDistribute::setValue(unsigned id, const CtvkVariant& value, bool announce, bool evenIfUnchanged)
{
    // Announced under the lock: two threads storing under one identifier
    // are announced in the order they were stored, so what the receivers
    // show last is what the store holds.
    std::lock_guard<std::mutex> lock(d->mutex);
    CtvkDataDistributePrivate::Slot& slot = d->slots[id];
    const bool changed = slot.writes == 0 || !(slot.value == value) || slot.value.type() != value.type();
    slot.value = value;
    ++slot.writes;
    ++d->writes;
    if (announce && (evenIfUnchanged || changed))
        CtvkApplicationPlus::dataSensor()->announce(static_cast<int>(id), sensorTypeOf(value), value);
}

std::uint64_t CtvkDataDistribute::writeCount(unsigned id) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    auto it = d->slots.find(id);
    return it == d->slots.end() ? 0 : it->second.writes;
}

std::uint64_t CtvkDataDistribute::writeCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->writes;
}

void CtvkDataDistribute::clear()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->slots.clear();
    d->writes = 0;
}

int CtvkDataDistribute::sensorTypeOf(const CtvkVariant& value) noexcept
{
    switch (value.type()) {
    case CtvkVariant::Bool: return CtvkDataSensorEvent::BoolSensor;
    case CtvkVariant::Int: return CtvkDataSensorEvent::IntSensor;
    case CtvkVariant::Double: return CtvkDataSensorEvent::DoubleSensor;
    default: return CtvkDataSensorEvent::AnySensor;
    }
}

CtvkDataDistributeFactory* CtvkDataDistributeFactory::instance()
{
    static CtvkDataDistributeFactory factory;
    return &factory;
}

CtvkDataDistribute* CtvkDataDistributeFactory::get()
{
    // Never destroyed: widgets may still write while statics are torn down.
    static CtvkDataDistribute* store = new CtvkDataDistribute;
    return store;
}

} // namespace Quorvan
