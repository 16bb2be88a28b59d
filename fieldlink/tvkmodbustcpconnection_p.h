// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSTCPCONNECTION_P_H
#define TVKMODBUSTCPCONNECTION_P_H

#include "tvkmodbusaccess_p.h"
#include "tvkmodbusstream_p.h"
#include "tvkmodbustcpserver.h"
#include "tvkmodbustls_p.h"

#include "tvksocketnotifier.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>

namespace Quorvan {

class CtvkModbusTcpServerPrivate;

// One accepted connection: the notifier the server's list holds, the
// stream under it, and what has arrived of a request not complete yet.
// Its handlers run on the loop; everything else is the server's.
class CtvkModbusTcpConnection : public CtvkSocketNotifier {
public:
    using Clock = std::chrono::steady_clock;

    CtvkModbusTcpConnection(int socket, CtvkModbusTcpServerPrivate* server, CtvkObject* parent);
    ~CtvkModbusTcpConnection() override;

    // The socket is readable: the handshake, then every complete request
    // in order. False once the connection has ended.
    bool readable();
    // The answers of a pass are out of the server's hands: what the socket
    // did not take waits for it to take more, and reading rests meanwhile,
    // so a master that reads slowly sets the pace instead of being dropped.
    void finishPass();
    // Frames what has arrived (`total` bytes at `buffer`, with the server's
    // slack behind): answers or holds every complete request in order, keeps
    // the rest; false once the connection has ended.
    bool consume(std::uint8_t* buffer, int total);
    // Holds a request back by the server's answer delay.
    void hold(const std::uint8_t* frame, int length, int delayMs);
    bool holding() const;
    // The socket forgets this connection: its descriptor now names
    // another, and is neither closed nor written to.
    void abandonSocket();

    CtvkModbusTcpServerPrivate* const owner;
    CtvkModbusStream stream;
    std::string pending;   // always less than one frame
    // The role of the client's certificate, as the rules look it up, and
    // as logs and observers show it.
    std::string role;
    std::string shownRole;
    // Where it stands in the server's lists of unproven connections (TLS:
    // accepted, handshake not finished) and of handshakes under way.
    std::list<CtvkModbusTcpConnection*>::iterator unproven;
    std::list<CtvkModbusTcpConnection*>::iterator shaking;
    bool isUnproven = false;
    bool isShaking = false;
    Clock::time_point acceptedAt;

protected:
    void timerEvent(CtvkTimerEvent* e) override;

private:
    void writable();
    void answerDelayed();

    // Requests held back by the answer delay, in their order, with when
    // each is due; made for the first.
    std::unique_ptr<std::deque<std::pair<Clock::time_point, std::string>>> m_delayed;
    int m_delayTimer = 0;
    CtvkSocketNotifier* m_writer = nullptr;
};

// What makes the server more than plain Modbus/TCP: TLS with the roles'
// rights and its gate, the networks masters may come from, read-only
// tables, and the refusals.
struct CtvkModbusTcpSecurity {
    CtvkModbusTlsConfiguration configuration;
    tls::Context context;              // made at open() when TLS is on
    CtvkModbusRoleRules roles;
    CtvkNetworkList allowed;
    bool readOnly[5] = {};             // by register type, plain TCP
    std::function<void(const CtvkModbusTcpServer::Refusal&)> refusalObserver;
    std::uint64_t refusedConnections = 0;
    std::uint64_t refusedRequests = 0;
    std::map<std::string, std::uint64_t> refusedByRole;

    // TLS connections whose handshake has not finished, oldest first (each
    // is given up after the response timeout), and those of them that
    // hold a session, the handshakes under way, of which at most
    // `maximumHandshakes` at once.
    std::list<CtvkModbusTcpConnection*> unproven;
    std::list<CtvkModbusTcpConnection*> shaking;
    int maximumHandshakes = 64;
    CtvkObject* gateClock = nullptr;   // times the oldest unproven one

    // libmodbus answers into this socket pair when an answer cannot go
    // straight to the connection's socket (TLS, or answers already waiting
    // there); each answer is taken out of it at once. Made when first needed.
    int answerPair[2] = {-1, -1};

    bool tlsOn() const { return context != nullptr; }
    void closePair();
    ~CtvkModbusTcpSecurity() { closePair(); }
};

} // namespace Quorvan

#endif
