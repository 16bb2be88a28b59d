// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSSTREAM_P_H
#define TVKMODBUSSTREAM_P_H

#include "tvkfieldlink_global.h"

#include <openssl/ssl.h>

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Quorvan {

// One non-blocking byte stream over a TCP socket, plain or TLS, under both
// the asynchronous client link and the server's connections. It connects,
// steps a TLS handshake on the loop, reads (what TLS holds decrypted
// included), writes whole or queues what the socket does not take, and
// closes. Nothing of it can raise SIGPIPE: plain writes go out with
// MSG_NOSIGNAL, and TLS goes through a BIO of our own that does the same.
// Errors come back as values; errno is never read after a call of it.
//
// A TLS session made before a fork() is held by both processes: either
// closes its stream without a word to the peer, so that a child's teardown
// never ends the parent's sessions, nor the parent's a child's that serves
// on. Sessions made after the fork end with close_notify as usual.
//
// Not thread-safe: one stream is used from one thread at a time.
class TVK_FIELDLINK_EXPORT CtvkModbusStream {
public:
    enum class Status : std::uint8_t {
        Done,         // all that was asked (a read: `bytes` bytes)
        WouldBlock,   // nothing more now: the socket's next readiness
        Closed,       // the peer ended the stream
        Failed,       // broken, or refused: `fault` says why
    };
    // Why a call failed: an errno value, or words of its own (TLS), and
    // over TLS OpenSSL's own words, for whoever wants the detail.
    struct Fault {
        int err = 0;
        std::string text;
        std::string detail;
        // The words to show: `text`, else the C library's for `err`.
        std::string what() const;
    };
    struct Result {
        Status status = Status::Done;
        int bytes = 0;
        Fault fault;
    };
    enum class Role : std::uint8_t { Client, Server };

    // Most bytes kept for a peer that does not read: a stream past it fails.
    static constexpr int kMaxQueuedBytes = 64 * 1024;

    // Takes `socket` (connected, or connecting; non-blocking) as its own.
    explicit CtvkModbusStream(int socket);
    ~CtvkModbusStream();
    CtvkModbusStream(const CtvkModbusStream&) = delete;
    CtvkModbusStream& operator=(const CtvkModbusStream&) = delete;

    // Starts a non-blocking connect to `address`: Done once connected,
    // WouldBlock while it goes on (finishConnect() when the socket is
    // writable), Failed with the reason. The stream is null (socket() -1)
    // unless the socket was made.
    static Result connectTo(const sockaddr* address, socklen_t length, CtvkModbusStream** made);
    Result finishConnect();

    // TLS as a client: the session is made now and the handshake starts at
    // the first handshake() call; `host` is what the server's certificate
    // must name. Failed when no session can be made.
    Result secureAsClient(SSL_CTX* context, const std::string& host);
    // TLS as a server: no session is made until the client's first bytes
    // arrive (a silent connection holds none).
    void secureAsServer(SSL_CTX* context);
    bool isSecure() const { return m_context != nullptr; }
    // Whether the handshake has still to finish (always false in plain).
    bool handshaking() const { return m_context && !m_established; }
    // Whether a TLS session exists yet (a server's, once bytes came).
    bool hasSession() const { return m_ssl != nullptr; }
    // Moves the handshake on: Done once finished, WouldBlock while it waits
    // for the peer, Closed when a server's client left before sending a
    // byte, Failed (refused, or broken) with readable words.
    Result handshake();
    // The role the peer's certificate carries ("" for none); false with
    // `why` set when it cannot be read or is there twice.
    bool peerRole(std::string* role, std::string* why) const;

    // Reads at most `size` bytes.
    Result read(std::uint8_t* into, int size);
    // Whether TLS holds bytes the socket will not signal again.
    bool hasPending() const;

    // Writes all of `length` bytes: what the socket does not take now is
    // queued (Done either way), up to kMaxQueuedBytes (Failed beyond).
    Result write(const std::uint8_t* bytes, int length);
    // Sends what is queued: Done once all went, WouldBlock while some
    // waits for the socket to take more.
    Result flush();
    bool hasQueued() const { return m_queuedFrom < m_queue.size(); }

    // Ends the stream: a TLS session of this process says close_notify
    // (nothing is waited for), and the socket is closed.
    void close();
    // Lets the socket go without a word on it and without closing it: its
    // number names another connection now.
    void abandon();
    int socket() const { return m_socket; }

private:
    friend struct CtvkModbusStreamBio;
    // The socket side of the BIO and of plain writes.
    int sendQueued();
    int sendOrQueue(const std::uint8_t* bytes, int length);
    int receive(std::uint8_t* into, int size);
    Result tlsFailure(int rc, const char* doing);
    // Whether no fork has copied the session since the stream was made.
    bool soleHolder() const;

    int m_socket = -1;
    unsigned m_forks = 0;
    SSL_CTX* m_context = nullptr;
    SSL* m_ssl = nullptr;
    Role m_role = Role::Client;
    bool m_established = false;
    // The last socket error the BIO met, for the result it ends in.
    int m_socketError = 0;
    std::vector<std::uint8_t> m_queue;
    std::size_t m_queuedFrom = 0;   // what of m_queue went out already
};

} // namespace Quorvan

#endif
