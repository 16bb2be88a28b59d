// SPDX-License-Identifier: MIT
#ifndef TVKSPINBOXSENSOR_H
#define TVKSPINBOXSENSOR_H

#include "tvkboundedit_global.h"
#include "tvkspinbox.h"

namespace Quorvan {

class CtvkSpinBoxSensorPrivate;
class CtvkDoubleSpinBoxSensorPrivate;

// An integer spin box whose value, maximum and minimum can each follow a
// process-data identifier (0: not bound).
//
// Announced values are shown through the base box's operations, which never
// write back. Values set on the box (setValue, setMaximum, setMinimum, or a
// user's edit) are stored under the bound identifier, but only when they
// differ from what the box holds: the echo of a box's own write then finds
// it already shown, and nothing loops.
//
// A double announced as such is truncated toward zero (2.9 shows 2, -2.9
// shows -2); beyond int it stands at the nearer end, and not-a-number is
// ignored. A value read at binding, or announced as a variant, gives the
// variant's own integer, which rounds (a stored 2.7 shows 3).
//
// An identifier bound to more than one of the three moves only the first of
// value, maximum and minimum that holds it.
class TVK_BOUNDEDIT_EXPORT CtvkSpinBoxSensor : public CtvkSpinBox {
public:
    TVK_DECLARE_PRIVATE(CtvkSpinBoxSensor)

    explicit CtvkSpinBoxSensor(CtvkWidget* parent = nullptr);
    ~CtvkSpinBoxSensor() override;

    void dataSensorEvent(CtvkDataSensorEvent* event) override;
    // Binding the value reads the stored value at once; binding a limit does
    // not: the limit keeps its value until the next announcement.
    void setDataID(unsigned id) override;
    void setMaxDataID(unsigned id) override;
    void setMinDataID(unsigned id) override;
    unsigned dataID() const override;
    unsigned maxDataID() const override;
    unsigned minDataID() const override;
    void setValue(int value) override;

    // Hide the base's operations: these write the change back.
    void setMaximum(int value);
    void setMinimum(int value);

    // Applies a value announced for `id` to the first of the value, the
    // maximum and the minimum that is bound to it; never writes back.
    void setDataValue(unsigned id, int value);
    // Moves the binding held in `slot` (one of the three identifiers) to `id`.
    void reBindID(unsigned id, unsigned& slot);
};

// The floating-point twin: the same bindings and rules, values compared with
// a relative tolerance of 1e-12, and every binding (limits included) reads
// the stored value at once. Any double is applied, an infinity too (an
// open-ended limit); not-a-number is ignored, announced or read.
class TVK_BOUNDEDIT_EXPORT CtvkDoubleSpinBoxSensor : public CtvkDoubleSpinBox {
public:
    TVK_DECLARE_PRIVATE(CtvkDoubleSpinBoxSensor)

    explicit CtvkDoubleSpinBoxSensor(CtvkWidget* parent = nullptr);
    ~CtvkDoubleSpinBoxSensor() override;

    void dataSensorEvent(CtvkDataSensorEvent* event) override;
    void setDataID(unsigned id) override;
    void setMaxDataID(unsigned id) override;
    void setMinDataID(unsigned id) override;
    unsigned dataID() const override;
    unsigned maxDataID() const override;
    unsigned minDataID() const override;
    void setValue(double value) override;

    void setMaximum(double value);
    void setMinimum(double value);

    void setDataValue(unsigned id, double value);
    void reBindID(unsigned id, unsigned& slot);
};

} // namespace Quorvan

#endif
