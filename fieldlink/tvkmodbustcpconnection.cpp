// SPDX-License-Identifier: MIT
// The connections of the TCP server: reading and framing a master's
// requests off its stream, holding them for the answer delay, the pace of
// a master that reads slowly, and the gate every TLS connection passes
// before its first request is read.
#include "tvkmodbustcpconnection_p.h"
#include "tvkmodbustcpserver_p.h"

#include "tvkmodbuspdu_p.h"
#include "tvksignal.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Quorvan {

namespace {

// Read per readiness; the loop comes back while more is waiting.
constexpr int kReadChunkBytes = 4096;

} // namespace

// Times the oldest connection still in the TLS gate.
class CtvkModbusTcpGateClock : public CtvkObject {
public:
    CtvkModbusTcpGateClock(CtvkModbusTcpServerPrivate* server, CtvkObject* parent)
        : CtvkObject(parent), m_server(server)
    {
    }
    // Comes back in `ms`, unless it already comes back earlier.
    void wake(int ms, CtvkModbusTcpConnection::Clock::time_point due)
    {
        if (m_timer && m_due <= due)
            return;
        if (m_timer)
            killTimer(m_timer);
        m_timer = startTimer(std::max(ms, 0));
        m_due = due;
    }

protected:
    void timerEvent(CtvkTimerEvent* e) override
    {
        if (!e || e->timerId() != m_timer)
            return;
        killTimer(m_timer);
        m_timer = 0;
        m_server->gateTimeout();
    }

private:
    CtvkModbusTcpServerPrivate* const m_server;
    int m_timer = 0;
    CtvkModbusTcpConnection::Clock::time_point m_due;
};


CtvkModbusTcpConnection::CtvkModbusTcpConnection(int socket, CtvkModbusTcpServerPrivate* server, CtvkObject* parent)
    : CtvkSocketNotifier(socket, Read, parent), owner(server), stream(socket), acceptedAt(Clock::now())
{
}

CtvkModbusTcpConnection::~CtvkModbusTcpConnection()
{
    // Out of the dispatcher before the stream closes the socket.
    delete m_writer;
}

void CtvkModbusTcpConnection::abandonSocket()
{
    stream.abandon();
}

bool CtvkModbusTcpConnection::readable()
{
    if (stream.handshaking()) {
        const CtvkModbusStream::Result shake = stream.handshake();
        if (stream.hasSession() && !isShaking && !owner->startShaking(this))
            return false;   // making room ended the server, and this connection with it
        switch (shake.status) {
        case CtvkModbusStream::Status::WouldBlock:
            finishPass();
            return true;
        case CtvkModbusStream::Status::Closed:
            // Gone before a byte: nothing was refused.
            CtvkModbusTcpServerPrivate::endConnection(this);
            return false;
        case CtvkModbusStream::Status::Failed:
            owner->refuse(this, socket(), "TLS handshake refused: " + shake.fault.what(), shake.fault.detail,
                          false);
            return false;
        case CtvkModbusStream::Status::Done:
            if (!owner->proven(this))
                return false;
            break;   // requests may have come with the handshake's end
        }
    }
    // TLS may hold decrypted bytes the socket no longer signals: read while
    // it has any, unless answers wait for the master to read.
    for (;;) {
        std::uint8_t buffer[mbap::kMaxFrameBytes + kReadChunkBytes + CtvkModbusTcpServerPrivate::kSlackBytes];
        const int kept = static_cast<int>(pending.size());
        std::memcpy(buffer, pending.data(), static_cast<std::size_t>(kept));
        const CtvkModbusStream::Result got = stream.read(buffer + kept, kReadChunkBytes);
        if (got.status == CtvkModbusStream::Status::WouldBlock)
            break;
        if (got.status != CtvkModbusStream::Status::Done) {
            CtvkModbusTcpServerPrivate::endConnection(this);   // closed, or broken
            return false;
        }
        if (!consume(buffer, kept + got.bytes))
            return false;
        if (!stream.hasPending() || stream.hasQueued())
            break;
    }
    finishPass();
    return true;
}

void CtvkModbusTcpConnection::finishPass()
{
    const bool waiting = stream.hasQueued();
    if (waiting && !m_writer) {
        m_writer = new CtvkSocketNotifier(socket(), CtvkSocketNotifier::Write, this);
        CtvkObject::connect<int>(m_writer, "activated", nullptr,
                                 std::function<void(int)>([this](int) { writable(); }));
    } else if (m_writer) {
        m_writer->setEnabled(waiting);
    }
    setEnabled(!waiting);
}

void CtvkModbusTcpConnection::writable()
{
    const CtvkModbusStream::Result flushed = stream.flush();
    if (flushed.status == CtvkModbusStream::Status::WouldBlock)
        return;
    if (flushed.status != CtvkModbusStream::Status::Done) {
        owner->answerLost();
        CtvkModbusTcpServerPrivate::endConnection(this);
        return;
    }
    finishPass();
    // What TLS read ahead while reading rested is not signalled again.
    if (stream.hasPending())
        readable();
}

bool CtvkModbusTcpConnection::consume(std::uint8_t* buffer, int total)
{
    std::memset(buffer + total, 0, CtvkModbusTcpServerPrivate::kSlackBytes);
    int at = 0;
    while (at < total) {
        int length = 0;
        const mbap::Split split = mbap::splitRequest(buffer + at, total - at, &length);
        if (split == mbap::Split::Broken) {
            ++owner->framesDropped;
            CtvkModbusTcpServerPrivate::endConnection(this);
            return false;
        }
        if (split == mbap::Split::Incomplete)
            break;
        if (owner->answerDelayMs > 0 || holding()) {
            // Held back in order; the loop is never held meanwhile.
            hold(buffer + at, length, owner->answerDelayMs);
        } else if (!owner->answer(this, buffer + at, length)) {
            return false;   // the connection has ended
        }
        at += length;
    }
    pending.assign(reinterpret_cast<const char*>(buffer + at), static_cast<std::size_t>(total - at));
    return true;
}

void CtvkModbusTcpConnection::hold(const std::uint8_t* frame, int length, int delayMs)
{
    if (!m_delayed)
        m_delayed = std::make_unique<std::deque<std::pair<Clock::time_point, std::string>>>();
    m_delayed->emplace_back(Clock::now() + std::chrono::milliseconds(delayMs),
                            std::string(reinterpret_cast<const char*>(frame), static_cast<std::size_t>(length)));
    if (!m_delayTimer)
        m_delayTimer = startTimer(delayMs);
}

bool CtvkModbusTcpConnection::holding() const
{
    return m_delayed && !m_delayed->empty();
}

void CtvkModbusTcpConnection::timerEvent(CtvkTimerEvent* e)
{
    if (e && e->timerId() == m_delayTimer)
        answerDelayed();
}

void CtvkModbusTcpConnection::answerDelayed()
{
    killTimer(m_delayTimer);
    m_delayTimer = 0;
    const auto now = Clock::now();
    while (m_delayed && !m_delayed->empty() && m_delayed->front().first <= now) {
        const std::string frame = std::move(m_delayed->front().second);
        m_delayed->pop_front();
        std::uint8_t buffer[mbap::kMaxFrameBytes + CtvkModbusTcpServerPrivate::kSlackBytes] = {};
        std::memcpy(buffer, frame.data(), frame.size());
        if (!owner->answer(this, buffer, static_cast<int>(frame.size())))
            return;   // the connection has ended
    }
    finishPass();
    if (holding()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_delayed->front().first - now);
        m_delayTimer = startTimer(static_cast<int>(wait.count()));
    }
}

// The gate of TLS connections.

void CtvkModbusTcpServerPrivate::enterGate(CtvkModbusTcpConnection* connection)
{
    CtvkModbusTcpSecurity& sec = *security;
    connection->stream.secureAsServer(sec.context.get());
    connection->unproven = sec.unproven.insert(sec.unproven.end(), connection);
    connection->isUnproven = true;
    if (!sec.gateClock)
        sec.gateClock = new CtvkModbusTcpGateClock(this, mm_func());
    // A master that stalls its handshake costs the others nothing and is
    // given up after the response timeout.
    const int timeout = responseTimeoutMs();
    static_cast<CtvkModbusTcpGateClock*>(sec.gateClock)
        ->wake(timeout, connection->acceptedAt + std::chrono::milliseconds(timeout));
}

void CtvkModbusTcpServerPrivate::leaveGate(CtvkModbusTcpConnection* connection)
{
    CtvkModbusTcpSecurity& sec = *security;
    if (connection->isUnproven)
        sec.unproven.erase(connection->unproven);
    if (connection->isShaking)
        sec.shaking.erase(connection->shaking);
    connection->isUnproven = false;
    connection->isShaking = false;
}

bool CtvkModbusTcpServerPrivate::startShaking(CtvkModbusTcpConnection* connection)
{
    CtvkModbusTcpSecurity& sec = *security;
    connection->shaking = sec.shaking.insert(sec.shaking.end(), connection);
    connection->isShaking = true;
    // Each handshake under way holds a session and its buffers: past the
    // limit, the one that has waited longest makes room. A real master's
    // handshake takes a few round trips, a flood's waits for ever.
    while (static_cast<int>(sec.shaking.size()) > sec.maximumHandshakes) {
        CtvkModbusTcpConnection* oldest = sec.shaking.front();
        if (oldest == connection)
            break;
        refuse(oldest, oldest->socket(), "too many TLS handshakes at once: the one waiting longest was given up",
               std::string(), false);
        if (!isLive(this))
            return false;   // a handler of the ended connection destroyed the server
    }
    return true;
}

bool CtvkModbusTcpServerPrivate::proven(CtvkModbusTcpConnection* connection)
{
    leaveGate(connection);
    std::string why;
    if (!connection->stream.peerRole(&connection->role, &why)) {
        refuse(connection, connection->socket(), "TLS handshake refused: " + why, std::string(), false);
        return false;
    }
    connection->shownRole = CtvkModbusRoleRules::shown(connection->role);
    return true;
}

void CtvkModbusTcpServerPrivate::gateTimeout()
{
    CtvkModbusTcpSecurity& sec = *security;
    const auto timeout = std::chrono::milliseconds(responseTimeoutMs());
    const auto now = CtvkModbusTcpConnection::Clock::now();
    while (!sec.unproven.empty() && sec.unproven.front()->acceptedAt + timeout <= now) {
        CtvkModbusTcpConnection* late = sec.unproven.front();
        refuse(late, late->socket(), "the TLS handshake did not finish within the response timeout", std::string(),
               false);
        if (!isLive(this))
            return;   // a refusal observer must not destroy the server, but may have
    }
    if (!sec.unproven.empty() && sec.gateClock) {
        const auto due = sec.unproven.front()->acceptedAt + timeout;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now);
        static_cast<CtvkModbusTcpGateClock*>(sec.gateClock)->wake(static_cast<int>(wait.count()), due);
    }
}

} // namespace Quorvan
