// SPDX-License-Identifier: MIT
#include "demo_link.h"

#include "demo_view.h"

#include "tvkdatadistribute.h"
#include "tvkmodbusdataunit.h"
#include "tvkmodbusreply.h"
#include "tvksignal.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>

using namespace Quorvan;

namespace {

CtvkDataDistribute* store() { return CtvkDataDistributeFactory::instance()->get(); }

// A lost link is made again by the client itself, the delay doubling from
// the first to the most between attempts.
constexpr int kReconnectFirstMs = 100;
constexpr int kReconnectMostMs = 400;

// A reply gives the texts the blocking requests give: no answer within the
// attempts reads as ETIMEDOUT's.
bool noAnswer(const CtvkModbusReply& reply)
{
    return reply.errorString().toStdString() == std::strerror(ETIMEDOUT);
}

} // namespace

DemoLink::DemoLink(std::string name, std::string where, CtvkModbusClient* client, int unit,
                   std::vector<DemoPoint> points, DemoView* view)
    : CtvkObject(nullptr), m_name(std::move(name)), m_where(std::move(where)), m_client(client), m_unit(unit),
      m_points(std::move(points)), m_view(view)
{
    CtvkObject::connect<CtvkModbusDevice::Error>(
        m_client, "errorOccurred(CtvkModbusDevice::Error)", this,
        std::function<void(CtvkModbusDevice::Error)>([this](CtvkModbusDevice::Error e) {
            ++m_errors;
            noteError(m_client->errorString().toStdString());
            // While the client reconnects, it tells a failed attempt only
            // when it failed otherwise than the one before.
            const int attempt = m_client->reconnectAttempts();
            if (m_client->state() == CtvkModbusClient::ConnectingState && attempt > 0)
                m_view->event(m_name + ": reconnect attempt " + std::to_string(attempt) + " failed: " + m_lastError);
            else
                m_view->event(m_name + ": errorOccurred(" + std::to_string(static_cast<int>(e)) + "): "
                              + m_lastError);
        }));
    CtvkObject::connect<int>(m_client, "stateChanged(int)", this,
                             std::function<void(int)>([this](int state) { stateChanged(state); }));
    m_client->setAutoReconnect(kReconnectFirstMs, kReconnectMostMs);
}

DemoLink::~DemoLink()
{
    for (Reply* reply : m_open)
        delete reply;
}

bool DemoLink::start()
{
    return connectClient();
}

bool DemoLink::connectClient()
{
    if (!m_client->connectDevice()) {
        noteError(m_client->errorString().toStdString());
        return false;
    }
    // The response timeout lives in the libmodbus context, which the
    // connect has made if there was none.
    if (m_responseTimeoutMs > 0)
        m_client->setTimeout(static_cast<unsigned>(m_responseTimeoutMs / 1000),
                             static_cast<unsigned>(m_responseTimeoutMs % 1000) * 1000);
    return true;
}

void DemoLink::noteError(const std::string& text)
{
    m_lastError = text;
    m_lastErrorAt = m_view->elapsed();
}

long DemoLink::attempts() const
{
    return m_attempts + (m_lost ? m_client->reconnectAttempts() : 0);
}

// Told from the loop, after the replies that the change ended: a lost
// connection has already failed the poll that was under way. The client
// reconnects by itself: a loss is one change to connecting, the new
// connection one more.
void DemoLink::stateChanged(int state)
{
    const int was = m_seenState;
    m_seenState = state;
    if (state == CtvkModbusClient::ConnectedState) {
        if (m_lost) {
            m_attemptsThisOutage = m_client->reconnectAttempts();
            m_attempts += m_attemptsThisOutage;
            m_lost = false;
        } else if (!m_everUp) {
            m_view->event(m_name + ": connected to " + m_where);
        }
        // The first poll, or the one that proves the recovery, goes at once.
        if (!m_polling)
            poll();
        return;
    }
    if (was == CtvkModbusClient::ConnectedState && state == CtvkModbusClient::ConnectingState) {
        m_lost = true;
        if (!m_down)
            m_view->event(m_name + ": the link is lost: " + m_client->errorString().toStdString());
        m_down = true;
    }
}

void DemoLink::cycle()
{
    // Otherwise it is connecting, or the last poll still waits for its
    // answers: a silent device gets no queue of polls to answer later.
    if (m_client->state() == CtvkModbusClient::ConnectedState && !m_polling)
        poll();
}

// The heartbeat first, then the read: a poll whose heartbeat was not
// answered asks nothing more of its device.
void DemoLink::poll()
{
    m_polling = true;
    m_pollInWindow = m_windowOpen;
    ++m_all.started;
    if (m_windowOpen)
        ++m_window.started;
    ++m_heartbeat;
    CtvkModbusDataUnit beat(CtvkModbusDataUnit::HoldingRegisters, 0, 1);
    beat.values[0] = CtvkVariant(static_cast<int>(m_heartbeat));
    send(m_client->sendWriteRequest(beat, m_unit), [this](Reply* written) {
        if (written->error() != CtvkModbusDevice::NoError) {
            endPoll(written);
            return;
        }
        const CtvkModbusDataUnit all(CtvkModbusDataUnit::HoldingRegisters, 0, registerCount());
        send(m_client->sendReadRequest(all, m_unit), [this](Reply* read) {
            if (read->error() == CtvkModbusDevice::NoError)
                take(read->result());
            endPoll(read->error() == CtvkModbusDevice::NoError ? nullptr : read);
        });
    });
}

void DemoLink::send(Reply* reply, std::function<void(Reply*)> finished)
{
    m_open.push_back(reply);
    CtvkObject::connect(reply, "finished()", this, std::function<void()>([this, reply, finished] {
        m_open.erase(std::remove(m_open.begin(), m_open.end(), reply), m_open.end());
        finished(reply);
        reply->deleteLater();
    }));
}

void DemoPollTally::count(bool failedPoll, bool noAnswer, double now)
{
    if (failedPoll) {
        ++failed;
        if (noAnswer)
            ++timedOut;
        return;
    }
    ++ok;
    lastOkAt = now;
    if (firstOkAt < 0)
        firstOkAt = now;
}

double DemoPollTally::okRate() const
{
    // n polls that ended well span n - 1 intervals between their ends.
    return ok >= 2 && lastOkAt > firstOkAt ? (ok - 1) / (lastOkAt - firstOkAt) : 0.0;
}

void DemoLink::endPoll(Reply* failed)
{
    m_polling = false;
    const bool late = failed && noAnswer(*failed);
    const double now = m_view->elapsed();
    m_all.count(failed != nullptr, late, now);
    if (m_pollInWindow)
        m_window.count(failed != nullptr, late, now);
    if (failed) {
        ++m_failedThisOutage;
        noteError(failed->errorString().toStdString());
        if (!m_down || !m_everUp)
            m_view->event(m_name + ": poll failed, the device is down: " + m_lastError);
        m_down = true;
        return;
    }
    if (m_down && m_everUp) {
        ++m_recoveries;
        m_recoveredAt = now;
        if (m_attemptsThisOutage > 0)
            m_view->event(m_name + ": recovered after " + std::to_string(m_attemptsThisOutage)
                          + " reconnect attempts");
        else
            m_view->event(m_name + ": answers again after " + std::to_string(m_failedThisOutage)
                          + " failed polls");
    }
    m_attemptsThisOutage = 0;
    m_failedThisOutage = 0;
    m_down = false;
    m_everUp = true;
    ++m_okPolls;
}

void DemoLink::take(const CtvkModbusDataUnit& read)
{
    for (const DemoPoint& p : m_points) {
        if (p.reg >= read.values.size())
            continue;
        const int raw = read.values.at(p.reg).toInt();
        const double v = raw / p.scale;
        m_last[p.id] = v;
        if (p.scale == 1.0)
            store()->setValue(p.id, CtvkVariant(raw), true, true);
        else
            store()->setValue(p.id, CtvkVariant(v), true, true);
    }
    if (m_expectId != 0 && m_last.count(m_expectId) && std::fabs(m_last[m_expectId] - m_expectValue) < 1e-9) {
        m_view->event(m_name + ": read back " + format(m_expectId) + " from the device");
        ++m_readBacks;
        m_expectId = 0;
    }
}

void DemoLink::write(unsigned id, double value)
{
    ++m_writesAsked;
    const DemoPoint* found = findPoint(id);
    if (!found || m_down || m_client->state() != CtvkModbusClient::ConnectedState)
        return;
    const DemoPoint p = *found;
    const long raw = std::lround(value * p.scale);
    const unsigned short reg = static_cast<unsigned short>(raw < 0 ? 0 : raw > 65535 ? 65535 : raw);
    CtvkModbusDataUnit unit(CtvkModbusDataUnit::HoldingRegisters, p.reg, 1);
    unit.values[0] = CtvkVariant(static_cast<int>(reg));
    ++m_writesOpen;
    send(m_client->sendWriteRequest(unit, m_unit), [this, p, reg](Reply* reply) {
        --m_writesOpen;
        const bool ok = reply->error() == CtvkModbusDevice::NoError;
        char text[128];
        std::snprintf(text, sizeof text, ": write %s = %.*f to register %d: ", p.name, p.scale == 1.0 ? 0 : 2,
                      reg / p.scale, p.reg);
        m_view->event(m_name + text + (ok ? "ok" : "failed: " + reply->errorString().toStdString()));
        if (ok) {
            m_expectId = p.id;
            m_expectValue = reg / p.scale;
            ++m_writes;
        }
    });
}

void DemoLink::openWindow()
{
    m_windowOpen = true;
    m_window = DemoPollTally();
    m_rateBefore = m_all.okRate();
}

std::string DemoLink::format(unsigned id) const
{
    const DemoPoint* p = findPoint(id);
    if (!p || !knows(id))
        return "-";
    char text[64];
    if (p->scale == 1.0)
        std::snprintf(text, sizeof text, "%s %.0f", p->name, last(id));
    else
        std::snprintf(text, sizeof text, "%s %.2f", p->name, last(id));
    return text;
}

long DemoLink::takeOkPolls()
{
    const long n = m_okPolls - m_okPollsSeen;
    m_okPollsSeen = m_okPolls;
    return n;
}

int DemoLink::registerCount() const
{
    int n = 1;
    for (const DemoPoint& p : m_points)
        n = std::max(n, p.reg + 1);
    return n;
}

const DemoPoint* DemoLink::findPoint(unsigned id) const
{
    for (const DemoPoint& p : m_points)
        if (p.id == id)
            return &p;
    return nullptr;
}
