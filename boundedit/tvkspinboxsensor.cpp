// SPDX-License-Identifier: MIT
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
constexpr char kInternalMethod[] = "internal_method";

// The store's two flags on every write-back: announce the value to whoever
// is bound, even when it equals what the store holds.
constexpr bool kAnnounce = true;
constexpr bool kEvenIfUnchanged = true;

// Fetched anew each time: the host may replace the store.
CtvkDataDistribute* store() { return CtvkDataDistributeFactory::instance()->get(); }

// Takes no box: a handler of the box's own change may have destroyed it by
// the time its value is written.
void writeBack(unsigned id, const CtvkVariant& value)
{
    if (id != 0)
        store()->setValue(id, value, kAnnounce, kEvenIfUnchanged);
}

// What the two boxes differ in: the type they show, what counts as a
// change, what may be stored, how a stored number reaches them, and whether
// binding a limit reads it.
template <class Sensor>
struct BoundTraits;

template <>
struct BoundTraits<CtvkSpinBoxSensor> {
    using Box = CtvkSpinBox;
    using Value = int;
    static constexpr bool kReadsLimitsWhenBound = false;
    static bool same(int a, int b) { return a == b; }
    static bool storable(int) { return true; }
    // An announced double is truncated toward zero.
    static bool fromDouble(double v, int* out) { return detail::tvkTruncatedInt(v, out); }
    // A variant, read at binding or announced as one, gives its own integer:
    // a stored 2.7 shows 3, where the same double announced shows 2.
    static bool fromVariant(const CtvkVariant& v, int* out)
    {
        bool ok = false;
        const int i = v.toInt(&ok);
        if (ok)
            *out = i;
        return ok;
    }
    // What an ended edit compares the shown value with, converted or not.
    static int stored(const CtvkVariant& v) { return v.toInt(); }
};

template <>
struct BoundTraits<CtvkDoubleSpinBoxSensor> {
    using Box = CtvkDoubleSpinBox;
    using Value = double;
    static constexpr bool kReadsLimitsWhenBound = true;
    static bool same(double a, double b) { return detail::tvkFuzzyEqual(a, b); }
    // Not-a-number is never stored: the box does not take it, and the
    // process must not be handed a value that no box shows.
    static bool storable(double v) { return !std::isnan(v); }
    // Neither is it taken from the process: it differs from everything, so
    // once shown it would stick. An infinity is an open-ended limit.
    static bool fromDouble(double v, double* out)
    {
        if (std::isnan(v))
            return false;
        *out = v;
        return true;
    }
    static bool fromVariant(const CtvkVariant& v, double* out)
    {
        bool ok = false;
        const double d = v.toDouble(&ok);
        return ok && fromDouble(d, out);
    }
    // Not-a-number stays as stored: it differs from any shown value, so an
    // ended edit puts the shown one back.
    static double stored(const CtvkVariant& v) { return v.toDouble(); }
};

// An announcement's value, taken by its sensor type. An event whose class
// does not match its type number is not trusted.
template <class Traits, class T = typename Traits::Value>
bool valueFromEvent(CtvkDataSensorEvent* e, T* out)
{
    switch (e->sensorType()) {
    case CtvkDataSensorEvent::BoolSensor:
        if (auto* b = dynamic_cast<CtvkBoolDataSensorEvent*>(e)) {
            *out = b->value() ? T(1) : T(0);
            return true;
        }
        return false;
    case CtvkDataSensorEvent::IntSensor:
        if (auto* i = dynamic_cast<CtvkIntDataSensorEvent*>(e)) {
            *out = static_cast<T>(i->value());
            return true;
        }
        return false;
    case CtvkDataSensorEvent::DoubleSensor:
        if (auto* d = dynamic_cast<CtvkDoubleDataSensorEvent*>(e))
            return Traits::fromDouble(d->value(), out);
        return false;
    case CtvkDataSensorEvent::AnySensor:
        if (auto* a = dynamic_cast<CtvkAnyDataSensorEvent*>(e))
            return Traits::fromVariant(a->value(), out);
        return false;
    default:
        return false;
    }
}

// The three things a box can bind.
enum class Field { Value, Maximum, Minimum };

// The one body of both bound boxes.
template <class Sensor>
struct BoundSpinBox {
    using Traits = BoundTraits<Sensor>;
    using Box = typename Traits::Box;
    using T = typename Traits::Value;

    static unsigned& idOf(Sensor* box, Field f)
    {
        auto* d = box->d_func();
        return f == Field::Value ? d->valueId : f == Field::Maximum ? d->maxId : d->minId;
    }

    static T shown(const Sensor* box, Field f)
    {
        return f == Field::Value ? box->value() : f == Field::Maximum ? box->maximum() : box->minimum();
    }

    // Through the base box's own operations, which never write back.
    static void show(Sensor* box, Field f, T v)
    {
        switch (f) {
        case Field::Value: box->Box::setValue(v); break;
        case Field::Maximum: box->Box::setMaximum(v); break;
        case Field::Minimum: box->Box::setMinimum(v); break;
        }
    }

    static void connectEditFinished(Sensor* box)
    {
        CtvkObject::connect(box, "editingFinished()", box, kInternalMethod,
                            std::function<void()>([box] { editFinished(box); }));
    }

    // The old identifier stays bound while another of the box's three
    // fields still holds it: the sensor keeps one binding per identifier and
    // receiver, so unbinding it would also cut off that other field.
    static void reBind(Sensor* box, unsigned id, unsigned& slot)
    {
        if (id == slot)
            return;
        CtvkDataSensor* sensor = CtvkApplicationPlus::dataSensor();
        if (slot != 0) {
            bool shared = false;
            for (Field f : {Field::Value, Field::Maximum, Field::Minimum})
                if (&idOf(box, f) != &slot && idOf(box, f) == slot)
                    shared = true;
            if (!shared)
                sensor->unbind(static_cast<int>(slot), box);
        }
        sensor->bind(static_cast<int>(id), box);
        slot = id;
    }

    // Binding reads the stored value (for the integer box, the value only),
    // even for the identifier already bound; it writes nothing back.
    static void bind(Sensor* box, Field f, unsigned id)
    {
        box->reBindID(id, idOf(box, f));
        if (f != Field::Value && !Traits::kReadsLimitsWhenBound)
            return;
        T v{};
        if (Traits::fromVariant(store()->value(id), &v))
            show(box, f, v);
    }

    // The value, then the maximum, then the minimum: the first field bound
    // to `id` takes it, so an identifier that is both value and maximum
    // moves the value only. 0 is no identifier, and would otherwise match
    // every unbound field.
    static void apply(Sensor* box, unsigned id, T v)
    {
        if (id == 0)
            return;
        for (Field f : {Field::Value, Field::Maximum, Field::Minimum}) {
            if (id == idOf(box, f)) {
                if (!Traits::same(v, shown(box, f)))
                    show(box, f, v);
                return;
            }
        }
    }

    static void announced(Sensor* box, CtvkDataSensorEvent* e)
    {
        if (!e || e->uid() == 0)
            return;
        T v{};
        if (valueFromEvent<Traits>(e, &v))
            box->setDataValue(static_cast<unsigned>(e->uid()), v);
    }

    // What was asked for is stored, even if the range cut the shown value.
    static void set(Sensor* box, Field f, T v)
    {
        if (!Traits::storable(v) || Traits::same(v, shown(box, f)))
            return;
        const unsigned id = idOf(box, f);
        show(box, f, v);
        writeBack(id, CtvkVariant(v));
    }

    static void editFinished(Sensor* box)
    {
        const unsigned id = box->d_func()->valueId;
        if (id == 0)
            return;
        const T v = box->value();
        if (!Traits::same(v, Traits::stored(store()->value(id))))
            writeBack(id, CtvkVariant(v));
    }
};

using IntBound = BoundSpinBox<CtvkSpinBoxSensor>;
using DoubleBound = BoundSpinBox<CtvkDoubleSpinBoxSensor>;

} // namespace

// ---------------------------------------------------------- CtvkSpinBoxSensor

CtvkSpinBoxSensor::CtvkSpinBoxSensor(CtvkWidget* parent) : CtvkSpinBox(new CtvkSpinBoxSensorPrivate, parent)
{
    setClassName("CtvkSpinBoxSensor");
    storeherits("CtvkSpinBoxSensor");
    IntBound::connectEditFinished(this);
}

// The identifiers are not unbound here: the object base drops every binding
// of a destroyed object, and its pending announcements with them.
CtvkSpinBoxSensor::~CtvkSpinBoxSensor() = default;

void CtvkSpinBoxSensor::reBindID(unsigned id, unsigned& slot) { IntBound::reBind(this, id, slot); }
void CtvkSpinBoxSensor::setDataID(unsigned id) { IntBound::bind(this, Field::Value, id); }
void CtvkSpinBoxSensor::setMaxDataID(unsigned id) { IntBound::bind(this, Field::Maximum, id); }
void CtvkSpinBoxSensor::setMinDataID(unsigned id) { IntBound::bind(this, Field::Minimum, id); }
unsigned CtvkSpinBoxSensor::dataID() const { return d_func()->valueId; }
unsigned CtvkSpinBoxSensor::maxDataID() const { return d_func()->maxId; }
unsigned CtvkSpinBoxSensor::minDataID() const { return d_func()->minId; }
void CtvkSpinBoxSensor::setDataValue(unsigned id, int value) { IntBound::apply(this, id, value); }
void CtvkSpinBoxSensor::dataSensorEvent(CtvkDataSensorEvent* event) { IntBound::announced(this, event); }
void CtvkSpinBoxSensor::setValue(int value) { IntBound::set(this, Field::Value, value); }
void CtvkSpinBoxSensor::setMaximum(int value) { IntBound::set(this, Field::Maximum, value); }
void CtvkSpinBoxSensor::setMinimum(int value) { IntBound::set(this, Field::Minimum, value); }

// ---------------------------------------------------- CtvkDoubleSpinBoxSensor

CtvkDoubleSpinBoxSensor::CtvkDoubleSpinBoxSensor(CtvkWidget* parent)
    : CtvkDoubleSpinBox(new CtvkDoubleSpinBoxSensorPrivate, parent)
{
    setClassName("CtvkDoubleSpinBoxSensor");
    storeherits("CtvkDoubleSpinBoxSensor");
    DoubleBound::connectEditFinished(this);
}

CtvkDoubleSpinBoxSensor::~CtvkDoubleSpinBoxSensor() = default;

void CtvkDoubleSpinBoxSensor::reBindID(unsigned id, unsigned& slot) { DoubleBound::reBind(this, id, slot); }
void CtvkDoubleSpinBoxSensor::setDataID(unsigned id) { DoubleBound::bind(this, Field::Value, id); }
void CtvkDoubleSpinBoxSensor::setMaxDataID(unsigned id) { DoubleBound::bind(this, Field::Maximum, id); }
void CtvkDoubleSpinBoxSensor::setMinDataID(unsigned id) { DoubleBound::bind(this, Field::Minimum, id); }
unsigned CtvkDoubleSpinBoxSensor::dataID() const { return d_func()->valueId; }
unsigned CtvkDoubleSpinBoxSensor::maxDataID() const { return d_func()->maxId; }
unsigned CtvkDoubleSpinBoxSensor::minDataID() const { return d_func()->minId; }
void CtvkDoubleSpinBoxSensor::setDataValue(unsigned id, double value) { DoubleBound::apply(this, id, value); }
void CtvkDoubleSpinBoxSensor::dataSensorEvent(CtvkDataSensorEvent* event) { DoubleBound::announced(this, event); }
void CtvkDoubleSpinBoxSensor::setValue(double value) { DoubleBound::set(this, Field::Value, value); }
void CtvkDoubleSpinBoxSensor::setMaximum(double value) { DoubleBound::set(this, Field::Maximum, value); }
void CtvkDoubleSpinBoxSensor::setMinimum(double value) { DoubleBound::set(this, Field::Minimum, value); }

} // namespace Quorvan
