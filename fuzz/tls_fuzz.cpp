// SPDX-License-Identifier: MIT
// The request path behind TLS: what a master sends once its handshake is
// done goes, decrypted, through the server's framing, the roles' rights and
// the answer path; and what a peer that is no TLS client sends goes, as it
// is, into the stream's session and handshake on a connection of its own.
// One secure server listens for the whole run; two clients
// with certificates of the roles "operator" (may write holding registers
// 0-49, read the rest) and "viewer" (may read) keep their sessions across
// inputs and open new ones when the server ended theirs. Each input is the
// client to use (bit 0 of its first byte) and the decrypted bytes it sends,
// or (bit 1 set) bytes sent as they are on a connection of their own.
//
// Besides no crash and no leak, whatever is sent:
//   - what comes back is whole Modbus/TCP frames of protocol 0;
//   - the viewer never gets a write answered other than with an exception;
//   - holding registers 50-99 and every coil keep their values: nobody may
//     write them.
#include "loopback.h"
#include "tvkeventloop.h"
#include "tvkmodbuspdu_p.h"
#include "tvkmodbustcpserver.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace Quorvan;

namespace {

constexpr int kTableSize = 100;
constexpr int kFirstLocked = 50;
constexpr int kPasses = 6;   // loop passes an answer needs at most, on loopback
constexpr int kHandshakePasses = 2000;

[[noreturn]] void failure(const char* what)
{
    std::fprintf(stderr, "tls_fuzz: %s\n", what);
    __builtin_trap();
}

struct Client {
    std::string name;
    SSL* ssl = nullptr;
    int fd = -1;

    void drop()
    {
        SSL_free(ssl);
        ssl = nullptr;
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

struct World {
    std::string certs;
    CtvkEventLoop loop;
    std::unique_ptr<CtvkModbusTcpServer> server;
    int port = 0;
    SSL_CTX* context[2] = {};
    Client clients[2];
};

World* world = nullptr;

std::string makeCertificates()
{
    char folder[] = "/tmp/tvk-tls-fuzz-XXXXXX";
    if (!::mkdtemp(folder))
        failure("no folder for the certificates");
    const std::string command = std::string("bash " TVK_SOURCE_DIR "/scripts/make-test-certs.sh ") + folder + " >/dev/null";
    if (std::system(command.c_str()) != 0)
        failure("make-test-certs.sh failed");
    std::ofstream(std::string(folder) + "/fuzz.rules")
        << "operator write hr 0-49\noperator read hr 50-99\noperator read co 0-99\nviewer read hr 0-99\n";
    return folder;
}

SSL_CTX* clientContext(const std::string& certs, const std::string& who)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, (certs + "/" + who + ".pem").c_str()) != 1
        || SSL_CTX_use_PrivateKey_file(ctx, (certs + "/" + who + ".key").c_str(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_load_verify_locations(ctx, (certs + "/ca.pem").c_str(), nullptr) != 1)
        failure("client certificate");
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return ctx;
}

void setUp()
{
    world = new World;
    world->certs = makeCertificates();
    world->server = std::make_unique<CtvkModbusTcpServer>();
    CtvkModbusTcpServer& s = *world->server;
    world->port = tvktest::freeLoopbackPort();
    s.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(world->port));
    s.setStartAddressAndNum(0, kTableSize, 0, kTableSize, 0, kTableSize, 0, kTableSize);
    for (int a = 0; a < kTableSize; ++a) {
        s.setData(CtvkModbusDataUnit::HoldingRegisters, a, static_cast<unsigned short>(1000 + a));
        s.setData(CtvkModbusDataUnit::Coils, a, a % 2);
    }
    CtvkModbusTlsConfiguration c;
    c.certificateFile = CtvkString::fromStdString(world->certs + "/server.pem");
    c.privateKeyFile = CtvkString::fromStdString(world->certs + "/server.key");
    c.caCertificates = CtvkString::fromStdString(world->certs + "/ca.pem");
    c.roleRulesFile = CtvkString::fromStdString(world->certs + "/fuzz.rules");
    s.setTlsConfiguration(c);
    if (!s.open())
        failure(s.errorString().toStdString().c_str());
    s.setTimeout(5, 0);   // handshakes on a loaded machine
    s.processRequest();
    world->clients[0].name = "operator";
    world->clients[1].name = "viewer";
    for (int i = 0; i < 2; ++i)
        world->context[i] = clientContext(world->certs, world->clients[i].name);
}

// A session for `c`, made anew when the server ended the last one.
bool connect(int which)
{
    Client& c = world->clients[which];
    if (c.ssl)
        return true;
    c.fd = tvktest::connectToLoopback(world->port);
    if (c.fd < 0)
        return false;
    c.ssl = SSL_new(world->context[which]);
    SSL_set_fd(c.ssl, c.fd);
    SSL_set_connect_state(c.ssl);
    timeval shortWait{0, 1000};
    ::setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
    for (int i = 0; i < kHandshakePasses; ++i) {
        ERR_clear_error();
        const int rc = SSL_do_handshake(c.ssl);
        if (rc == 1) {
            // TLS 1.3: the server judges the certificate after the client is
            // done; one more pass lets a refusal arrive.
            world->loop.processEvents(0);
            return true;
        }
        const int e = SSL_get_error(c.ssl, rc);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
            break;
        world->loop.processEvents(0);
    }
    c.drop();
    return false;
}

// Reads what the server sent, as long as the loop has more to give.
std::vector<std::uint8_t> collect(Client& c)
{
    std::vector<std::uint8_t> got;
    for (int pass = 0; pass < kPasses && c.ssl; ++pass) {
        world->loop.processEvents(0);
        for (;;) {
            std::uint8_t chunk[4096];
            ERR_clear_error();
            const int n = SSL_read(c.ssl, chunk, sizeof chunk);
            if (n > 0) {
                got.insert(got.end(), chunk, chunk + n);
                continue;
            }
            const int e = SSL_get_error(c.ssl, n);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
                c.drop();   // the server ended the session
            break;
        }
    }
    return got;
}

void checkAnswers(const std::vector<std::uint8_t>& bytes, bool viewer)
{
    int at = 0;
    const int n = static_cast<int>(bytes.size());
    while (at < n) {
        int length = 0;
        if (mbap::splitFrame(bytes.data() + at, n - at, &length) != mbap::Split::Frame)
            failure("the server sent something that is not a whole frame");
        const std::uint8_t* frame = bytes.data() + at;
        if (mbap::protocolId(frame) != 0)
            failure("an answer of another protocol");
        const std::uint8_t function = frame[mbap::kHeaderBytes];
        pdu::Access reached[2];
        std::uint8_t probe[pdu::kMaxPduBytes] = {function};
        if (viewer && !pdu::isException(function) && pdu::accesses(probe, reached) > 0 && reached[0].write)
            failure("the viewer's write was answered");
        at += length;
    }
}

void checkLockedValues()
{
    unsigned short v = 0;
    for (int a = 0; a < kTableSize; ++a) {
        if (a >= kFirstLocked && (!world->server->data(CtvkModbusDataUnit::HoldingRegisters, a, &v) || v != 1000 + a))
            failure("a holding register nobody may write changed");
        if (!world->server->data(CtvkModbusDataUnit::Coils, a, &v) || v != a % 2)
            failure("a coil nobody may write changed");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setUp();
    return 0;
}

// Sends `bytes` as they are on a connection of their own, runs the loop
// while the server reads them, and hangs up: whatever the server made of
// them, it must have sent nothing but TLS records, or nothing.
void raw(const std::uint8_t* bytes, std::size_t size)
{
    const int fd = tvktest::connectToLoopback(world->port);
    if (fd < 0)
        failure("no connection for the raw bytes");
    if (size > 0 && ::send(fd, bytes, size, MSG_NOSIGNAL) < 0)
        failure("the raw bytes could not be sent");
    for (int pass = 0; pass < kPasses; ++pass)
        world->loop.processEvents(0);
    std::uint8_t reply[1];
    // A TLS record starts with its content type: a handshake or an alert.
    constexpr std::uint8_t kAlert = 21;
    constexpr std::uint8_t kHandshake = 22;
    const ssize_t got = ::recv(fd, reply, sizeof reply, MSG_DONTWAIT);
    if (got == 1 && reply[0] != kAlert && reply[0] != kHandshake)
        failure("the server answered raw bytes with something that is not TLS");
    ::close(fd);
    world->loop.processEvents(0);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    // First byte: bit 1 sends the rest as it is, not through a session.
    constexpr std::uint8_t kRaw = 0x02;
    if (data[0] & kRaw) {
        raw(data + 1, size - 1);
        checkLockedValues();
        return 0;
    }
    const int which = data[0] & 1;
    if (!connect(which))
        failure("no TLS session with the server");
    Client& c = world->clients[which];
    ERR_clear_error();
    if (size > 1 && SSL_write(c.ssl, data + 1, static_cast<int>(size - 1)) <= 0)
        c.drop();
    checkAnswers(collect(c), which == 1);
    checkLockedValues();
    return 0;
}
