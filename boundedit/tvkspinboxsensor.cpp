#include "tvkspinboxsensor.h"
#include "tvkspinboxsensor_p.h"

#include "tvkdatadistribute.h"
#include "tvkdatasensor.h"

#include <cmath>
#include <functional>

namespace Quorvan {

namespace {

// The method name the boxes connect their own "editingFinished()" under:
// the connection id then stands for the box and this text.
const char kInternalMethod[] = "internal_method";

// Fetched anew each time: the host may replace the store.
CtvkDataDistribute* store() { return CtvkDataDistributeFactory::instance()->get(); }

// Takes no box: a handler of the box's own change may have destroyed it by
// the time its value is written.
void writeBack(unsigned id, const CtvkVariant& value)
{
    if (id != 0)
        store()->setValue(id, value, true, true);
}

// Moves one binding of `box` from `slot` to `id`. The old identifier stays
// bound while another of the box's three fields still holds it: the sensor
// keeps one binding per identifier and receiver, so unbinding it would also
// cut off that other field.
void rebind(CtvkObject* box, unsigned id, unsigned& slot, const unsigned* const (&fields)[3])
{
    if (id == slot)
        return;
    CtvkDataSensor* sensor = CtvkApplicationPlus::dataSensor();
    if (slot != 0) {
        bool shared = false;
        for (const unsigned* f : fields)
            if (f != &slot && *f == slot)
                shared = true;
        if (!shared)
            sensor->unbind(static_cast<int>(slot), box);
    }
    sensor->bind(static_cast<int>(id), box);
    slot = id;
}

bool intFromEvent(CtvkDataSensorEvent* e, int* out)
{
    switch (e->sensorType()) {
    case CtvkDataSensorEvent::BoolSensor:
        if (auto* b = dynamic_cast<CtvkBoolDataSensorEvent*>(e)) {
            *out = b->value() ? 1 : 0;
            return true;
        }
        return false;
    case CtvkDataSensorEvent::IntSensor:
        if (auto* i = dynamic_cast<CtvkIntDataSensorEvent*>(e)) {
            *out = i->value();
            return true;
        }
        return false;
    case CtvkDataSensorEvent::DoubleSensor:
        if (auto* d = dynamic_cast<CtvkDoubleDataSensorEvent*>(e))
            return detail::tvkTruncatedInt(d->value(), out);
        return false;
    case CtvkDataSensorEvent::AnySensor:
        if (auto* a = dynamic_cast<CtvkAnyDataSensorEvent*>(e); a && a->value().canConvert(CtvkVariant::Int)) {
            *out = a->value().toInt();
            return true;
        }
        return false;
    default:
        return false;
    }
}

bool doubleFromEvent(CtvkDataSensorEvent* e, double* out)
{
    switch (e->sensorType()) {
    case CtvkDataSensorEvent::BoolSensor:
        if (auto* b = dynamic_cast<CtvkBoolDataSensorEvent*>(e)) {
            *out = b->value() ? 1.0 : 0.0;
            return true;
        }
        return false;
    case CtvkDataSensorEvent::IntSensor:
        if (auto* i = dynamic_cast<CtvkIntDataSensorEvent*>(e)) {
            *out = static_cast<double>(i->value());
            return true;
        }
        return false;
    case CtvkDataSensorEvent::DoubleSensor:
        if (auto* d = dynamic_cast<CtvkDoubleDataSensorEvent*>(e)) {
            *out = d->value();
            return true;
        }
        return false;
    case CtvkDataSensorEvent::AnySensor:
        if (auto* a = dynamic_cast<CtvkAnyDataSensorEvent*>(e); a && a->value().canConvert(CtvkVariant::Double)) {
            *out = a->value().toDouble();
            return true;
        }
        return false;
    default:
        return false;
    }
}

} // namespace

// ---------------------------------------------------------- CtvkSpinBoxSensor

CtvkSpinBoxSensor::CtvkSpinBoxSensor(CtvkWidget* parent) : CtvkSpinBox(parent)
{
    setClassName("CtvkSpinBoxSensor");
    storeherits("CtvkSpinBoxSensor");
    connect(this, "editingFinished()", this, kInternalMethod, std::function<void()>([this] { editFinished(); }));
}

// The identifiers are not unbound here: the object base drops every binding
// of a destroyed object, and its pending announcements with them.
CtvkSpinBoxSensor::~CtvkSpinBoxSensor() = default;

void CtvkSpinBoxSensor::reBindID(unsigned id, unsigned& slot)
{
    rebind(this, id, slot, {&valueId, &maxId, &minId});
}

void CtvkSpinBoxSensor::setDataID(unsigned id)
{
    reBindID(id, valueId);
    const CtvkVariant stored = store()->value(id);
    if (stored.canConvert(CtvkVariant::Int))
        CtvkSpinBox::setValue(stored.toInt());
}

void CtvkSpinBoxSensor::setMaxDataID(unsigned id) { reBindID(id, maxId); }
void CtvkSpinBoxSensor::setMinDataID(unsigned id) { reBindID(id, minId); }
unsigned CtvkSpinBoxSensor::dataID() const { return valueId; }
unsigned CtvkSpinBoxSensor::maxDataID() const { return maxId; }
unsigned CtvkSpinBoxSensor::minDataID() const { return minId; }

void CtvkSpinBoxSensor::setDataValue(unsigned id, int value)
{
    if (id == valueId) {
        if (value != this->value())
            CtvkSpinBox::setValue(value);
    } else if (id == maxId) {
        if (value != maximum())
            CtvkSpinBox::setMaximum(value);
    } else if (id == minId) {
        if (value != minimum())
            CtvkSpinBox::setMinimum(value);
    }
}

void CtvkSpinBoxSensor::dataSensorEvent(CtvkDataSensorEvent* event)
{
    if (!event || event->uid() == 0)
        return;
    int value = 0;
    if (intFromEvent(event, &value))
        setDataValue(static_cast<unsigned>(event->uid()), value);
}

void CtvkSpinBoxSensor::setValue(int value)
{
    if (value == this->value())
        return;
    const unsigned id = valueId;
    CtvkSpinBox::setValue(value);
    // What was asked for, even if the range cut the shown value.
    writeBack(id, CtvkVariant(value));
}

void CtvkSpinBoxSensor::setMaximum(int value)
{
    if (value == maximum())
        return;
    const unsigned id = maxId;
    CtvkSpinBox::setMaximum(value);
    writeBack(id, CtvkVariant(value));
}

void CtvkSpinBoxSensor::setMinimum(int value)
{
    if (value == minimum())
        return;
    const unsigned id = minId;
    CtvkSpinBox::setMinimum(value);
    writeBack(id, CtvkVariant(value));
}

void CtvkSpinBoxSensor::editFinished()
{
    if (valueId == 0)
        return;
    const int shown = value();
    if (shown != store()->value(valueId).toInt())
        writeBack(valueId, CtvkVariant(shown));
}

// ---------------------------------------------------- CtvkDoubleSpinBoxSensor

CtvkDoubleSpinBoxSensor::CtvkDoubleSpinBoxSensor(CtvkWidget* parent) : CtvkDoubleSpinBox(parent)
{
    setClassName("CtvkDoubleSpinBoxSensor");
    storeherits("CtvkDoubleSpinBoxSensor");
    connect(this, "editingFinished()", this, kInternalMethod, std::function<void()>([this] { editFinished(); }));
}

CtvkDoubleSpinBoxSensor::~CtvkDoubleSpinBoxSensor() = default;

void CtvkDoubleSpinBoxSensor::reBindID(unsigned id, unsigned& slot)
{
    rebind(this, id, slot, {&valueId, &maxId, &minId});
}

void CtvkDoubleSpinBoxSensor::setDataID(unsigned id)
{
    reBindID(id, valueId);
    const CtvkVariant stored = store()->value(id);
    if (stored.canConvert(CtvkVariant::Double))
        CtvkDoubleSpinBox::setValue(stored.toDouble());
}

void CtvkDoubleSpinBoxSensor::setMaxDataID(unsigned id)
{
    reBindID(id, maxId);
    const CtvkVariant stored = store()->value(id);
    if (stored.canConvert(CtvkVariant::Double))
        CtvkDoubleSpinBox::setMaximum(stored.toDouble());
}

void CtvkDoubleSpinBoxSensor::setMinDataID(unsigned id)
{
    reBindID(id, minId);
    const CtvkVariant stored = store()->value(id);
    if (stored.canConvert(CtvkVariant::Double))
        CtvkDoubleSpinBox::setMinimum(stored.toDouble());
}

unsigned CtvkDoubleSpinBoxSensor::dataID() const { return valueId; }
unsigned CtvkDoubleSpinBoxSensor::maxDataID() const { return maxId; }
unsigned CtvkDoubleSpinBoxSensor::minDataID() const { return minId; }

void CtvkDoubleSpinBoxSensor::setDataValue(unsigned id, double value)
{
    if (id == valueId) {
        if (!detail::tvkFuzzyEqual(value, this->value()))
            CtvkDoubleSpinBox::setValue(value);
    } else if (id == maxId) {
        if (!detail::tvkFuzzyEqual(value, maximum()))
            CtvkDoubleSpinBox::setMaximum(value);
    } else if (id == minId) {
        if (!detail::tvkFuzzyEqual(value, minimum()))
            CtvkDoubleSpinBox::setMinimum(value);
    }
}

void CtvkDoubleSpinBoxSensor::dataSensorEvent(CtvkDataSensorEvent* event)
{
    if (!event || event->uid() == 0)
        return;
    double value = 0.0;
    if (doubleFromEvent(event, &value))
        setDataValue(static_cast<unsigned>(event->uid()), value);
}

// Not-a-number is never stored: the box does not take it, and the process
// must not be handed a value that no box shows.
void CtvkDoubleSpinBoxSensor::setValue(double value)
{
    if (std::isnan(value) || detail::tvkFuzzyEqual(value, this->value()))
        return;
    const unsigned id = valueId;
    CtvkDoubleSpinBox::setValue(value);
    writeBack(id, CtvkVariant(value));
}

void CtvkDoubleSpinBoxSensor::setMaximum(double value)
{
    if (std::isnan(value) || detail::tvkFuzzyEqual(value, maximum()))
        return;
    const unsigned id = maxId;
    CtvkDoubleSpinBox::setMaximum(value);
    writeBack(id, CtvkVariant(value));
}

void CtvkDoubleSpinBoxSensor::setMinimum(double value)
{
    if (std::isnan(value) || detail::tvkFuzzyEqual(value, minimum()))
        return;
    const unsigned id = minId;
    CtvkDoubleSpinBox::setMinimum(value);
    writeBack(id, CtvkVariant(value));
}

void CtvkDoubleSpinBoxSensor::editFinished()
{
    if (valueId == 0)
        return;
    const double shown = value();
    if (!detail::tvkFuzzyEqual(shown, store()->value(valueId).toDouble()))
        writeBack(valueId, CtvkVariant(shown));
}

} // namespace Quorvan
