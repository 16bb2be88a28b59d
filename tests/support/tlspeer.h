// SPDX-License-Identifier: MIT
#ifndef TVKTEST_TLSPEER_H
#define TVKTEST_TLSPEER_H

#include "frames.h"

#include <memory>
#include <string>
#include <vector>

namespace tvktest {

// The certificates of scripts/make-test-certs.sh, made once per test
// program into a temporary folder that goes when the program ends.
class TestCertificates {
public:
    // The folder; empty (and `error` said why) when they could not be made.
    static const std::string& folder(std::string* error = nullptr);
    static std::string file(const std::string& name) { return folder() + "/" + name; }
    // A client certificate (and key) signed by the test CA that carries the
    // role extension once for each role given, as NAME.pem and NAME.key.
    static bool makeWithRoles(const std::string& name, const std::vector<std::string>& roles);
};

// One end of a Modbus/TCP Security connection on a raw loopback socket,
// stepped without ever blocking, so that the server or client under test
// can run on the same thread; and the ways a hostile peer ends one. It
// never raises SIGPIPE itself.
class TlsPeer {
public:
    // A client of 127.0.0.1:`port` showing WHO.pem/WHO.key of the test
    // certificates (none for an empty `who`).
    static std::unique_ptr<TlsPeer> client(int port, const std::string& who);
    // A server with the test server's certificate, taking the next
    // connection of the listening socket (waiting at most `timeoutMs`).
    static std::unique_ptr<TlsPeer> accept(int listening, int timeoutMs);
    ~TlsPeer();
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    int fd() const { return m_fd; }
    // Moves the handshake on; true once it is done.
    bool handshake();
    // Whether the other end refused us or the connection broke.
    bool failed() const { return m_failed; }
    // Encrypts and sends (what the socket does not take is sent by the next
    // step); false once the connection is gone.
    bool send(const Bytes& plain);
    // Steps reading; true with the next whole Modbus/TCP frame.
    bool takeFrame(Bytes* frame);
    // Whether the other end has ended the connection (close_notify, or the
    // socket's end).
    bool closedByOtherEnd();
    // Hangs up: the socket closes, as a process that dies would close it.
    void hangUp();
    // Resets the connection: the other end's next use of it fails.
    void reset();

private:
    TlsPeer() = default;
    bool pump();

    int m_fd = -1;
    void* m_ssl = nullptr;   // SSL, kept out of this header
    void* m_context = nullptr;
    bool m_failed = false;
    bool m_closed = false;
    Bytes m_out;       // cipher text the socket has not taken yet
    Bytes m_inbox;     // plain text received
};

} // namespace tvktest

#endif
