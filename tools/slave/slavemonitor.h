// SPDX-License-Identifier: MIT
#ifndef SLAVEMONITOR_H
#define SLAVEMONITOR_H

#include "toolconsole.h"
#include "tvkmodbusrtuserialmaster.h"
#include "tvktimer.h"

namespace tvkslave {

using tvktool::Console;

// Once a second while there is traffic on a serial line: the requests this
// slave took (answered, and broadcasts applied) per second, and what passed
// by for other slaves or was noise.
class LineMonitor : public Quorvan::CtvkObject {
public:
    LineMonitor(Quorvan::CtvkModbusRtuSerialMaster* server, Console* console);
    ~LineMonitor() override;

private:
    void tick();

    Quorvan::CtvkModbusRtuSerialMaster* m_server;
    Console* m_console;
    Quorvan::CtvkModbusRtuSerialMaster::LineCounters m_last;
    Quorvan::CtvkTimer m_timer;
};

} // namespace tvkslave

#endif
