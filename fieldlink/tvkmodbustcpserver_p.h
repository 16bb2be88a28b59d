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

namespace Quorvan {

class CtvkModbusTcpConnection;
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
    // A malformed frame, a peer close, a read error or an answer that
    // cannot be sent at once ends the connection.
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

private:
    friend class CtvkModbusTcpConnection;
    friend class CtvkModbusTcpListenNotifier;

    void stopListening();
    void resumeListening();
    // Lists an accepted connection and watches it; false when it was
    // refused (and closed) instead.
    bool adopt(int client);
    // Works through what has arrived on a connection (`total` bytes at
    // `buffer`, with slack behind): answers every complete request, keeps
    // the rest; false when the connection ended.
    bool consume(CtvkModbusTcpConnection* connection, std::uint8_t* buffer, int total);
    // The same for a TLS connection: the handshake, then decrypted data.
    void processTls(CtvkModbusTcpConnection* connection);
    bool continueHandshake(CtvkModbusTcpConnection* connection);
    // Sends `length` bytes to the master whole, or not at all (over TLS:
    // queues them behind the answers of the pass).
    bool deliver(CtvkModbusTcpConnection* connection, const std::uint8_t* bytes, int length);
    // Over TLS: encrypts and sends the answers the pass queued, or drops
    // them with a connection that ended.
    void flushAnswers(CtvkModbusTcpConnection* connection);
    void drainAnswers();
    // Whether the client may make the request; a refusal is told.
    bool permitted(CtvkModbusTcpConnection* connection, const std::uint8_t* frame);
    void refuse(CtvkModbusTcpConnection* connection, int socket, const std::string& reason, bool request);
    // Sets TLS up as configured (context, rules, answer pair); false with
    // `why` when a file cannot be used.
    bool secure(std::string* why);
    void acceptFailed(int err);
    // Answers one complete frame; false when the connection had to end.
    bool answer(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int length);
    bool sendException(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int code);
    // Counts an answer that went out whole; one that did not ends the
    // connection. Answers `whole`.
    bool answered(CtvkModbusTcpConnection* connection, bool whole);
    // Answers the requests the delay held back that are due now.
    void answerDelayed(CtvkModbusTcpConnection* connection);
    // Tells the request observer, if any; `outcome` as Request says.
    void observe(CtvkModbusTcpConnection* connection, const std::uint8_t* frame, int outcome, bool refused = false);
    // Unlists the connection and takes its notifier out of the dispatcher,
    // emits "clientDisconnected(int)", then destroys the notifier and closes
    // the socket (removed before closed, closed exactly once).
    static void endConnection(CtvkModbusTcpConnection* connection);
    static void retire(CtvkSocketNotifier* notifier);
    static void announceDisconnected(CtvkModbusTcpServerPrivate* owner, int socket);
    // The servers not destroyed (nor being destroyed): only they announce.
    static std::unordered_set<const CtvkModbusTcpServerPrivate*>& liveServers();
    // The listed connections of every server by socket, beside the list:
    // finding one must not cost a walk through thousands.
    static std::unordered_map<int, CtvkModbusTcpConnection*>& connectionIndex();

    int listenSocket = -1;
    bool acceptFailureReported = false;
    int pendingAcceptError = 0;
};

} // namespace Quorvan

#endif
