// SPDX-License-Identifier: MIT
#include "tvkdatasensor.h"

#include "tvkobject.h"

namespace Quorvan {

CtvkDataSensor::CtvkDataSensor() = default;
CtvkDataSensor::~CtvkDataSensor() = default;

void CtvkDataSensor::bind(int id, CtvkObject* receiver)
{
    if (!receiver)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bindings[id].insert(receiver);
}

void CtvkDataSensor::unbind(int id, CtvkObject* receiver)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_bindings.find(id);
    if (it == m_bindings.end())
        return;
    it->second.erase(receiver);
    if (it->second.empty())
        m_bindings.erase(it);
}

bool CtvkDataSensor::isBound(int id, const CtvkObject* receiver) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_bindings.find(id);
    return it != m_bindings.end() && it->second.count(const_cast<CtvkObject*>(receiver)) != 0;
}

void CtvkDataSensor::unbindAll(const CtvkObject* receiver)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_bindings.begin(); it != m_bindings.end();) {
        it->second.erase(const_cast<CtvkObject*>(receiver));
        it = it->second.empty() ? m_bindings.erase(it) : std::next(it);
    }
}

void CtvkDataSensor::announce(int id, int sensorType, const CtvkVariant& value)
{
    if (sensorType != CtvkDataSensorEvent::BoolSensor && sensorType != CtvkDataSensorEvent::IntSensor
        && sensorType != CtvkDataSensorEvent::DoubleSensor && sensorType != CtvkDataSensorEvent::AnySensor)
        return;
    // Posted with the lock held: a receiver being destroyed on another
    // thread unbinds (under this lock) before it drops its posted events, so
    // nothing can be posted to it after that.
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_bindings.find(id);
    if (it == m_bindings.end())
        return;
    for (CtvkObject* receiver : it->second) {
        CtvkEvent* e = nullptr;
        switch (sensorType) {
        case CtvkDataSensorEvent::BoolSensor: e = new CtvkBoolDataSensorEvent(id, value.toBool()); break;
        case CtvkDataSensorEvent::IntSensor: e = new CtvkIntDataSensorEvent(id, value.toInt()); break;
        case CtvkDataSensorEvent::DoubleSensor: e = new CtvkDoubleDataSensorEvent(id, value.toDouble()); break;
        default: e = new CtvkAnyDataSensorEvent(id, value); break;
        }
        CtvkObject::postEvent(receiver, e);
    }
}

CtvkDataSensor* CtvkApplicationPlus::dataSensor()
{
    // Never destroyed: objects may still unbind during static destruction.
    static CtvkDataSensor* sensor = new CtvkDataSensor;
    return sensor;
}

} // namespace Quorvan
