// SPDX-License-Identifier: MIT
#include "slavemonitor.h"

#include "tooltraffic.h"

#include "tvksignal.h"

#include <functional>

using namespace Quorvan;

namespace tvkslave {

LineMonitor::LineMonitor(CtvkModbusRtuSerialMaster* server, Console* console)
    : CtvkObject(nullptr), m_server(server), m_console(console), m_last(server->lineCounters())
{
    setClassName("LineMonitor");
    storeherits("LineMonitor");
    CtvkObject::connect(&m_timer, "timeout()", this, std::function<void()>([this] { tick(); }));
    m_timer.start(tvktool::kRateIntervalMs);
}

LineMonitor::~LineMonitor() = default;

void LineMonitor::tick()
{
    const CtvkModbusRtuSerialMaster::LineCounters c = m_server->lineCounters();
    const std::uint64_t taken = c.requests + c.broadcasts;
    const std::uint64_t takenBefore = m_last.requests + m_last.broadcasts;
    if (taken == takenBefore && c.otherSlaveFrames == m_last.otherSlaveFrames && c.noiseBytes == m_last.noiseBytes)
        return;
    m_console->info(std::to_string(taken - takenBefore) + " requests/s, "
                    + std::to_string(c.otherSlaveFrames - m_last.otherSlaveFrames) + " frames for other slaves, "
                    + std::to_string(c.noiseBytes - m_last.noiseBytes) + " noise bytes" + tvktool::droppedNote(*m_console));
    m_last = c;
}

} // namespace tvkslave
