// SPDX-License-Identifier: MIT
// Requests per second of CtvkModbusTcpServer, side by side in one run with
// two references on the same machine:
//   - libmodbus: one context, an epoll loop, modbus_receive + modbus_reply,
//     no framework (what a bare libmodbus server does);
//   - floor: an epoll loop with one recv and one send per request and a
//     hand-built answer (what any server on this kernel must at least pay).
// Every server runs in a process of its own; the load generator here is one
// thread on epoll with N connections, each keeping one request in flight.
// Rounds of the servers alternate, so drift of a loaded machine falls on all
// of them alike; the summaries are medians of the per-round ratios.
//
// Then, on the project's server only:
//   - 10,000 more idle connections: 8 masters on a server that holds them,
//     against 8 masters on a second server that does not;
//   - 100 masters stalled mid-frame: p99 latency of the 8 others;
//   - a request with an illegal count: time until exception 3 arrives
//     (libmodbus's own loop is measured too, for comparison);
//   - connection rate: back-to-back blocking connects, each closed at once,
//     to the server with the library's default backlog and with the
//     system's maximum, beside the floor's. A connect the accept queue has
//     no room for waits a SYN retransmission (1 s, then 3 s).
//
// Usage: bench_tcpserver [--long]   (or TVK_BENCH_LONG=1): longer windows
// and more rounds. Exit status: non-zero only when a request or the setup
// fails, never on a ratio.

#include "benchstats.h"
#include "childprocess.h"
#include "frames.h"
#include "loopback.h"

#include "tvkeventloop.h"
#include "tvkmodbusdataunit.h"
#include "tvkmodbustcpserver.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <modbus.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace Quorvan;
using bench::median;
using bench::percentile;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRegisters = 10;
constexpr int kMasters = 8;
constexpr int kIdleConnections = 10000;
constexpr int kStalledMasters = 100;
// Connects per window of the connection rate; keeps the ports a fast server
// leaves in TIME_WAIT few.
constexpr int kConnectCap = 2000;
constexpr std::size_t kRequestBytes = tvktest::kMbapHeaderBytes + 5;             // function, address, count
constexpr std::size_t kAnswerBytes = tvktest::kMbapHeaderBytes + 2 + 2 * kRegisters;   // function, byte count, values
constexpr int kStallLimitMs = 2000;                       // no answer for this long: the server hangs

// The longest accept queue the system grants (net.core.somaxconn). The
// idle-connection measure opens thousands of connections at once.
int systemMaxBacklog()
{
    int value = 0;
    if (std::FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
        if (std::fscanf(f, "%d", &value) != 1)
            value = 0;
        std::fclose(f);
    }
    return value > 0 ? value : SOMAXCONN;
}

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A master's connection: a loopback socket that sends each request at once.
int connectMaster(int port)
{
    const int fd = tvktest::connectToLoopback(port);
    if (fd >= 0) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return fd;
}

// Sends the first `bytes` of a read request; false when the socket takes fewer.
bool sendRequest(int fd, int tid, int function, int address, int count, std::size_t bytes = kRequestBytes)
{
    const tvktest::Bytes request = tvktest::readRequest(tid, function, address, count);
    return ::send(fd, request.data(), bytes, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes);
}

// ---------------------------------------------------------------------------
// Servers, each in a process of its own: this program again, with --serve
// and the server's kind. The child prints its port (or -1) on a line of its
// own once it listens, and serves until its standard input ends.

constexpr const char* kServeOption = "--serve";
constexpr const char* kPortPrefix = "port ";
constexpr int kServerStartMs = 10000;
// A server stuck in a blocking call gets this long to end, then is killed.
constexpr int kServerStopMs = 5000;

void announce(int readyFd, int port)
{
    const std::string line = kPortPrefix + std::to_string(port) + "\n";
    (void)!::write(readyFd, line.data(), line.size());
}

class ServerProcess {
public:
    ServerProcess(const char* name, const char* kind)
        : m_name(name),
          m_child({"/proc/self/exe", kServeOption, kind}, tvktest::ChildProcess::Errors::Inherited)
    {
        const std::string line = m_child.waitForLine(kPortPrefix, kServerStartMs);
        if (!line.empty())
            m_port = std::atoi(line.c_str() + std::strlen(kPortPrefix));
    }
    ~ServerProcess()
    {
        m_child.closeInput();
        m_child.waitForExit(kServerStopMs);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    const char* name() const { return m_name; }
    int port() const { return m_port; }
    bool ok() const { return m_child.started() && m_port > 0; }

private:
    const char* m_name;
    tvktest::ChildProcess m_child;
    int m_port = -1;
};

// backlog 0: the library's default.
int serveProject(int readyFd, int stopFd, int backlog)
{
    CtvkEventLoop loop;
    CtvkModbusTcpServer server;
    if (backlog > 0)
        server.setListenSocketNum(backlog);
    server.setStartAddressAndNum(0, 0, 0, 0, 0, kRegisters, 0, 0);
    for (int i = 0; i < kRegisters; ++i)
        server.setData(CtvkModbusDataUnit::HoldingRegisters, i, static_cast<unsigned short>(i));
    // The server refuses port 0: take a free ephemeral port and hand it over.
    const int port = tvktest::freeLoopbackPort();
    server.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    server.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    if (!server.open()) {
        announce(readyFd, -1);
        return 1;
    }
    server.processRequest();
    CtvkSocketNotifier stopper(stopFd, CtvkSocketNotifier::Read);
    CtvkObject::connect<int>(&stopper, "activated", nullptr, std::function<void(int)>([&loop](int) {
        loop.exit(0);
    }));
    announce(readyFd, port);
    loop.exec();
    server.close();
    return 0;
}

// Adds `fd` to what the epoll set `ep` waits on for reading.
void watch(int ep, int fd)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
}

int serveLibmodbus(int readyFd, int stopFd)
{
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, kRegisters, 0);
    const int listenFd = ctx && map ? modbus_tcp_listen(ctx, systemMaxBacklog()) : -1;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    const int port = tvktest::localPort(listenFd);
    if (listenFd < 0 || ep < 0 || port == 0) {
        announce(readyFd, -1);
        return 1;
    }
    for (int i = 0; i < kRegisters; ++i)
        map->tab_registers[i] = static_cast<std::uint16_t>(i);
    watch(ep, listenFd);
    watch(ep, stopFd);
    announce(readyFd, port);

    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (bool running = true; running;) {
        epoll_event events[64];
        const int n = ::epoll_wait(ep, events, 64, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == stopFd) {
                running = false;
            } else if (fd == listenFd) {
                int s = listenFd;
                const int client = modbus_tcp_accept(ctx, &s);
                if (client >= 0)
                    watch(ep, client);
            } else {
                modbus_set_socket(ctx, fd);
                const int rc = modbus_receive(ctx, query);
                if (rc > 0) {
                    modbus_reply(ctx, query, rc, map);
                } else if (rc == -1) {
                    ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                    ::close(fd);
                }
            }
        }
    }
    modbus_set_socket(ctx, -1);
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}

// One recv and one send per request; the answer is built by hand. It serves
// only what the load generator asks (function 3 within the table), which is
// all a floor needs to do.
int serveFloor(int readyFd, int stopFd)
{
    const int listenFd = tvktest::listenOnLoopback(0, systemMaxBacklog());
    const int port = tvktest::localPort(listenFd);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (listenFd < 0 || ep < 0) {
        announce(readyFd, -1);
        return 1;
    }
    watch(ep, listenFd);
    watch(ep, stopFd);
    announce(readyFd, port);

    std::uint16_t table[kRegisters];
    for (int i = 0; i < kRegisters; ++i)
        table[i] = static_cast<std::uint16_t>(i);
    std::uint8_t in[512];
    std::uint8_t out[512];
    for (bool running = true; running;) {
        epoll_event events[64];
        const int n = ::epoll_wait(ep, events, 64, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == stopFd) {
                running = false;
            } else if (fd == listenFd) {
                const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (client >= 0) {
                    const int on = 1;
                    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    watch(ep, client);
                }
            } else {
                const ssize_t got = ::recv(fd, in, sizeof in, 0);
                if (got <= 0) {
                    ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                    ::close(fd);
                    continue;
                }
                std::size_t produced = 0;
                for (std::size_t at = 0; at + kRequestBytes <= std::size_t(got); at += kRequestBytes) {
                    const std::uint8_t* q = in + at;
                    const int address = (q[8] << 8) | q[9];
                    const int count = (q[10] << 8) | q[11];
                    std::uint8_t* a = out + produced;
                    std::memcpy(a, q, 4);
                    a[6] = q[6];
                    a[7] = q[7];
                    if (q[7] != 3 || count < 1 || address + count > kRegisters) {
                        a[4] = 0;
                        a[5] = 3;
                        a[7] = static_cast<std::uint8_t>(q[7] | 0x80);
                        a[8] = 2;
                        produced += 9;
                        continue;
                    }
                    a[4] = 0;
                    a[5] = static_cast<std::uint8_t>(3 + 2 * count);
                    a[8] = static_cast<std::uint8_t>(2 * count);
                    for (int r = 0; r < count; ++r) {
                        a[9 + 2 * r] = static_cast<std::uint8_t>(table[address + r] >> 8);
                        a[10 + 2 * r] = static_cast<std::uint8_t>(table[address + r]);
                    }
                    produced += 9 + 2 * static_cast<std::size_t>(count);
                }
                (void)!::send(fd, out, produced, MSG_NOSIGNAL);
            }
        }
    }
    return 0;
}

// The server of one kind, in the child a ServerProcess starts: it announces
// on standard output and stops at the end of standard input.
int serve(const std::string& kind)
{
    if (kind == "floor")
        return serveFloor(STDOUT_FILENO, STDIN_FILENO);
    if (kind == "libmodbus")
        return serveLibmodbus(STDOUT_FILENO, STDIN_FILENO);
    if (kind == "project")
        return serveProject(STDOUT_FILENO, STDIN_FILENO, systemMaxBacklog());
    if (kind == "project-default")
        return serveProject(STDOUT_FILENO, STDIN_FILENO, 0);
    return 2;
}

// ---------------------------------------------------------------------------
// Load generator: one thread, epoll, each connection one request in flight.

class LoadGenerator {
public:
    LoadGenerator() : m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {}
    ~LoadGenerator()
    {
        closeAll();
        if (m_epoll >= 0)
            ::close(m_epoll);
    }
    LoadGenerator(const LoadGenerator&) = delete;
    LoadGenerator& operator=(const LoadGenerator&) = delete;

    bool open(int port, int count)
    {
        for (int i = 0; i < count; ++i) {
            const int fd = connectMaster(port);
            if (fd < 0)
                return false;
            Conn c;
            c.fd = fd;
            m_conns.push_back(c);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u32 = static_cast<std::uint32_t>(m_conns.size() - 1);
            if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0)
                return false;
        }
        return true;
    }

    void closeAll()
    {
        for (const Conn& c : m_conns)
            ::close(c.fd);
        m_conns.clear();
    }

    // Keeps one request in flight on every connection for `seconds`; answers
    // the number of answers received within the window (or -1 when an answer
    // is wrong or missing) and appends each one's latency in ms.
    long run(double seconds, std::vector<double>* latencies)
    {
        const Clock::time_point start = Clock::now();
        const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(seconds));
        for (Conn& c : m_conns)
            if (!send(c))
                return -1;
        long done = 0;
        std::size_t inFlight = m_conns.size();
        Clock::time_point lastProgress = Clock::now();
        while (inFlight > 0) {
            epoll_event events[64];
            const int n = ::epoll_wait(m_epoll, events, 64, 100);
            const Clock::time_point now = Clock::now();
            if (n <= 0) {
                if (now - lastProgress > std::chrono::milliseconds(kStallLimitMs))
                    return -1;
                continue;
            }
            lastProgress = now;
            for (int i = 0; i < n; ++i) {
                Conn& c = m_conns[events[i].data.u32];
                const ssize_t got = ::recv(c.fd, c.buf + c.have, sizeof c.buf - c.have, MSG_DONTWAIT);
                if (got <= 0)
                    return -1;
                c.have += static_cast<std::size_t>(got);
                if (c.have < kAnswerBytes)
                    continue;
                if (c.have != kAnswerBytes || !answerIsRight(c))
                    return -1;
                c.have = 0;
                if (now <= deadline) {
                    ++done;
                    if (latencies)
                        latencies->push_back(std::chrono::duration<double, std::milli>(now - c.sent).count());
                    if (!send(c))
                        return -1;
                } else {
                    --inFlight;
                }
            }
        }
        return done;
    }

private:
    struct Conn {
        int fd = -1;
        std::uint16_t tid = 0;
        Clock::time_point sent;
        std::size_t have = 0;
        std::uint8_t buf[512];
    };

    static bool send(Conn& c)
    {
        c.sent = Clock::now();
        return sendRequest(c.fd, ++c.tid, tvktest::ReadHoldingRegisters, 0, kRegisters);
    }

    static bool answerIsRight(const Conn& c)
    {
        const std::uint8_t* a = c.buf;
        if (((a[0] << 8) | a[1]) != c.tid || a[2] || a[3] || a[4]
            || a[5] != kAnswerBytes - tvktest::kMbapUncountedBytes || a[7] != tvktest::ReadHoldingRegisters
            || a[8] != 2 * kRegisters)
            return false;
        for (int r = 0; r < kRegisters; ++r)
            if (((a[9 + 2 * r] << 8) | a[10 + 2 * r]) != r)
                return false;
        return true;
    }

    int m_epoll;
    std::vector<Conn> m_conns;
};

// Opens `count` connections that only sit there, in batches of non-blocking
// connects; answers how many are established.
int openIdle(int port, int count, std::vector<int>& fds)
{
    constexpr int Batch = 256;
    const sockaddr_in addr = tvktest::loopbackAddress(port);
    int opened = 0;
    while (opened < count) {
        std::vector<pollfd> batch;
        for (int i = 0; i < Batch && opened + static_cast<int>(batch.size()) < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0)
                return opened;
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
                ::close(fd);
                return opened;
            }
            batch.push_back(pollfd{fd, POLLOUT, 0});
        }
        const Clock::time_point start = Clock::now();
        std::size_t pending = batch.size();
        while (pending > 0 && secondsSince(start) < 5.0) {
            if (::poll(batch.data(), batch.size(), 100) < 0)
                break;
            pending = 0;
            for (pollfd& p : batch)
                if (p.fd >= 0 && !(p.revents & (POLLOUT | POLLERR | POLLHUP)))
                    ++pending;
        }
        for (pollfd& p : batch) {
            int err = 0;
            socklen_t len = sizeof err;
            if ((p.revents & POLLOUT) && ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
                fds.push_back(p.fd);
                ++opened;
            } else {
                ::close(p.fd);
                return opened;
            }
        }
    }
    return opened;
}

// Time in ms until a request with an illegal count gets exception 3 on a
// fresh connection; negative when the answer is missing or wrong.
double exceptionDelay(int port, std::uint16_t count)
{
    const int fd = connectMaster(port);
    if (fd < 0)
        return -1.0;
    const Clock::time_point start = Clock::now();
    double ms = -1.0;
    if (sendRequest(fd, 0x4242, tvktest::ReadHoldingRegisters, 0, count)) {
        std::uint8_t answer[64];
        std::size_t have = 0;
        while (have < 9 && secondsSince(start) < 3.0) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) != 1)
                continue;
            const ssize_t got = ::recv(fd, answer + have, sizeof answer - have, 0);
            if (got <= 0)
                break;
            have += static_cast<std::size_t>(got);
        }
        if (have == 9 && answer[0] == 0x42 && answer[1] == 0x42 && answer[7] == 0x83 && answer[8] == 3)
            ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    ::close(fd);
    return ms;
}

// Back-to-back connects to `port`, each waited for as a blocking connect
// would be and closed at once, for `seconds` (at most kConnectCap of them):
// connects per second, or -1 when one fails. A connect still waiting for a
// retransmission when the window ends is not counted, and the window is not
// stretched for it.
double connectRate(int port, double seconds)
{
    const sockaddr_in addr = tvktest::loopbackAddress(port);
    const Clock::time_point start = Clock::now();
    int done = 0;
    while (done < kConnectCap) {
        const int leftMs = static_cast<int>((seconds - secondsSince(start)) * 1000);
        if (leftMs <= 0)
            break;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return -1;
        int err = 0;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            err = errno;
            pollfd p{fd, POLLOUT, 0};
            if (err == EINPROGRESS && ::poll(&p, 1, leftMs) == 0) {
                ::close(fd);   // waiting for a retransmission past the window
                break;
            }
            socklen_t len = sizeof err;
            if (err == EINPROGRESS && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
        ::close(fd);
        if (err != 0)
            return -1;
        ++done;
    }
    return done / secondsSince(start);
}

const char* verdict(bool met)
{
    return met ? "met" : "NOT met";
}

struct Budget {
    double window;   // seconds per measuring window
    int rounds;
};

int fail(const char* what)
{
    std::fprintf(stderr, "bench_tcpserver: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], kServeOption) == 0)
        return serve(argv[2]);
    bool longRun = false;
    if (const char* env = std::getenv("TVK_BENCH_LONG"))
        longRun = *env && std::strcmp(env, "0") != 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--long") == 0) {
            longRun = true;
        } else {
            std::fprintf(stderr, "usage: %s [--long]   (or TVK_BENCH_LONG=1)\n", argv[0]);
            return 2;
        }
    }
    const Budget budget = longRun ? Budget{2.0, 9} : Budget{0.3, 9};
    std::signal(SIGPIPE, SIG_IGN);

    // Both ends of 10,000 loopback connections live on this machine: raise
    // the descriptor limit for us and for the servers we start.
    rlimit lim{};
    int idleWanted = kIdleConnections;
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
        if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < static_cast<rlim_t>(kIdleConnections + 200))
            idleWanted = static_cast<int>(lim.rlim_cur) - 200;
    }

    ServerProcess floorServer("floor", "floor");
    ServerProcess libmodbusServer("libmodbus", "libmodbus");
    ServerProcess projectServer("project", "project");
    ServerProcess idleServer("project+idle", "project");
    ServerProcess defaultBacklogServer("project, default backlog", "project-default");
    for (const ServerProcess* s : {&floorServer, &libmodbusServer, &projectServer, &idleServer, &defaultBacklogServer})
        if (!s->ok())
            return fail((std::string("cannot start the server: ") + s->name()).c_str());

    std::printf("Modbus TCP server, %d masters on loopback, one request in flight each, read of %d holding "
                "registers\n",
                kMasters, kRegisters);
    std::printf("%d rounds of %.1f s per server (longer: --long or TVK_BENCH_LONG=1); servers in processes of "
                "their own, rounds alternate\n\n",
                budget.rounds, budget.window);

    // --- throughput against the two references
    LoadGenerator toFloor;
    LoadGenerator toLibmodbus;
    LoadGenerator toProject;
    if (!toFloor.open(floorServer.port(), kMasters) || !toLibmodbus.open(libmodbusServer.port(), kMasters)
        || !toProject.open(projectServer.port(), kMasters))
        return fail("cannot connect the masters");
    // Warm-up: connections accepted, caches and allocators settled.
    if (toFloor.run(0.1, nullptr) < 0 || toLibmodbus.run(0.1, nullptr) < 0 || toProject.run(0.1, nullptr) < 0)
        return fail("a warm-up request failed");

    std::printf("%6s  %12s  %12s  %12s  %10s  %10s\n", "round", "floor rps", "libmodbus rps", "project rps",
                "proj/libm", "proj/floor");
    std::vector<double> ratioLib;
    std::vector<double> ratioFloor;
    std::vector<double> projectRates;
    std::vector<double> latencies[3];   // floor, libmodbus, project
    for (int round = 0; round < budget.rounds; ++round) {
        // Rotate the order, so no server always runs first after a pause.
        double rate[3] = {0, 0, 0};
        LoadGenerator* sets[3] = {&toFloor, &toLibmodbus, &toProject};
        for (int k = 0; k < 3; ++k) {
            const int which = (round + k) % 3;
            const long done = sets[which]->run(budget.window, &latencies[which]);
            if (done < 0)
                return fail("a request failed during measurement");
            rate[which] = static_cast<double>(done) / budget.window;
        }
        ratioLib.push_back(rate[2] / rate[1]);
        ratioFloor.push_back(rate[2] / rate[0]);
        projectRates.push_back(rate[2]);
        std::printf("%6d  %12.0f  %12.0f  %12.0f  %10.3f  %10.3f\n", round + 1, rate[0], rate[1], rate[2],
                    ratioLib.back(), ratioFloor.back());
    }
    const double mLib = median(ratioLib);
    const double mFloor = median(ratioFloor);
    std::printf("%6s  %12s  %12s  %12.0f  %10.3f  %10.3f   (medians)\n", "median", "", "", median(projectRates),
                mLib, mFloor);
    std::printf("latency p99 (ms): floor %.3f, libmodbus %.3f, project %.3f\n", percentile(latencies[0], 0.99),
                percentile(latencies[1], 0.99), percentile(latencies[2], 0.99));
    std::printf("goal project/libmodbus >= 1.00: %s;  project/floor >= 0.85 (aim 0.90): %s\n\n", verdict(mLib >= 1.0),
                verdict(mFloor >= 0.85));
    toFloor.closeAll();
    toLibmodbus.closeAll();

    // --- 10,000 idle connections
    std::vector<int> idle;
    const Clock::time_point openStart = Clock::now();
    const int opened = openIdle(idleServer.port(), idleWanted, idle);
    std::printf("idle connections: %d open on one server (%.1f s to open); 8 masters there against 8 on a "
                "server without them\n",
                opened, secondsSince(openStart));
    LoadGenerator toIdle;
    if (opened < idleWanted)
        std::printf("  only %d of %d idle connections could be opened\n", opened, idleWanted);
    if (!toIdle.open(idleServer.port(), kMasters) || toIdle.run(0.2, nullptr) < 0)
        return fail("the masters of the server with idle connections failed");
    std::printf("%6s  %12s  %12s  %10s\n", "round", "without rps", "with rps", "with/without");
    std::vector<double> ratioIdle;
    for (int round = 0; round < budget.rounds; ++round) {
        double without = 0;
        double with = 0;
        for (int k = 0; k < 2; ++k) {
            const bool idleFirst = (round + k) % 2 == 0;
            const long done = (idleFirst ? toIdle : toProject).run(budget.window, nullptr);
            if (done < 0)
                return fail("a request failed during the idle measure");
            (idleFirst ? with : without) = static_cast<double>(done) / budget.window;
        }
        ratioIdle.push_back(with / without);
        std::printf("%6d  %12.0f  %12.0f  %10.3f\n", round + 1, without, with, ratioIdle.back());
    }
    const double mIdle = median(ratioIdle);
    std::printf("%6s  %12s  %12s  %10.3f   (median)\n", "median", "", "", mIdle);
    std::printf("goal with %d idle >= 0.90 of without: %s\n\n", kIdleConnections, verdict(mIdle >= 0.9));
    for (int fd : idle)
        ::close(fd);
    idle.clear();

    // --- masters stalled mid-frame
    std::vector<int> stalled;
    for (int i = 0; i < kStalledMasters; ++i) {
        const int fd = connectMaster(projectServer.port());
        if (fd < 0)
            return fail("cannot connect a stalled master");
        // Half stop inside the header, half inside the function's data.
        const std::size_t part = i % 2 ? 3 : kRequestBytes - 2;
        if (!sendRequest(fd, 7, tvktest::ReadHoldingRegisters, 0, kRegisters, part))
            return fail("cannot send a stalled master's partial request");
        stalled.push_back(fd);
    }
    // Rounds alternate with the second server, which now holds no other
    // connection: the reference latency is measured at the same time.
    std::vector<double> stalledLatencies;
    std::vector<double> referenceLatencies;
    for (int round = 0; round < budget.rounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            const bool stalledFirst = (round + k) % 2 == 0;
            if ((stalledFirst ? toProject : toIdle)
                    .run(budget.window, stalledFirst ? &stalledLatencies : &referenceLatencies)
                < 0)
                return fail("a request failed while masters were stalled");
        }
    }
    const double p99Clean = percentile(referenceLatencies, 0.99);
    const double p99Stalled = percentile(stalledLatencies, 0.99);
    std::printf("stalled masters: %d stop mid-frame on one server; latency of %d masters there against %d on a "
                "server without them (ms)\n",
                kStalledMasters, kMasters, kMasters);
    std::printf("  stalled: p50 %.3f  p99 %.3f  max %.3f;  none stalled: p50 %.3f  p99 %.3f  max %.3f\n",
                percentile(stalledLatencies, 0.5), p99Stalled, percentile(stalledLatencies, 1.0),
                percentile(referenceLatencies, 0.5), p99Clean, percentile(referenceLatencies, 1.0));
    std::printf("goal p99 < 5 ms: %s (ratio to none stalled %.2f)\n\n", verdict(p99Stalled < 5.0),
                p99Clean > 0 ? p99Stalled / p99Clean : 0.0);
    for (int fd : stalled)
        ::close(fd);
    toProject.closeAll();
    toIdle.closeAll();

    // --- illegal count
    std::printf("illegal count: time until exception 3 arrives (ms)\n");
    double worst = 0;
    bool answered = true;
    for (std::uint16_t count : {std::uint16_t(0), std::uint16_t(126), std::uint16_t(0xffff)}) {
        const double ms = exceptionDelay(projectServer.port(), count);
        answered = answered && ms >= 0;
        worst = std::max(worst, ms);
        std::printf("  project, count %5u: %8.3f\n", count, ms);
    }
    // libmodbus's own loop sleeps its response timeout before this answer.
    const double libDelay = exceptionDelay(libmodbusServer.port(), 0);
    std::printf("  libmodbus loop, count 0: %8.3f   (project/libmodbus %.4f)\n", libDelay,
                libDelay > 0 ? worst / libDelay : 0.0);
    std::printf("goal < 50 ms: %s\n\n", verdict(answered && worst < 50.0));
    if (!answered)
        return fail("the project's server did not answer an illegal count with exception 3");

    // --- connection rate
    const int maxBacklog = systemMaxBacklog();
    std::printf("connection rate: back-to-back connects per second, each waited for and closed at once (%.1f s "
                "or %d connects per window)\n",
                budget.window, kConnectCap);
    std::printf("%6s  %12s  %14s  %14s  %10s  %10s\n", "round", "floor", "backlog 10", "backlog max",
                "10/floor", "max/floor");
    std::printf("%6s  %12s  %14s  %14d\n", "", "", "(default)", maxBacklog);
    const ServerProcess* connected[3] = {&floorServer, &defaultBacklogServer, &projectServer};
    std::vector<double> connectRates[3];
    const int connectRounds = longRun ? budget.rounds : 3;
    for (int round = 0; round < connectRounds; ++round) {
        double rate[3] = {0, 0, 0};
        for (int k = 0; k < 3; ++k) {
            const int which = (round + k) % 3;
            rate[which] = connectRate(connected[which]->port(), budget.window);
            if (rate[which] < 0)
                return fail("a connect failed during the connection rate");
            connectRates[which].push_back(rate[which]);
        }
        std::printf("%6d  %12.0f  %14.0f  %14.0f  %10.3f  %10.3f\n", round + 1, rate[0], rate[1], rate[2],
                    rate[1] / rate[0], rate[2] / rate[0]);
    }
    const double floorRate = median(connectRates[0]);
    std::printf("%6s  %12.0f  %14.0f  %14.0f  %10.3f  %10.3f   (medians)\n", "median", floorRate,
                median(connectRates[1]), median(connectRates[2]), median(connectRates[1]) / floorRate,
                median(connectRates[2]) / floorRate);
    return 0;
}
