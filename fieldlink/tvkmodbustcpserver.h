// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSTCPSERVER_H
#define TVKMODBUSTCPSERVER_H

#include "tvkmodbusserver.h"
#include "tvkmodbustls.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace Quorvan {

class CtvkModbusTcpServerPrivate;

// Answers Modbus TCP requests from any number of masters out of the
// register map. Everything runs from the event loop of the server's thread:
// the listening socket's notifier accepts connections, each connection's
// notifier reads what has arrived and answers every complete request.
//
// The list of accepted connections is one list for the whole library:
// close() or the destruction of any TCP server drops the connections of
// every TCP server of the process. So all TCP servers of a process live on
// one thread, the one whose event loop serves them: every call of this
// class, and every handler and observer it calls, runs on that thread
// (processRequest() refuses to serve from another one while connections
// of that thread are listed). No call blocks, and no call of it can raise
// SIGPIPE: the host need not ignore it.
//
// Signals, with the connection's socket: "clientConnected(int)" once a
// master's connection is accepted and served, "clientDisconnected(int)"
// once it has ended (its socket is closed by then; a server being destroyed
// announces nothing). A handler may close or destroy the server.
class TVK_FIELDLINK_EXPORT CtvkModbusTcpServer : public CtvkModbusServer {
public:
    TVK_DECLARE_PRIVATE(CtvkModbusTcpServer)

    explicit CtvkModbusTcpServer(CtvkObject* parent = nullptr);
    CtvkModbusTcpServer(CtvkModbusTcpServerPrivate* d, CtvkObject* parent);
    ~CtvkModbusTcpServer() override;

    // Checks NetworkAddress and NetworkPort and creates the libmodbus
    // context; does not listen yet. True at once when a context exists.
    bool open() override;
    // Stops listening, drops every accepted connection and releases the
    // context; open() and processRequest() serve again afterwards.
    void close() override;
    // Listens on NetworkAddress:NetworkPort and accepts from the event loop.
    // Called again, it first releases the earlier listening socket.
    void processRequest() override;

    // Backlog of the listening socket (default 10), taken at the next
    // processRequest(); it does not limit the number of connections served.
    int listenSocketNum();
    void setListenSocketNum(int number);

    // The port the server listens on, or -1 when it does not listen.
    int listeningPort() const;
    // Frames refused as malformed; each ended its connection.
    std::uint64_t framesDropped() const;

    // The unit ids answered; a request for another gets no answer, as from
    // a gateway with no such device behind it. Empty (the default): every
    // unit id.
    void setUnitIds(const std::vector<int>& unitIds);
    std::vector<int> unitIds() const;
    // Answers each request this many milliseconds late (0, the default: at
    // once), to try masters' time limits; the loop never waits meanwhile.
    void setAnswerDelay(int ms);
    int answerDelay() const;

    // One request as the server handled it, for hosts that log the traffic.
    struct Request {
        int socket = -1;
        int unit = 0;
        int function = 0;
        int address = 0;        // the first address the request reaches
        int count = 0;          // how many (a read-write request: its write)
        int exceptionCode = 0;  // 0: answered; the exception answered; -1: not answered (unit id)
        bool refused = false;   // exception 1 because the client may not make it
        // Over TLS: the role of the client's certificate, with control
        // bytes written as \xNN and cut to a length a log line can hold.
        std::string role;
    };
    // Called after each request is answered (or left unanswered); it must
    // not close or destroy the server. Null, the default: nothing is called.
    void setRequestObserver(std::function<void(const Request&)> observer);

    // Modbus/TCP Security: with a certificate set, every connection must
    // complete a TLS handshake with a client certificate the CA vouches for
    // (within the response timeout) before a request is read, and the role
    // in that certificate decides, by the rules file, what it may read and
    // write; a request it may not make gets exception 1. Taken at open(),
    // which fails with ConfigurationError when a file cannot be used (a bad
    // rules line is told with its number).
    void setTlsConfiguration(const CtvkModbusTlsConfiguration& configuration);
    CtvkModbusTlsConfiguration tlsConfiguration() const;
    // How many TLS handshakes may be under way at once (64 by default).
    // A connection holds no TLS session until its client's first bytes
    // arrive; past the limit, the handshake that has waited longest is
    // given up, so that a flood of stalled handshakes cannot take the
    // panel's memory while a real master still gets through.
    void setMaximumHandshakes(int number);
    int maximumHandshakes() const;
    // The networks (CIDR, IPv4 or IPv6) masters may connect from; anyone
    // else is closed at accept. Empty, the default: anyone. False, and
    // nothing changed, when an entry is not a network.
    bool setAllowedNetworks(const std::vector<CtvkString>& networks);
    // Over plain TCP, writes to a read-only table get exception 1. (Over
    // TLS the roles decide.)
    void setReadOnly(CtvkModbusDataUnit::RegisterType type, bool readOnly);
    bool isReadOnly(CtvkModbusDataUnit::RegisterType type) const;

    // A connection or a request the server refused: a handshake that failed
    // or took too long, a peer outside the allowed networks, a request the
    // client may not make.
    struct Refusal {
        int socket = -1;
        std::string peer;     // address:port, an IPv6 address in [brackets]
        std::string role;     // over TLS, once known, as Request shows it
        std::string reason;   // in words a person can act on
        std::string detail;   // over TLS: OpenSSL's own words, if any
    };
    // Called for each refusal; the same rules as for the request observer.
    void setRefusalObserver(std::function<void(const Refusal&)> observer);
    std::uint64_t refusedConnections() const;   // handshakes and networks
    std::uint64_t refusedRequests() const;
    // Refused requests by role ("" for a certificate without one).
    std::map<std::string, std::uint64_t> refusedRequestsByRole() const;
};

} // namespace Quorvan

#endif
