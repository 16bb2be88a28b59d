// SPDX-License-Identifier: MIT
#include "tvkevent.h"

namespace Quorvan {

// Out of line so every event class has one home for its vtable and its
// type information, which dynamic_cast across the libraries relies on.
CtvkEvent::~CtvkEvent() = default;
CtvkTimerEvent::~CtvkTimerEvent() = default;
CtvkChildEvent::~CtvkChildEvent() = default;
CtvkCustomEvent::~CtvkCustomEvent() = default;
CtvkDataSensorEvent::~CtvkDataSensorEvent() = default;
CtvkBoolDataSensorEvent::~CtvkBoolDataSensorEvent() = default;
CtvkIntDataSensorEvent::~CtvkIntDataSensorEvent() = default;
CtvkDoubleDataSensorEvent::~CtvkDoubleDataSensorEvent() = default;
CtvkAnyDataSensorEvent::~CtvkAnyDataSensorEvent() = default;

} // namespace Quorvan
