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
//     (libmodbus's own loop is measured too, for comparison).
//
// Usage: bench_tcpserver [--long]   (or TVK_BENCH_LONG=1): longer windows
// and more rounds. Exit status: non-zero only when a request or the setup
// fails, never on a ratio.

#include "tvkeventloop.h"
#include "tvkmodbusdataunit.h"
#include "tvkmodbustcpserver.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

namespace {

using Clock = std::chrono::steady_clock;

constexpr int Registers = 10;
constexpr int Masters = 8;
constexpr int IdleConnections = 10000;
constexpr int StalledMasters = 100;
constexpr int RequestLength = 12;                        // MBAP 7 + function, address, count
constexpr int AnswerLength = 7 + 2 + 2 * Registers;      // MBAP 7 + function, byte count, values
constexpr int StallLimitMs = 2000;                       // no answer for this long: the server hangs

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

void buildRequest(std::uint8_t* out, std::uint16_t tid, std::uint8_t function, std::uint16_t address,
                  std::uint16_t count)
{
    const std::uint8_t frame[RequestLength] = {
        std::uint8_t(tid >> 8), std::uint8_t(tid), 0, 0, 0, 6, 1, function,
        std::uint8_t(address >> 8), std::uint8_t(address), std::uint8_t(count >> 8), std::uint8_t(count)};
    std::memcpy(out, frame, RequestLength);
}

// A loopback socket listening on an ephemeral port; answers the socket or -1.
int listenLoopback(int backlog, int* port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

int connectLoopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// ---------------------------------------------------------------------------
// Servers, each in a child process. A child writes its port (or -1) to the
// ready pipe and serves until the stop pipe reaches end of file.

using ServeFn = std::function<int(int readyFd, int stopFd)>;

void announce(int readyFd, int port)
{
    (void)!::write(readyFd, &port, sizeof port);
}

class ServerProcess {
public:
    ServerProcess(const char* name, const ServeFn& serve) : m_name(name)
    {
        int ready[2];
        int stop[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return;
        if (::pipe2(stop, O_CLOEXEC) != 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(stop[1]);
            std::_Exit(serve(ready[1], stop[0]));
        }
        ::close(ready[1]);
        ::close(stop[0]);
        m_stop = stop[1];
        if (m_pid > 0) {
            pollfd p{ready[0], POLLIN, 0};
            if (::poll(&p, 1, 10000) == 1 && ::read(ready[0], &m_port, sizeof m_port) != sizeof m_port)
                m_port = -1;
        }
        ::close(ready[0]);
    }
    ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    const char* name() const { return m_name; }
    int port() const { return m_port; }
    bool ok() const { return m_pid > 0 && m_port > 0; }

    void stop()
    {
        if (m_stop >= 0) {
            ::close(m_stop);
            m_stop = -1;
        }
        if (m_pid > 0) {
            // A server stuck in a blocking call gets a few seconds, then is killed.
            for (int i = 0; i < 500; ++i) {
                if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                    m_pid = -1;
                    return;
                }
                ::usleep(10000);
            }
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    const char* m_name;
    pid_t m_pid = -1;
    int m_stop = -1;
    int m_port = -1;
};

int serveProject(int readyFd, int stopFd)
{
    CtvkEventLoop loop;
    CtvkModbusTcpServer server;
    // The idle-connection measure opens thousands of connections at once.
    server.setListenSocketNum(4096);
    server.setStartAddressAndNum(0, 0, 0, 0, 0, Registers, 0, 0);
    for (int i = 0; i < Registers; ++i)
        server.setData(CtvkModbusDataUnit::HoldingRegisters, i, static_cast<unsigned short>(i));
    // The server refuses port 0: take a free ephemeral port and hand it over.
    int port = 0;
    const int probe = listenLoopback(1, &port);
    if (probe < 0) {
        announce(readyFd, -1);
        return 1;
    }
    ::close(probe);
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

int serveLibmodbus(int readyFd, int stopFd)
{
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, Registers, 0);
    const int listenFd = ctx && map ? modbus_tcp_listen(ctx, 4096) : -1;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (listenFd < 0 || ep < 0 || ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        announce(readyFd, -1);
        return 1;
    }
    for (int i = 0; i < Registers; ++i)
        map->tab_registers[i] = static_cast<std::uint16_t>(i);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listenFd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, listenFd, &ev);
    ev.data.fd = stopFd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, stopFd, &ev);
    announce(readyFd, ntohs(addr.sin_port));

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
                if (client >= 0) {
                    ev.data.fd = client;
                    ::epoll_ctl(ep, EPOLL_CTL_ADD, client, &ev);
                }
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
    int port = 0;
    const int listenFd = listenLoopback(4096, &port);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (listenFd < 0 || ep < 0) {
        announce(readyFd, -1);
        return 1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listenFd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, listenFd, &ev);
    ev.data.fd = stopFd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, stopFd, &ev);
    announce(readyFd, port);

    std::uint16_t table[Registers];
    for (int i = 0; i < Registers; ++i)
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
                    ev.data.fd = client;
                    ::epoll_ctl(ep, EPOLL_CTL_ADD, client, &ev);
                }
            } else {
                const ssize_t got = ::recv(fd, in, sizeof in, 0);
                if (got <= 0) {
                    ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                    ::close(fd);
                    continue;
                }
                std::size_t produced = 0;
                for (ssize_t at = 0; at + RequestLength <= got; at += RequestLength) {
                    const std::uint8_t* q = in + at;
                    const int address = (q[8] << 8) | q[9];
                    const int count = (q[10] << 8) | q[11];
                    std::uint8_t* a = out + produced;
                    std::memcpy(a, q, 4);
                    a[6] = q[6];
                    a[7] = q[7];
                    if (q[7] != 3 || count < 1 || address + count > Registers) {
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
            const int fd = connectLoopback(port);
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
                if (now - lastProgress > std::chrono::milliseconds(StallLimitMs))
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
                if (c.have < AnswerLength)
                    continue;
                if (c.have != AnswerLength || !answerIsRight(c))
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
        std::uint8_t request[RequestLength];
        buildRequest(request, ++c.tid, 3, 0, Registers);
        c.sent = Clock::now();
        return ::send(c.fd, request, RequestLength, MSG_NOSIGNAL) == RequestLength;
    }

    static bool answerIsRight(const Conn& c)
    {
        const std::uint8_t* a = c.buf;
        if (((a[0] << 8) | a[1]) != c.tid || a[2] || a[3] || a[4] || a[5] != AnswerLength - 6 || a[7] != 3
            || a[8] != 2 * Registers)
            return false;
        for (int r = 0; r < Registers; ++r)
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
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    int opened = 0;
    while (opened < count) {
        std::vector<pollfd> batch;
        for (int i = 0; i < Batch && opened + static_cast<int>(batch.size()) < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0)
                return opened;
            if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
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
    const int fd = connectLoopback(port);
    if (fd < 0)
        return -1.0;
    std::uint8_t request[RequestLength];
    buildRequest(request, 0x4242, 3, 0, count);
    const Clock::time_point start = Clock::now();
    double ms = -1.0;
    if (::send(fd, request, RequestLength, MSG_NOSIGNAL) == RequestLength) {
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
    const Budget budget = longRun ? Budget{2.0, 9} : Budget{0.4, 5};
    std::signal(SIGPIPE, SIG_IGN);

    // Both ends of 10,000 loopback connections live on this machine: raise
    // the descriptor limit for us and for the servers we fork.
    rlimit lim{};
    int idleWanted = IdleConnections;
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
        if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < static_cast<rlim_t>(IdleConnections + 200))
            idleWanted = static_cast<int>(lim.rlim_cur) - 200;
    }

    // Fork every server before this process holds anything but pipes.
    ServerProcess floorServer("floor", serveFloor);
    ServerProcess libmodbusServer("libmodbus", serveLibmodbus);
    ServerProcess projectServer("project", serveProject);
    ServerProcess idleServer("project+idle", serveProject);
    for (const ServerProcess* s : {&floorServer, &libmodbusServer, &projectServer, &idleServer})
        if (!s->ok())
            return fail((std::string("cannot start the server: ") + s->name()).c_str());

    std::printf("Modbus TCP server, %d masters on loopback, one request in flight each, read of %d holding "
                "registers\n",
                Masters, Registers);
    std::printf("%d rounds of %.1f s per server (longer: --long or TVK_BENCH_LONG=1); servers in processes of "
                "their own, rounds alternate\n\n",
                budget.rounds, budget.window);

    // --- throughput against the two references
    LoadGenerator toFloor;
    LoadGenerator toLibmodbus;
    LoadGenerator toProject;
    if (!toFloor.open(floorServer.port(), Masters) || !toLibmodbus.open(libmodbusServer.port(), Masters)
        || !toProject.open(projectServer.port(), Masters))
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
    const std::vector<double>& cleanLatencies = latencies[2];
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
    if (!toIdle.open(idleServer.port(), Masters) || toIdle.run(0.2, nullptr) < 0)
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
    std::printf("goal with %d idle >= 0.90 of without: %s\n\n", IdleConnections, verdict(mIdle >= 0.9));
    toIdle.closeAll();
    for (int fd : idle)
        ::close(fd);
    idle.clear();

    // --- masters stalled mid-frame
    std::vector<int> stalled;
    for (int i = 0; i < StalledMasters; ++i) {
        const int fd = connectLoopback(projectServer.port());
        if (fd < 0)
            return fail("cannot connect a stalled master");
        std::uint8_t request[RequestLength];
        buildRequest(request, 7, 3, 0, Registers);
        // Half stop inside the header, half inside the function's data.
        const std::size_t part = i % 2 ? 3 : RequestLength - 2;
        if (::send(fd, request, part, MSG_NOSIGNAL) != static_cast<ssize_t>(part))
            return fail("cannot send a stalled master's partial request");
        stalled.push_back(fd);
    }
    std::vector<double> stalledLatencies;
    for (int round = 0; round < budget.rounds; ++round)
        if (toProject.run(budget.window, &stalledLatencies) < 0)
            return fail("a request failed while masters were stalled");
    const double p99Clean = percentile(cleanLatencies, 0.99);
    const double p99Stalled = percentile(stalledLatencies, 0.99);
    std::printf("stalled masters: %d stop mid-frame; latency of the %d others (ms)\n", StalledMasters, Masters);
    std::printf("  p50 %.3f  p99 %.3f  max %.3f   (none stalled: p50 %.3f  p99 %.3f)\n",
                percentile(stalledLatencies, 0.5), p99Stalled, percentile(stalledLatencies, 1.0),
                percentile(cleanLatencies, 0.5), p99Clean);
    std::printf("goal p99 < 5 ms: %s (ratio to none stalled %.2f; the floor's own p99 above shows what the machine "
                "allows)\n\n",
                verdict(p99Stalled < 5.0), p99Clean > 0 ? p99Stalled / p99Clean : 0.0);
    for (int fd : stalled)
        ::close(fd);
    toProject.closeAll();

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
    std::printf("goal < 50 ms: %s\n", verdict(answered && worst < 50.0));
    if (!answered)
        return fail("the project's server did not answer an illegal count with exception 3");
    return 0;
}
