// SPDX-License-Identifier: MIT
#include "pollsession.h"
#include "polldevice.h"
#include "pollreport.h"

#include "tvkeventloop.h"
#include "tvkmodbusreply.h"

#include <algorithm>

using namespace Quorvan;

namespace tvkpoll {

PollSession::PollSession(const PollOptions& options, PollDevice& device, Report& report)
    : m_o(options), m_device(device), m_report(report)
{
    if (options.isWrite()) {
        std::string message;
        encodeValues(options.writeValues, options.table, options.format, options.bigEndianWords, m_words,
                     message);   // checked at parsing
    }
    if (options.verbose) {
        device.client().setFrameObserver([this](bool sent, const unsigned char* frame, int length) {
            m_report.frame(sent, frame, length);
        });
        CtvkObject::connect<int>(&device.client(), "stateChanged(int)", nullptr,
                                 std::function<void(int)>([this](int state) {
                                     const std::string where = m_device.where();
                                     if (state == CtvkModbusClient::ConnectingState)
                                         m_report.connection("connecting to " + where);
                                     else if (state == CtvkModbusClient::ConnectedState)
                                         m_report.connection("connected to " + where);
                                     else if (state == CtvkModbusClient::UnconnectedState)
                                         m_report.connection("disconnected from " + where);
                                 }));
    }
}

PollSession::~PollSession()
{
    m_device.client().setFrameObserver(nullptr);
    delete m_reply;   // its request goes on without it, and is ended with the device
}

tvktool::ExitStatus PollSession::run(CtvkEventLoop& loop, const std::function<bool()>& stopRequested)
{
    m_loop = &loop;
    m_stopRequested = stopRequested;
    m_nextRound = Clock::now();
    m_roundTimer.setSingleShot(true);
    CtvkObject::connect(&m_roundTimer, "timeout()", nullptr, std::function<void()>([this] { next(); }));
    next();
    if (!m_finished)
        loop.exec();
    loop.processEvents(0);   // the replies handed to deleteLater()
    m_report.end(m_poll, m_requests, m_failed);
    if (m_misconfigured)
        return tvktool::ExitUsage;
    return m_failed ? tvktool::ExitFault : tvktool::ExitSuccess;
}

void PollSession::stopRequestArrived()
{
    // A round under way ends first; between rounds there is nothing to
    // wait for.
    if (!m_roundOpen)
        next();
}

void PollSession::next()
{
    if (m_roundOpen || m_finished)
        return;
    const bool done = m_unreachable || (m_o.isWrite() && m_poll > 0) || (m_o.polls > 0 && m_poll >= m_o.polls);
    if (done || m_stopRequested()) {
        m_finished = true;
        m_roundTimer.stop();
        if (m_loop->isRunning())
            m_loop->exit(0);
        return;
    }
    const auto now = Clock::now();
    if (now >= m_nextRound) {
        startRound();
        return;
    }
    // Rounded up: a timer that fires a little early would find the round
    // not yet due.
    m_roundTimer.start(int(std::chrono::ceil<std::chrono::milliseconds>(m_nextRound - now).count()));
}

void PollSession::tellDetail()
{
    const std::string detail = m_device.tlsDetail();
    if (m_o.verbose && !detail.empty())
        m_report.connection("TLS: " + detail);
}

void PollSession::startRound()
{
    ++m_poll;
    m_nextSlave = 0;
    m_roundOpen = true;
    m_roundConnectionError.clear();
    m_nextRound += std::chrono::milliseconds(m_o.intervalMs);
    sendNext();
}

void PollSession::closeRound()
{
    m_roundOpen = false;
    const auto now = Clock::now();
    if (m_nextRound < now)   // a slow round: the next one starts now, not a burst to catch up
        m_nextRound = now;
    if (m_poll == 1 && !m_reachedDevice)
        m_unreachable = true;
    next();
}

void PollSession::sendNext()
{
    while (m_nextSlave < m_o.slaves.size() && !(m_nextSlave > 0 && m_stopRequested())) {
        const int slave = m_o.slaves[m_nextSlave++];
        std::string error;
        if (m_roundConnectionError.empty() && !m_device.connect(error)) {
            m_roundConnectionError = error;
            // This end's own settings: no round can do better.
            if (m_device.misconfigured())
                m_misconfigured = m_unreachable = true;
            tellDetail();
        }
        if (!m_roundConnectionError.empty()) {
            Failure failure;
            failure.text = m_roundConnectionError;
            fail(slave, failure);
            continue;
        }
        const int units = m_o.isWrite() ? int(m_words.size()) : m_o.units();
        m_reply = m_o.reportSlaveId ? m_device.sendReportSlaveId(slave)
                  : m_o.isWrite()   ? m_device.sendWrite(slave, m_words)
                                    : m_device.sendRead(slave);
        m_replySlave = slave;
        m_sentAt = Clock::now();
        if (!m_o.reportSlaveId)
            m_report.requestSent(slave, units);
        CtvkObject::connect(m_reply, "finished()", nullptr, std::function<void()>([this] { finished(); }));
        return;
    }
    closeRound();
}

void PollSession::finished()
{
    CtvkModbusReply* reply = m_reply;
    m_reply = nullptr;
    const long elapsedMs = long(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_sentAt).count());
    if (reply->error() == CtvkModbusDevice::NoError) {
        ++m_requests;
        m_reachedDevice = true;
        m_report.requestDone(m_replySlave, elapsedMs, nullptr);
        if (m_o.reportSlaveId)
            m_report.slaveId(m_poll, m_replySlave, reply->rawResult());
        else if (m_o.isWrite())
            m_report.written(m_replySlave, decodeValues(m_words, m_o));
        else
            m_report.values(m_poll, m_replySlave, decodeValues(wordsRead(*reply), m_o));
    } else {
        Failure failure;
        failure.text = reply->errorString().toStdString();
        failure.exceptionCode = reply->exceptionCode();
        if (reply->error() == CtvkModbusDevice::ConnectionError) {
            failure.text = m_device.where() + ": " + failure.text;
            m_roundConnectionError = failure.text;
            tellDetail();
        } else {
            m_reachedDevice = true;   // connected, at least
        }
        m_report.requestDone(m_replySlave, elapsedMs, &failure);
        fail(m_replySlave, failure);
    }
    reply->deleteLater();
    sendNext();
}

void PollSession::fail(int slave, const Failure& failure)
{
    ++m_requests;
    ++m_failed;
    m_report.failed(m_o.isWrite() ? 0 : m_poll, slave, failure);
}

} // namespace tvkpoll
