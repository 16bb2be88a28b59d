// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSTCPSERVER_P_H
#define TVKMODBUSTCPSERVER_P_H

#include "tvkmodbustcpserver.h"
#include "tvkmodbusserver_p.h"

#include "tvksocketnotifier.h"
#include "tvkvector"

#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace Quorvan {

class CtvkModbusReply;
class CtvkModbusTcpConnection;
struct CtvkModbusTcpRouting;
class CtvkModbusTcpGateClock;
class CtvkModbusTcpListenNotifier;
struct CtvkModbusTcpSecurity;

class TVK_FIELDLINK_EXPORT CtvkModbusTcpServerPrivate : public CtvkModbusServerPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkModbusTcpServer)

    CtvkModbusTcpServerPrivate();
    ~CtvkModbusTcpServerPrivate() override;

    // The steps of open(): validates the settings, creates the context.
    bool modbusCreate();
    // Whether NetworkAddress names an address to listen on.
    bool resolvable() const;
    // The listening socket is readable: accepts the connections waiting, a
    // bounded batch per wakeup. When the process is out of descriptors,
    // accepting rests for a while (or until a connection of this server
    // ends) instead of spinning.
    void processNewConnection(int listenSocket);
    // A client socket is readable: reads what has arrived without waiting,
    // answers every complete request in order, keeps the rest for later.
    // A malformed frame, a peer close or a read error ends the connection;
    // answers the master does not read at once wait for it (up to a bound),
    // and reading from it rests meanwhile.
    void processData(int socket);
    // Forgets the listed connection on `socket` (its socket is not closed);
    // with the listening socket's number, the listening notifier.
    void deleteNotifier(int socket);
    // Ends every listed connection of every TCP server of the library.
    void clearAllClient();

    // The notifiers of every accepted connection of every TCP server, in
    // the order of acceptance.
    static CtvkVector<CtvkSocketNotifier*>& acceptNotifierList();

    int listenSocketNum = 10;
    CtvkSocketNotifier* listenNotifier = nullptr;

    // Frames refused as malformed; each ended its connection.
    std::uint64_t framesDropped = 0;
    // The unit ids answered; none set: every one.
    std::bitset<256> servedUnits;
    int answerDelayMs = 0;
    std::function<void(const CtvkModbusTcpServer::Request&)> requestObserver;
    // TLS, the networks allowed, read-only tables, refusals.
    std::unique_ptr<CtvkModbusTcpSecurity> security;
    // The units routed to other devices.
    std::unique_ptr<CtvkModbusTcpRouting> routing;

    // modbus_reply reads the address field of every request, also of the
    // two-byte ones, so a frame at the very end of a buffer needs room after it.
    static constexpr int kSlackBytes = 8;

private:
    friend class CtvkModbusTcpConnection;
    friend class CtvkModbusTcpGateClock;
    friend class CtvkModbusTcpListenNotifier;

    void stopListening();
    void resumeListening();
    // Lists an accepted connection and watches it; false when it was
    // refused (and closed) instead.
    bool adopt(int client);
    void acceptFailed(int err);

    // The answering: one complete request frame of `connection`, through
    // the rights, the early exceptions and the register map; false when the
    // connection had to end.
    bool answer(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int length);
    // The register map's answer through modbus_reply, straight to the socket
    // when it can take it, else through the answer pair onto the stream.
    bool reply(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int length);
    bool sendException(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int code);
    // Forwards a routed request to its device; the master is answered once
    // the device's reply has finished. False when the connection ended.
    bool forward(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int length);
    // A routed request answered at once with the exception `code`.
    bool tellAtOnce(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int code);
    // A forwarded request's reply has finished: its master, if still
    // connected, gets the answer.
    void forwarded(CtvkModbusReply* reply, const std::vector<std::uint8_t>& request, int socket, std::uint64_t serial);
    // Counts an answer the stream took (sent or queued); one it did not
    // take ends the connection. Answers `whole`.
    bool answered(CtvkModbusTcpConnection* connection, bool whole);
    // Whether the client may make the request; a refusal is told.
    bool permitted(CtvkModbusTcpConnection* connection, const std::uint8_t* frame);
    // Tells the refusal observer; a refused connection (not a request) ends.
    void refuse(CtvkModbusTcpConnection* connection, int socket, const std::string& reason,
                const std::string& detail, bool request);
    // Tells the request observer, if any; `outcome` as Request says.
    void observe(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int outcome, bool refused = false);
    // Sets TLS up as configured (context, rules); false with `why` when a
    // file cannot be used.
    bool secure(std::string* why);

    // The gate of TLS connections: in at accept, out once proven (the
    // handshake done and the certificate's role read) or ended.
    void enterGate(CtvkModbusTcpConnection* connection);
    void leaveGate(CtvkModbusTcpConnection* connection);
    // False when making room for it ended the server.
    bool startShaking(CtvkModbusTcpConnection* connection);
    bool proven(CtvkModbusTcpConnection* connection);
    void gateTimeout();

    // Unlists the connection and takes its notifier out of the dispatcher,
    // emits "clientDisconnected(int)", then destroys the connection, which
    // closes its socket (removed before closed, closed exactly once).
    static void endConnection(CtvkModbusTcpConnection* connection);
    static void retire(CtvkSocketNotifier* notifier);
    static void announceDisconnected(CtvkModbusTcpServerPrivate* owner, int socket);
    // Whether a server is not destroyed (nor being destroyed): only such a
    // one announces, or is touched after a handler ran.
    static bool isLive(const CtvkModbusTcpServerPrivate* server);
    static void setLive(const CtvkModbusTcpServerPrivate* server, bool alive);
    // The listed connections of every server by socket, beside the list:
    // finding one must not cost a walk through thousands.
    static std::unordered_map<int, CtvkModbusTcpConnection*>& connectionIndex();

    int listenSocket = -1;
    bool acceptFailureReported = false;
    int pendingAcceptError = 0;
};

} // namespace Quorvan

#endif
