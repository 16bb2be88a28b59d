// SPDX-License-Identifier: MIT
#ifndef TVKEVENT_H
#define TVKEVENT_H

#include "tvkbase_global.h"
#include "tvkvariant.h"

namespace Quorvan {

class CtvkObject;

class TVK_BASE_EXPORT CtvkEvent {
public:
    // The framework's event numbers.
    enum Type {
        None = 0,
        Timer = 1,
        MetaCall = 43,        // a queued property write (CtvkObject::invokeMethod)
        SockAct = 50,         // the watched socket is ready
        DeferredDelete = 52,  // deleteLater()
        ChildAdded = 68,
        ChildRemoved = 70,
        SockPause = 71,       // a notifier is asked to rest until the loop's next pass
        DataSensor = 1000,    // a process value was announced
        User = 1100
    };
    explicit CtvkEvent(int type) noexcept : m_type(type) {}
    virtual ~CtvkEvent();
    int type() const noexcept { return m_type; }
    CtvkEvent(const CtvkEvent&) = default;
    CtvkEvent& operator=(const CtvkEvent&) = default;
private:
    int m_type;
};

class TVK_BASE_EXPORT CtvkTimerEvent : public CtvkEvent {
public:
    explicit CtvkTimerEvent(int timerId) noexcept : CtvkEvent(Timer), m_id(timerId) {}
    ~CtvkTimerEvent() override;
    int timerId() const noexcept { return m_id; }
private:
    int m_id;
};

class TVK_BASE_EXPORT CtvkChildEvent : public CtvkEvent {
public:
    CtvkChildEvent(int type, CtvkObject* child) noexcept : CtvkEvent(type), m_child(child) {}
    ~CtvkChildEvent() override;
    CtvkObject* child() const noexcept { return m_child; }
    bool added() const noexcept { return type() == ChildAdded; }
    bool removed() const noexcept { return type() == ChildRemoved; }
private:
    CtvkObject* m_child;
};

class TVK_BASE_EXPORT CtvkCustomEvent : public CtvkEvent {
public:
    explicit CtvkCustomEvent(int type) noexcept : CtvkEvent(type) {}
    ~CtvkCustomEvent() override;
};

// A process value announced for an identifier. sensorType() names the class
// that carries the value: 1 bool, 2 int, 4 double, 10 any (CtvkVariant).
class TVK_BASE_EXPORT CtvkDataSensorEvent : public CtvkEvent {
public:
    enum SensorType { BoolSensor = 1, IntSensor = 2, DoubleSensor = 4, AnySensor = 10 };
    CtvkDataSensorEvent(int uid, int sensorType) noexcept
        : CtvkEvent(DataSensor), m_uid(uid), m_sensorType(sensorType) {}
    ~CtvkDataSensorEvent() override;
    int uid() const noexcept { return m_uid; }
    int sensorType() const noexcept { return m_sensorType; }
private:
    int m_uid;
    int m_sensorType;
};

class TVK_BASE_EXPORT CtvkBoolDataSensorEvent : public CtvkDataSensorEvent {
public:
    CtvkBoolDataSensorEvent(int uid, bool v) noexcept : CtvkDataSensorEvent(uid, BoolSensor), m_value(v) {}
    ~CtvkBoolDataSensorEvent() override;
    bool value() const noexcept { return m_value; }
private:
    bool m_value;
};

class TVK_BASE_EXPORT CtvkIntDataSensorEvent : public CtvkDataSensorEvent {
public:
    CtvkIntDataSensorEvent(int uid, int v) noexcept : CtvkDataSensorEvent(uid, IntSensor), m_value(v) {}
    ~CtvkIntDataSensorEvent() override;
    int value() const noexcept { return m_value; }
private:
    int m_value;
};

class TVK_BASE_EXPORT CtvkDoubleDataSensorEvent : public CtvkDataSensorEvent {
public:
    CtvkDoubleDataSensorEvent(int uid, double v) noexcept : CtvkDataSensorEvent(uid, DoubleSensor), m_value(v) {}
    ~CtvkDoubleDataSensorEvent() override;
    double value() const noexcept { return m_value; }
private:
    double m_value;
};

class TVK_BASE_EXPORT CtvkAnyDataSensorEvent : public CtvkDataSensorEvent {
public:
    CtvkAnyDataSensorEvent(int uid, const CtvkVariant& v) : CtvkDataSensorEvent(uid, AnySensor), m_value(v) {}
    ~CtvkAnyDataSensorEvent() override;
    const CtvkVariant& value() const noexcept { return m_value; }
private:
    CtvkVariant m_value;
};

} // namespace Quorvan

#endif
