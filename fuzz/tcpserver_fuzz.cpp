// SPDX-License-Identifier: MIT
// libFuzzer target for the TCP server's framing. One server listens on
// loopback for the whole run; each input is a little program that opens up
// to four real connections to it and, interleaved at will, queues requests
// (well-formed ones of every function the server knows, with legal and
// illegal counts and addresses, or raw bytes), sends what is queued split at
// arbitrary points, lets the loop run, and disconnects (half-close or full
// close) and reconnects.
//
// Besides no crash and no leak (the sanitizers), it checks what a master can
// see, against a model of the framing that judges only what is certain:
//   - every complete well-formed request is answered exactly once, in order,
//     with its transaction id and its function code (or the exception bit);
//   - after a frame the server must refuse (protocol id not 0, length outside
//     2..254, or a length that contradicts the function code) it answers
//     nothing more on that connection and closes it;
//   - after a half-close every request sent before it is answered, then the
//     server closes;
//   - when an input is done, every descriptor the server took for it is
//     given back.
// Frames whose treatment is the server's choice (unknown function codes, a
// byte count that contradicts its quantity) end the checking of their
// connection, not the run.
#include "descriptors.h"
#include "loopback.h"
#include "tvkeventloop.h"
#include "tvkmodbusdataunit.h"
#include "tvkmodbustcpserver.h"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

using namespace Quorvan;

namespace {

constexpr int Connections = 4;
constexpr int TableSize = 100;       // every table holds addresses 0..99
constexpr int WaitMs = 2000;         // a generous bound; loopback answers in microseconds
constexpr std::size_t MaxQueued = 4096;

[[noreturn]] void failure(const char* what)
{
    std::fprintf(stderr, "tcpserver_fuzz: %s\n", what);
    __builtin_trap();
}

// Reads the input front to back; past its end every byte is 0.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool done() const { return m_at >= m_size; }
    std::uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::uint16_t word() { return static_cast<std::uint16_t>((byte() << 8) | byte()); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

enum class Verdict { Complete, Incomplete, Refused, Uncertain };

// Judges the frame at the front of `bytes` as the server must.
Verdict judge(const std::string& bytes, std::size_t* frameLength)
{
    if (bytes.size() < 7)
        return Verdict::Incomplete;
    const auto at = [&bytes](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const int protocol = (at(2) << 8) | at(3);
    const int length = (at(4) << 8) | at(5);
    if (protocol != 0 || length < 2 || length > 254)
        return Verdict::Refused;
    *frameLength = 6 + static_cast<std::size_t>(length);
    if (bytes.size() < *frameLength)
        return Verdict::Incomplete;
    const int function = at(7);
    const auto quantity = [&at](std::size_t i) { return (at(i) << 8) | at(i + 1); };
    switch (function) {
    case 1: case 2: case 3: case 4: case 5: case 6:
        return length == 6 ? Verdict::Complete : Verdict::Refused;
    case 7: case 0x11:
        return length == 2 ? Verdict::Complete : Verdict::Refused;
    case 0x16:
        return length == 8 ? Verdict::Complete : Verdict::Refused;
    case 15: case 16: {
        if (length < 7 || length != 7 + at(12))
            return Verdict::Refused;
        const int count = quantity(10);
        const int needed = function == 15 ? (count + 7) / 8 : 2 * count;
        return needed == at(12) ? Verdict::Complete : Verdict::Uncertain;
    }
    case 0x17: {
        if (length < 11 || length != 11 + at(16))
            return Verdict::Refused;
        return 2 * quantity(14) == at(16) ? Verdict::Complete : Verdict::Uncertain;
    }
    default:
        return Verdict::Uncertain;
    }
}

// A well-formed request of a function the server knows, quantities and
// addresses drawn from the input (so illegal ones come up too).
std::string request(Input& in, std::uint16_t tid)
{
    static const std::uint8_t functions[] = {1, 2, 3, 4, 5, 6, 7, 15, 16, 0x11, 0x16, 0x17};
    const std::uint8_t function = functions[in.byte() % sizeof functions];
    std::string pdu(1, static_cast<char>(function));
    const auto put16 = [&pdu](int v) {
        pdu.push_back(static_cast<char>((v >> 8) & 0xff));
        pdu.push_back(static_cast<char>(v & 0xff));
    };
    // Mostly inside the tables, sometimes anywhere.
    const auto address = [&in]() { return in.byte() & 1 ? in.word() : in.byte() % (TableSize + 10); };
    const auto count = [&in]() { return in.byte() & 1 ? in.word() : in.byte() % 130; };
    switch (function) {
    case 1: case 2: case 3: case 4: case 5: case 6:
        put16(address());
        put16(count());
        break;
    case 15: case 16: {
        put16(address());
        const int n = count() % 2000;
        put16(n);
        const int bytes = function == 15 ? (n + 7) / 8 : 2 * n;
        if (bytes > 246) {   // the frame cannot carry it: keep it well-formed with n = 0
            pdu.resize(pdu.size() - 2);
            put16(0);
            pdu.push_back(0);
            break;
        }
        pdu.push_back(static_cast<char>(bytes));
        for (int i = 0; i < bytes; ++i)
            pdu.push_back(static_cast<char>(in.byte()));
        break;
    }
    case 0x16:
        put16(address());
        put16(in.word());
        put16(in.word());
        break;
    case 0x17: {
        put16(address());
        put16(count());
        put16(address());
        int n = count() % 130;
        if (2 * n > 242)
            n = 0;
        put16(n);
        pdu.push_back(static_cast<char>(2 * n));
        for (int i = 0; i < 2 * n; ++i)
            pdu.push_back(static_cast<char>(in.byte()));
        break;
    }
    default:   // 7 and 0x11 carry nothing but the function code
        break;
    }
    std::string frame;
    frame.push_back(static_cast<char>(tid >> 8));
    frame.push_back(static_cast<char>(tid & 0xff));
    frame.push_back(0);
    frame.push_back(0);
    const std::size_t length = pdu.size() + 1;
    frame.push_back(static_cast<char>(length >> 8));
    frame.push_back(static_cast<char>(length & 0xff));
    frame.push_back(static_cast<char>(in.byte() & 1 ? 0xff : 1));   // unit id
    return frame + pdu;
}

// One master: what it queued and sent, and what the model expects back.
class Master {
public:
    explicit Master(int port) : m_port(port) {}
    ~Master() { drop(); }
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    bool connected() const { return m_fd >= 0; }

    void connect()
    {
        m_fd = tvktest::connectToLoopback(m_port);
        if (m_fd < 0)
            failure("connect to the server");
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_queued.clear();
        m_unjudged.clear();
        m_expected.clear();
        m_received.clear();
        m_state = State::Checking;
        m_halfClosed = false;
        m_eof = false;
    }

    void queue(const std::string& bytes)
    {
        if (m_queued.size() + bytes.size() <= MaxQueued)
            m_queued += bytes;
    }
    std::size_t queued() const { return m_queued.size(); }
    std::uint16_t nextTid() { return ++m_tid; }

    // Sends the first n queued bytes and updates what the model expects.
    void send(std::size_t n)
    {
        n = std::min(n, m_queued.size());
        if (!connected() || m_halfClosed || n == 0)
            return;
        const ssize_t sent = ::send(m_fd, m_queued.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent <= 0) {
            // Closed by the server (it may refuse a frame) or a full buffer:
            // nothing more can be judged of this connection.
            if (m_state == State::Checking)
                m_state = State::Unknown;
            return;
        }
        m_unjudged.append(m_queued, 0, static_cast<std::size_t>(sent));
        m_queued.erase(0, static_cast<std::size_t>(sent));
        while (m_state == State::Checking) {
            std::size_t frame = 0;
            const Verdict v = judge(m_unjudged, &frame);
            if (v == Verdict::Incomplete)
                break;
            if (v == Verdict::Refused) {
                m_state = State::MustClose;
                break;
            }
            if (v == Verdict::Uncertain) {
                m_state = State::Unknown;
                break;
            }
            const auto b = [this](std::size_t i) { return static_cast<std::uint8_t>(m_unjudged[i]); };
            m_expected.push_back(Expected{static_cast<std::uint16_t>((b(0) << 8) | b(1)), b(7)});
            m_unjudged.erase(0, frame);
        }
    }

    // Reads what has arrived and checks each answer against the model.
    void receive()
    {
        if (!connected() || m_eof)
            return;
        for (;;) {
            char buf[4096];
            const ssize_t got = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                m_eof = true;
                break;
            }
            if (got < 0)
                break;
            m_received.append(buf, static_cast<std::size_t>(got));
        }
        while (m_received.size() >= 8) {
            const auto b = [this](std::size_t i) { return static_cast<std::uint8_t>(m_received[i]); };
            const std::size_t length = 6 + static_cast<std::size_t>((b(4) << 8) | b(5));
            if (b(2) || b(3) || length < 8 || length > 260)
                failure("an answer with a broken header");
            if (m_received.size() < length)
                break;
            if (m_state != State::Unknown) {
                if (m_expected.empty())
                    failure("an answer to no request, or a second answer to one");
                const Expected e = m_expected.front();
                m_expected.pop_front();
                if (((b(0) << 8) | b(1)) != e.tid)
                    failure("an answer out of order, or with a wrong transaction id");
                if ((b(7) & 0x7f) != e.function)
                    failure("an answer with a function code that is not the request's");
            }
            m_received.erase(0, length);
        }
        // Whatever arrived before the close has been read by now.
        if (m_eof && m_state != State::Unknown && !m_expected.empty())
            failure("the server closed a connection that still had well-formed requests to answer");
    }

    // True once the model expects nothing more on this connection.
    bool settled() const
    {
        switch (m_state) {
        case State::Checking: return m_expected.empty() && (!m_halfClosed || m_eof);
        case State::MustClose: return m_expected.empty() && m_eof;
        case State::Unknown: break;
        }
        return true;
    }

    void checkSettled() const
    {
        if (settled())
            return;
        if (!m_expected.empty())
            failure("a complete well-formed request got no answer");
        failure("the server kept a connection open that it had to close");
    }

    void halfClose()
    {
        if (connected() && !m_halfClosed) {
            ::shutdown(m_fd, SHUT_WR);
            m_halfClosed = true;
        }
    }

    void drop()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    enum class State { Checking, MustClose, Unknown };
    struct Expected {
        std::uint16_t tid;
        std::uint8_t function;
    };

    int m_port;
    int m_fd = -1;
    std::uint16_t m_tid = 0;
    std::string m_queued;     // generated, not yet sent
    std::string m_unjudged;   // sent, not yet a complete frame
    std::deque<Expected> m_expected;
    std::string m_received;
    State m_state = State::Checking;
    bool m_halfClosed = false;
    bool m_eof = false;
};

struct Harness {
    CtvkEventLoop loop;
    CtvkModbusTcpServer server;
    int port = 0;
};

Harness* harness = nullptr;

// Lets the server work until every master's expectations are met.
void settle(std::vector<Master*>& masters)
{
    const bool done = harness->loop.processEventsUntil(
        [&masters]() {
            bool all = true;
            for (Master* m : masters) {
                m->receive();
                all = all && m->settled();
            }
            return all;
        },
        WaitMs);
    if (!done)
        for (Master* m : masters)
            m->checkSettled();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    harness = new Harness;
    CtvkModbusTcpServer& server = harness->server;
    server.setListenSocketNum(1024);
    server.setStartAddressAndNum(0, TableSize, 0, TableSize, 0, TableSize, 0, TableSize);
    harness->port = tvktest::freeLoopbackPort();
    server.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    server.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(harness->port));
    if (harness->port == 0 || !server.open())
        failure("the server does not open");
    server.processRequest();
    harness->loop.processEvents(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Counted per input: the fuzzer itself opens files between inputs.
    const int baseline = tvktest::openDescriptors();
    Input in(data, size);
    const int count = 1 + in.byte() % Connections;
    std::vector<std::unique_ptr<Master>> storage;
    std::vector<Master*> masters;
    for (int i = 0; i < count; ++i) {
        storage.push_back(std::make_unique<Master>(harness->port));
        storage.back()->connect();
        masters.push_back(storage.back().get());
    }

    for (int steps = 0; !in.done() && steps < 256; ++steps) {
        const std::uint8_t op = in.byte();
        Master& m = *masters[op % count];
        switch ((op >> 2) % 8) {
        case 0: case 1: case 2:
            m.queue(request(in, m.nextTid()));
            break;
        case 3: {   // raw bytes: anything at all, often a broken frame
            const int n = in.byte() % 24;
            std::string raw;
            for (int i = 0; i < n; ++i)
                raw.push_back(static_cast<char>(in.byte()));
            m.queue(raw);
            break;
        }
        case 4: case 5:   // send a prefix of what is queued: frames split anywhere
            m.send(in.byte() % (m.queued() + 1));
            break;
        case 6:
            harness->loop.processEvents(0);
            m.receive();
            break;
        case 7:
            if (in.byte() & 1) {
                // Half-close: every request sent so far must still be answered.
                m.send(m.queued());
                m.halfClose();
                std::vector<Master*> one{&m};
                settle(one);
            }
            m.drop();
            m.connect();
            // The server accepts only while its loop runs; a blocking
            // connect into a full backlog would wait on ourselves.
            harness->loop.processEvents(0);
            break;
        }
    }

    for (Master* m : masters)
        m->send(m->queued());
    settle(masters);
    for (Master* m : masters)
        m->drop();
    // Every connection of this input is closed: the server must give back
    // every descriptor it took for them.
    if (!harness->loop.processEventsUntil([baseline]() { return tvktest::openDescriptors() <= baseline; }, WaitMs))
        failure("the server kept descriptors of closed connections");
    return 0;
}
