// SPDX-License-Identifier: MIT
#include "tvkmodbusasync_p.h"

#include "tvkmodbusclient_p.h"
#include "tvkmodbusreply_p.h"
#include "tvksignal.h"

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

namespace Quorvan {

namespace {

// How long the devices on a serial line get to act on a broadcast before
// the next request may go.
constexpr int kBroadcastTurnaroundMs = 100;

// A change of state or a lost connection, told to the host from the loop.
class CtvkLinkEvent : public CtvkEvent {
public:
    static constexpr int kType = CtvkEvent::User + 0x4C;
    CtvkLinkEvent(int changedTo, int error, std::string why = std::string())
        : CtvkEvent(kType), state(changedTo), err(error), text(std::move(why))
    {
    }
    const int state;         // -1: no change of state
    const int err;           // errno of a lost connection, or 0
    const std::string text;  // its own text, if it has one
};

// Whole milliseconds from `now` to `then`, rounded up; 0 once it is past.
int msUntil(std::chrono::steady_clock::time_point then, std::chrono::steady_clock::time_point now)
{
    if (then <= now)
        return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(then - now).count());
}

// The errno libmodbus sets for an exception answer.
int exceptionErrno(int code)
{
    return code > 0 && code < MODBUS_EXCEPTION_MAX ? MODBUS_ENOBASE + code : EMBBADEXC;
}

} // namespace

CtvkModbusAsyncLink::CtvkModbusAsyncLink(CtvkModbusClientPrivate* client)
    : CtvkObject(client->mm_func()), m_client(client), m_maximumInFlight(client->maximumInFlight)
{
    setClassName("CtvkModbusAsyncLink");
    storeherits("CtvkModbusAsyncLink");
}

CtvkModbusAsyncLink::~CtvkModbusAsyncLink()
{
    // A transport closes itself in its own destructor; what is left open
    // here finishes without a device to record on.
    failAll(ECONNABORTED);
}

void CtvkModbusAsyncLink::setMaximumInFlight(int number)
{
    m_maximumInFlight = std::clamp(number, 1, kMostInFlight);
    pump();
}

int CtvkModbusAsyncLink::responseTimeoutMs() const
{
    return m_client->responseTimeoutMs();
}

int CtvkModbusAsyncLink::connectTimeoutMs() const
{
    return m_client->connectTimeoutMs > 0 ? m_client->connectTimeoutMs : responseTimeoutMs();
}

bool CtvkModbusAsyncLink::connectDevice()
{
    if (m_state != CtvkModbusClient::UnconnectedState)
        return true;
    m_attempts = 0;
    m_nextDelayMs = 0;
    m_toldErr = 0;
    m_toldText.clear();
    setState(CtvkModbusClient::ConnectingState);
    return openOrRetry();
}

bool CtvkModbusAsyncLink::openOrRetry()
{
    // The serial transport opens the line with the device's own open(),
    // whose error a handler of the host hears at once: it may end the
    // connection, or destroy the device and this link with it.
    const std::weak_ptr<void> alive = m_client->aliveToken();
    const CtvkLinkFault fault = openTransport();
    if (!fault.failed())
        return true;
    if (alive.expired() || m_state != CtvkModbusClient::ConnectingState)
        return false;
    closeTransport();
    if (retries(fault)) {
        retryLater(fault);
        return true;
    }
    m_retrying = false;
    failAll(fault.err ? fault.err : ENOTCONN);
    setState(CtvkModbusClient::UnconnectedState);
    // Recorded before the call answers; last, since a handler may destroy
    // the device.
    if (!fault.recorded)
        record(fault);
    return false;
}

bool CtvkModbusAsyncLink::retries(const CtvkLinkFault& fault) const
{
    if (m_client->reconnectFirstMs <= 0)
        return false;
    // Settings that cannot work do not start to work by waiting.
    if (fault.code == CtvkModbusDevice::ConfigurationError || fault.err == EINVAL || fault.err == EOPNOTSUPP)
        return false;
    return !fault.recorded || m_client->error != CtvkModbusDevice::ConfigurationError;
}

void CtvkModbusAsyncLink::retryLater(const CtvkLinkFault& fault)
{
    m_retrying = true;
    setState(CtvkModbusClient::ConnectingState);
    // A device that stays away is one error, not one per attempt.
    const int err = fault.err || !fault.text.empty() ? fault.err : ECONNRESET;
    if (!fault.recorded && (err != m_toldErr || fault.text != m_toldText)) {
        m_toldErr = err;
        m_toldText = fault.text;
        postEvent(this, new CtvkLinkEvent(-1, err, fault.text));
    }
    const int delay = m_nextDelayMs > 0 ? m_nextDelayMs : m_client->reconnectFirstMs;
    m_nextDelayMs = delay > m_client->reconnectMostMs / 2 ? m_client->reconnectMostMs : delay * 2;
    if (m_reconnectTimer)
        killTimer(m_reconnectTimer);
    m_reconnectTimer = startTimer(delay);
}

void CtvkModbusAsyncLink::reconnectNow()
{
    killTimer(m_reconnectTimer);
    m_reconnectTimer = 0;
    ++m_attempts;
    // A serial line that hung up stays dead on its old descriptor (an
    // adapter plugged in again is a new device): the attempt opens it
    // afresh. The line is no longer watched, since the link went down.
    if (m_client->serialLine && m_client->modbusContext)
        modbus_close(m_client->modbusContext);
    openOrRetry();
}

void CtvkModbusAsyncLink::reconnectSettingsChanged()
{
    if (!m_retrying || m_client->reconnectFirstMs > 0)
        return;
    m_retrying = false;
    // An attempt under way ends as a first connect would; one that was
    // only waited for ends here.
    if (!m_reconnectTimer)
        return;
    killTimer(m_reconnectTimer);
    m_reconnectTimer = 0;
    failAll(m_toldErr ? m_toldErr : ENOTCONN);
    setState(CtvkModbusClient::UnconnectedState);
}

void CtvkModbusAsyncLink::disconnectDevice()
{
    if (m_state == CtvkModbusClient::UnconnectedState || m_state == CtvkModbusClient::ClosingState)
        return;
    m_retrying = false;
    if (m_reconnectTimer)
        killTimer(m_reconnectTimer);
    m_reconnectTimer = 0;
    setState(CtvkModbusClient::ClosingState);
    closeTransport();
    failAll(ECONNABORTED);
    setState(CtvkModbusClient::UnconnectedState);
}

void CtvkModbusAsyncLink::linkUp()
{
    m_retrying = false;
    m_recoveredAt = Clock::time_point();
    m_waitingForQuiet = false;
    m_nextDelayMs = 0;
    m_toldErr = 0;
    m_toldText.clear();
    setState(CtvkModbusClient::ConnectedState);
    pump();
}

void CtvkModbusAsyncLink::linkDown(const CtvkLinkFault& fault)
{
    closeTransport();
    const bool retry = m_state != CtvkModbusClient::ClosingState && retries(fault);
    const int err = fault.err ? fault.err : ECONNRESET;
    // The requests that fail with it record the error on the device; with
    // none open, the device learns it on its own.
    m_failureText = fault.text;
    const int failed = failAll(err, retry && m_client->requestsWaitForReconnect);
    m_failureText.clear();
    if (retry) {
        if (m_state == CtvkModbusClient::ConnectedState)
            m_attempts = 0;   // a new outage
        if (failed > 0) {
            m_toldErr = err;
            m_toldText = fault.text;
        }
        retryLater(fault);
        return;
    }
    m_retrying = false;
    if (failed == 0 && !fault.recorded)
        postEvent(this, new CtvkLinkEvent(-1, err, fault.text));
    setState(CtvkModbusClient::UnconnectedState);
}

void CtvkModbusAsyncLink::record(const CtvkLinkFault& fault)
{
    if (!fault.text.empty())
        m_client->setPrivateError(CtvkString::fromStdString(fault.text), fault.code);
    else
        m_client->setErrnoError(fault.err, fault.code);
}

void CtvkModbusAsyncLink::setState(CtvkModbusClient::State state)
{
    if (state == m_state)
        return;
    m_state = state;
    // Told from the loop, in order: no handler of the host runs inside the
    // link's own code, where it could destroy the device under it.
    postEvent(this, new CtvkLinkEvent(state, 0));
}

bool CtvkModbusAsyncLink::event(CtvkEvent* e)
{
    if (!e || e->type() != CtvkLinkEvent::kType)
        return CtvkObject::event(e);
    const auto* told = static_cast<const CtvkLinkEvent*>(e);
    if (!told->text.empty())
        m_client->setPrivateError(CtvkString::fromStdString(told->text), CtvkModbusDevice::ConnectionError);
    else if (told->err)
        m_client->setErrnoError(told->err, CtvkModbusDevice::ConnectionError);
    else if (told->state >= 0)
        m_client->mm_func()->transmit<void, int>(told->state, "stateChanged(int)");
    return true;
}

CtvkModbusReply* CtvkModbusAsyncLink::submit(std::unique_ptr<CtvkModbusRequest> request)
{
    auto* d = new CtvkModbusReplyPrivate(request->unit, m_client->mm_func(), m_client->aliveToken());
    auto* reply = new CtvkModbusReply(d);
    request->reply = reply;
    if (m_state == CtvkModbusClient::UnconnectedState || m_state == CtvkModbusClient::ClosingState
        || (m_retrying && !m_client->requestsWaitForReconnect)) {
        fail(std::move(request), CtvkModbusDevice::ConnectionError, ENOTCONN);
        return reply;
    }
    if (m_client->numberOfRetries < 1) {
        // No attempt may be made: the request ends as one that timed out.
        const CtvkModbusDevice::Error failure = request->failure;
        fail(std::move(request), failure, ETIMEDOUT);
        return reply;
    }
    d->link = this;
    d->request = request.get();
    request->attemptsLeft = m_client->numberOfRetries;
    m_queue.push_back(std::move(request));
    pump();
    return reply;
}

CtvkModbusReply* CtvkModbusAsyncLink::refuse(int serverAddress, CtvkModbusDevice::Error code, int err)
{
    auto request = std::make_unique<CtvkModbusRequest>();
    request->unit = serverAddress;
    auto* d = new CtvkModbusReplyPrivate(serverAddress, m_client->mm_func(), m_client->aliveToken());
    request->reply = new CtvkModbusReply(d);
    CtvkModbusReply* reply = request->reply;
    fail(std::move(request), code, err);
    return reply;
}

void CtvkModbusAsyncLink::forget(CtvkModbusRequest* request)
{
    if (!request)
        return;
    request->reply = nullptr;
    // Not sent yet: it never will be. On the wire: its answer (or its time
    // limit) still ends it, so the stream stays in step.
    const auto queued = std::find_if(m_queue.begin(), m_queue.end(),
                                     [request](const auto& r) { return r.get() == request; });
    if (queued != m_queue.end())
        m_queue.erase(queued);
}

void CtvkModbusAsyncLink::pump()
{
    while (m_state == CtvkModbusClient::ConnectedState && !m_queue.empty()
           && static_cast<int>(m_inFlight.size()) < capacity()) {
        const auto now = Clock::now();
        int waitMs = msUntil(m_recoveredAt, now);
        if (waitMs == 0) {
            const CtvkLinkFault fault = dropUnasked();
            if (fault.failed()) {
                linkDown(fault);
                return;
            }
            waitMs = silenceLeftMs();
        }
        if (waitMs > 0 && now >= m_recoveredAt) {
            // A line that never falls quiet costs the attempt as one left
            // unanswered would: the wait is bounded by its timeout.
            if (!m_waitingForQuiet) {
                m_waitingForQuiet = true;
                m_quietDeadline = now + std::chrono::milliseconds(responseTimeoutMs());
            }
            if (now >= m_quietDeadline) {
                m_waitingForQuiet = false;
                std::unique_ptr<CtvkModbusRequest> request = std::move(m_queue.front());
                m_queue.pop_front();
                retryOrFail(std::move(request), ETIMEDOUT, false);
                continue;
            }
            waitMs = std::min(waitMs, msUntil(m_quietDeadline, now));
        }
        if (waitMs > 0) {
            armSilenceTimer(waitMs);
            return;
        }
        m_waitingForQuiet = false;
        std::unique_ptr<CtvkModbusRequest> request = std::move(m_queue.front());
        m_queue.pop_front();
        startAttempt(std::move(request));
    }
}

bool CtvkModbusAsyncLink::settleForBlocking()
{
    if (!matchedByOrder() || m_state != CtvkModbusClient::ConnectedState)
        return true;
    const int waitMs = msUntil(m_recoveredAt, Clock::now());
    if (waitMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    m_recoveredAt = Clock::time_point();
    const CtvkLinkFault fault = dropUnasked();
    if (!fault.failed())
        return true;
    linkDown(fault);
    return false;
}

void CtvkModbusAsyncLink::armSilenceTimer(int ms)
{
    if (m_silenceTimer)
        killTimer(m_silenceTimer);
    m_silenceTimer = startTimer(ms);
}

void CtvkModbusAsyncLink::startAttempt(std::unique_ptr<CtvkModbusRequest> request)
{
    m_nextTransactionId = (m_nextTransactionId + 1) & 0xFFFF;
    request->transactionId = m_nextTransactionId;
    CtvkModbusRequest* sent = request.get();
    m_inFlight.push_back(std::move(request));
    const CtvkLinkFault fault = sendRequest(sent);
    if (fault.failed()) {
        linkDown(fault);
        return;
    }
    // A broadcast is answered by nobody: it has done its work once the
    // devices had the turnaround time to act on it.
    sent->timerId = startTimer(sent->broadcast ? kBroadcastTurnaroundMs : responseTimeoutMs());
}

void CtvkModbusAsyncLink::answerUnderWay(CtvkModbusRequest* request)
{
    if (request->timerId)
        killTimer(request->timerId);
    request->timerId = startTimer(m_client->byteTimeoutMs());
}

CtvkModbusRequest* CtvkModbusAsyncLink::inFlight(int transactionId) const
{
    for (const auto& r : m_inFlight)
        if (r->transactionId == transactionId)
            return r.get();
    return nullptr;
}

CtvkModbusRequest* CtvkModbusAsyncLink::firstInFlight() const
{
    return m_inFlight.empty() ? nullptr : m_inFlight.front().get();
}

std::unique_ptr<CtvkModbusRequest> CtvkModbusAsyncLink::land(CtvkModbusRequest* request)
{
    const auto it = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                 [request](const auto& r) { return r.get() == request; });
    if (it == m_inFlight.end())
        return nullptr;
    std::unique_ptr<CtvkModbusRequest> landed = std::move(*it);
    m_inFlight.erase(it);
    if (landed->timerId) {
        killTimer(landed->timerId);
        landed->timerId = 0;
    }
    return landed;
}

void CtvkModbusAsyncLink::observeFrame(bool sent, const std::uint8_t* frame, int length) const
{
    if (m_client->frameObserver)
        m_client->frameObserver(sent, frame, length);
}

void CtvkModbusAsyncLink::answerArrived(CtvkModbusRequest* request, const std::uint8_t* answer, int length)
{
    std::uint16_t values[pdu::kMaxReadBits];
    int exceptionCode = 0;
    pdu::AnswerCheck check;
    if (!request->raw) {
        check = pdu::checkAnswer(request->pdu, answer, length, values, &exceptionCode);
    } else if (length == pdu::kExceptionPduBytes && answer[0] == (request->pdu[0] | pdu::kExceptionBit)) {
        check = pdu::AnswerCheck::Exception;
        exceptionCode = answer[1];
    } else {
        check = answer[0] == request->pdu[0] ? pdu::AnswerCheck::Accepted : pdu::AnswerCheck::Foreign;
    }
    if (check == pdu::AnswerCheck::Accepted && request->raw)
        request->rawAnswer.assign(answer, answer + length);
    if (check == pdu::AnswerCheck::Foreign)
        return;   // not the answer to this request: its own will come, or its time limit
    std::unique_ptr<CtvkModbusRequest> landed = land(request);
    const CtvkModbusDevice::Error failure = landed->failure;
    // A raw request's answer is handed over as it came: nothing was decoded
    // from it, whatever its request's quantity field says.
    const int count = landed->raw ? 0 : pdu::valuesRead(landed->pdu);
    switch (check) {
    case pdu::AnswerCheck::Accepted:
        succeed(std::move(landed), values, count);
        break;
    case pdu::AnswerCheck::Exception:
        // The server's final word: asking again would get the same.
        fail(std::move(landed), failure, exceptionErrno(exceptionCode), exceptionCode);
        break;
    default:
        retryOrFail(std::move(landed), EMBBADDATA);
        break;
    }
    pump();
}

void CtvkModbusAsyncLink::retryOrFail(std::unique_ptr<CtvkModbusRequest> request, int err, bool sent)
{
    attemptFailed();
    // libmodbus's recovery from a protocol error: what the slave may still
    // send of this attempt has one response timeout to arrive and be dropped.
    if (sent && matchedByOrder())
        m_recoveredAt = Clock::now() + std::chrono::milliseconds(responseTimeoutMs());
    if (--request->attemptsLeft > 0 && m_state == CtvkModbusClient::ConnectedState) {
        // Back in front of the queue: the attempts of one request stay in
        // their place among the others.
        m_queue.push_front(std::move(request));
        return;
    }
    const CtvkModbusDevice::Error failure = request->failure;
    fail(std::move(request), failure, err);
}

void CtvkModbusAsyncLink::timerEvent(CtvkTimerEvent* e)
{
    if (!e)
        return;
    const int id = e->timerId();
    if (id == m_reconnectTimer) {
        reconnectNow();
        return;
    }
    if (id == m_silenceTimer) {
        killTimer(m_silenceTimer);
        m_silenceTimer = 0;
        pump();
        return;
    }
    const auto it = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                 [id](const auto& r) { return r->timerId == id; });
    if (it == m_inFlight.end())
        return;
    std::unique_ptr<CtvkModbusRequest> request = land(it->get());
    if (request->broadcast)
        succeed(std::move(request), nullptr, 0);
    else
        retryOrFail(std::move(request), ETIMEDOUT);
    pump();
}

void CtvkModbusAsyncLink::succeed(std::unique_ptr<CtvkModbusRequest> request, const std::uint16_t* values, int count)
{
    if (!request->reply)
        return;   // its reply is gone
    CtvkModbusReplyPrivate::Outcome outcome;
    outcome.result = std::move(request->result);
    outcome.raw = std::move(request->rawAnswer);
    if (count > 0) {
        CtvkVector<CtvkVariant> read;
        read.reserve(count);
        for (int i = 0; i < count; ++i)
            read.append(CtvkVariant(static_cast<int>(values[i])));
        outcome.result.values = std::move(read);
    }
    request->reply->d_func()->finishLater(std::move(outcome));
}

void CtvkModbusAsyncLink::fail(std::unique_ptr<CtvkModbusRequest> request, CtvkModbusDevice::Error code, int err,
                               int exceptionCode)
{
    if (!request->reply)
        return;
    CtvkModbusReplyPrivate::Outcome outcome;
    outcome.result = std::move(request->result);
    outcome.result.values = CtvkVector<CtvkVariant>();
    outcome.error = code;
    outcome.errorString = m_failureText.empty() ? CtvkModbusDevicePrivate::errnoText(err) : CtvkString::fromStdString(m_failureText);
    outcome.exceptionCode = exceptionCode;
    request->reply->d_func()->finishLater(std::move(outcome));
}

int CtvkModbusAsyncLink::failAll(int err, bool keepQueued)
{
    if (m_silenceTimer) {
        killTimer(m_silenceTimer);
        m_silenceTimer = 0;
    }
    m_waitingForQuiet = false;
    // Those on the wire first, in the order sent, then those waiting.
    std::vector<std::unique_ptr<CtvkModbusRequest>> open;
    while (!m_inFlight.empty())
        open.push_back(land(m_inFlight.front().get()));
    if (!keepQueued) {
        for (auto& r : m_queue)
            open.push_back(std::move(r));
        m_queue.clear();
    }
    for (auto& r : open)
        fail(std::move(r), CtvkModbusDevice::ConnectionError, err);
    return static_cast<int>(open.size());
}

CtvkLinkFault CtvkModbusNoLink::openTransport()
{
    return CtvkLinkFault::ofErrno(EOPNOTSUPP);
}

} // namespace Quorvan
