// SPDX-License-Identifier: MIT
// Modbus/TCP Security against plain Modbus/TCP, side by side in one run: the
// project's TCP server in a process of its own serves both (one port plain,
// one over TLS, the same tables), and the project's asynchronous client
// reads from it:
//  - requests per second with 1 connection and with 8 (1 request in flight
//    on each), plain and over TLS, with the ratio TLS / plain;
//  - connections per second: connect, first answer, close; plain, and over
//    TLS (a full handshake with certificates on both ends each time), each
//    against a blocking libmodbus loop doing the same (modbus_connect, one
//    read, modbus_close);
//  - the server's memory per connection that says nothing on the TLS port,
//    and per handshake that stalls after its ClientHello (their number
//    held at the server's limit).
// Batches alternate (plain, TLS, TLS, plain ...) so drift of the machine
// falls on both alike; medians are printed. The certificates come from
// scripts/make-test-certs.sh.
//
// --long runs more and longer batches. Exit status: non-zero only when a
// request or the setup fails.

#include "benchstats.h"
#include "loopback.h"

#include "tvkeventloop.h"
#include "tvkmodbusreply.h"
#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpserver.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <modbus.h>
#include <openssl/ssl.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace Quorvan;
using bench::median;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRegisters = 10;
constexpr int kManyConnections = 8;
constexpr int kDefaultHandshakes = 64;   // the server's limit unless set

struct Budget {
    int rounds = 3;
    int batchMs = 400;
};

std::string certs;

CtvkModbusTlsConfiguration as(const std::string& who, bool server)
{
    CtvkModbusTlsConfiguration c;
    c.certificateFile = CtvkString::fromStdString(certs + "/" + who + ".pem");
    c.privateKeyFile = CtvkString::fromStdString(certs + "/" + who + ".key");
    c.caCertificates = CtvkString::fromStdString(certs + "/ca.pem");
    if (server)
        c.roleRulesFile = CtvkString::fromStdString(certs + "/roles.rules");
    return c;
}

// The servers, plain and secure, in a child process until it is killed.
// Asking the server process how much of its heap is in use: a byte on the
// first pipe, the answer on the second.
int askHeap[2] = {-1, -1};
int toldHeap[2] = {-1, -1};

pid_t serveInChild(int plainPort, int tlsPort)
{
    if (::pipe(askHeap) != 0 || ::pipe(toldHeap) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    CtvkEventLoop loop;
    CtvkSocketNotifier asked(askHeap[0], CtvkSocketNotifier::Read);
    CtvkObject::connect<int>(&asked, "activated", nullptr, std::function<void(int)>([](int fd) {
        char c = 0;
        if (::read(fd, &c, 1) != 1)
            _exit(0);
        const long long inUse = static_cast<long long>(::mallinfo2().uordblks);
        if (::write(toldHeap[1], &inUse, sizeof inUse) != sizeof inUse)
            _exit(1);
    }));
    CtvkModbusTcpServer plain;
    CtvkModbusTcpServer secure;
    for (CtvkModbusTcpServer* s : {&plain, &secure}) {
        s->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(s == &plain ? plainPort : tlsPort));
        s->setListenSocketNum(SOMAXCONN);
        s->setStartAddressAndNum(0, 100, 0, 100, 0, 100, 0, 100);
    }
    secure.setTlsConfiguration(as("server", true));
    if (!plain.open() || !secure.open())
        _exit(1);
    secure.setTimeout(5, 0);
    plain.processRequest();
    secure.processRequest();
    loop.exec();
    _exit(0);
}

struct Setup {
    int port = 0;
    bool tls = false;
};

pid_t serverPid = -1;

// CPU seconds this process and the server's have used so far: what a
// request costs, whatever else the machine is doing.
double cpuSeconds()
{
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);
    double total = self.ru_utime.tv_sec + self.ru_utime.tv_usec / 1e6 + self.ru_stime.tv_sec
        + self.ru_stime.tv_usec / 1e6;
    std::FILE* stat = std::fopen(("/proc/" + std::to_string(serverPid) + "/stat").c_str(), "r");
    if (stat) {
        unsigned long user = 0;
        unsigned long system = 0;
        if (std::fscanf(stat, "%*d %*s %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) == 2)
            total += static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
        std::fclose(stat);
    }
    return total;
}

std::unique_ptr<CtvkModbusTcpClient> connected(CtvkEventLoop& loop, const Setup& s, bool* failed)
{
    auto client = std::make_unique<CtvkModbusTcpClient>();
    client->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    client->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(s.port));
    if (s.tls)
        client->setTlsConfiguration(as("operator", false));
    if (!client->connectDevice())
        *failed = true;
    client->setTimeout(5, 0);
    if (!loop.processEventsUntil([&] { return client->state() != CtvkModbusClient::ConnectingState; }, 10000)
        || client->state() != CtvkModbusClient::ConnectedState)
        *failed = true;
    return client;
}

// Requests per second over `connections` connections, one in flight each;
// the CPU microseconds each took (client and server) go to *cpuUs.
double requestRate(CtvkEventLoop& loop, const Setup& s, int connections, int ms, bool* failed, double* cpuUs)
{
    std::vector<std::unique_ptr<CtvkModbusTcpClient>> clients;
    for (int i = 0; i < connections && !*failed; ++i)
        clients.push_back(connected(loop, s, failed));
    if (*failed)
        return 0;
    long done = 0;
    int open = 0;
    bool stop = false;
    std::function<void(CtvkModbusTcpClient*)> send = [&](CtvkModbusTcpClient* c) {
        ++open;
        CtvkModbusReply* reply =
            c->sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 0, kRegisters), 1);
        CtvkObject::connect(reply, "finished()", nullptr, std::function<void()>([&, c, reply] {
            --open;
            if (reply->error() != CtvkModbusDevice::NoError)
                *failed = true;
            else
                ++done;
            reply->deleteLater();
            if (!stop && !*failed)
                send(c);
        }));
    };
    for (auto& c : clients)
        send(c.get());
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(ms);
    while (Clock::now() < end && !*failed)
        loop.processEvents(10);
    stop = true;
    const double rate = done / std::chrono::duration<double>(Clock::now() - start).count();
    if (done > 0)
        *cpuUs = (cpuSeconds() - cpuBefore) * 1e6 / static_cast<double>(done);
    loop.processEventsUntil([&] { return open == 0; }, 5000);
    clients.clear();
    loop.processEvents(0);
    return rate;
}

// Connections per second: connect (and shake hands), one answer, close.
double connectionRate(CtvkEventLoop& loop, const Setup& s, int ms, bool* failed)
{
    long done = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(ms);
    while (Clock::now() < end && !*failed) {
        std::unique_ptr<CtvkModbusTcpClient> c = connected(loop, s, failed);
        std::unique_ptr<CtvkModbusReply> reply(
            c->sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 0, 1), 1));
        if (!loop.processEventsUntil([&] { return reply->isFinished(); }, 5000)
            || reply->error() != CtvkModbusDevice::NoError)
            *failed = true;
        ++done;
    }
    loop.processEvents(0);
    return done / std::chrono::duration<double>(Clock::now() - start).count();
}

// The same with libmodbus's blocking calls: the reference.
double libmodbusConnectionRate(int port, int ms, bool* failed)
{
    long done = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(ms);
    while (Clock::now() < end && !*failed) {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
        std::uint16_t value = 0;
        if (!ctx || modbus_connect(ctx) != 0 || modbus_read_registers(ctx, 0, 1, &value) != 1)
            *failed = true;
        if (ctx) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
        ++done;
    }
    return done / std::chrono::duration<double>(Clock::now() - start).count();
}

// The server's heap in use, in KiB, and its open descriptors.
double serverKib()
{
    long long inUse = 0;
    if (::write(askHeap[1], "?", 1) != 1 || ::read(toldHeap[0], &inUse, sizeof inUse) != sizeof inUse)
        return -1;
    return static_cast<double>(inUse) / 1024.0;
}

int serverDescriptors()
{
    int n = 0;
    if (DIR* folder = ::opendir(("/proc/" + std::to_string(serverPid) + "/fd").c_str())) {
        while (::readdir(folder))
            ++n;
        ::closedir(folder);
    }
    return n;
}

// The server's descriptors once they have not changed for 200 ms (and, if
// `other` is not -1, differ from it): the server has taken in what came.
int settled(int other)
{
    int held = serverDescriptors();
    for (int quiet = 0, i = 0; quiet < 20 && i < 1000; ++i) {
        ::usleep(10000);
        const int now = serverDescriptors();
        quiet = now == held && now != other ? quiet + 1 : 0;
        held = now;
    }
    return held;
}

// What the server's memory grows by, per connection, with `count` open on
// the TLS port that say nothing, or (`hello`) that stall after a ClientHello.
double kibPerConnection(int port, int count, bool hello, bool* failed)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    const int descriptorsBefore = settled(-1);   // the last row's connections gone
    const double before = serverKib();
    std::vector<int> open;
    std::vector<SSL*> sessions;
    for (int i = 0; i < count; ++i) {
        const int fd = tvktest::connectToLoopback(port);
        if (fd < 0) {
            *failed = true;
            break;
        }
        open.push_back(fd);
        if (hello) {
            SSL* s = SSL_new(ctx);
            SSL_set_fd(s, fd);
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
            SSL_connect(s);   // the ClientHello goes; the answer is never read
            sessions.push_back(s);
        }
    }
    // Taken in once the server's descriptors stop changing (silent ones all
    // held; past the handshake limit, the ones given up closed).
    settled(descriptorsBefore);
    const double after = serverKib();
    for (SSL* s : sessions)
        SSL_free(s);
    for (const int fd : open)
        ::close(fd);
    SSL_CTX_free(ctx);
    return open.empty() ? 0 : (after - before) / static_cast<double>(open.size());
}

} // namespace

int main(int argc, char** argv)
{
    Budget budget;
    if (argc > 1 && std::strcmp(argv[1], "--long") == 0) {
        budget.rounds = 9;
        budget.batchMs = 1500;
    }
    // No SIGPIPE is ignored: no call of the libraries raises it. Room for
    // the connections of the memory rows, in both processes.
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    char folder[] = "/tmp/tvk-bench-tls-XXXXXX";
    if (!::mkdtemp(folder))
        return 1;
    certs = folder;
    const std::string make = std::string("bash " TVK_SOURCE_DIR "/scripts/make-test-certs.sh ") + certs + " >/dev/null";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "bench_tls: cannot make the certificates\n");
        return 1;
    }
    const Setup plain{tvktest::freeLoopbackPort(), false};
    const Setup secure{tvktest::freeLoopbackPort(), true};
    const pid_t server = serveInChild(plain.port, secure.port);
    serverPid = server;
    CtvkEventLoop loop;
    bool failed = false;
    // The server is up once a plain connection gets through.
    connected(loop, plain, &failed);
    for (int i = 0; failed && i < 50; ++i) {
        failed = false;
        loop.processEvents(100);
        connected(loop, plain, &failed);
    }

    std::vector<double> one[2], many[2], connections[2], cost[2], reference;
    for (int round = 0; round < budget.rounds && !failed; ++round) {
        for (int k = 0; k < 2; ++k) {
            const Setup& s = (round + k) % 2 == 0 ? plain : secure;
            const int which = s.tls ? 1 : 0;
            double us = 0;
            one[which].push_back(requestRate(loop, s, 1, budget.batchMs, &failed, &us));
            many[which].push_back(requestRate(loop, s, kManyConnections, budget.batchMs, &failed, &us));
            cost[which].push_back(us);
            connections[which].push_back(connectionRate(loop, s, budget.batchMs, &failed));
        }
        reference.push_back(libmodbusConnectionRate(plain.port, budget.batchMs, &failed));
    }
    constexpr int kSilentConnections = 2000;
    const double silentKib = kibPerConnection(secure.port, kSilentConnections, false, &failed);
    const double stalledKib = kibPerConnection(secure.port, kDefaultHandshakes, true, &failed);
    const double floodKib = kibPerConnection(secure.port, kSilentConnections, true, &failed) * kSilentConnections;
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    std::system(("rm -rf " + certs).c_str());
    if (failed) {
        std::fprintf(stderr, "bench_tls: a request or a connection failed\n");
        return 1;
    }
    std::printf("the project's server and asynchronous client, %d registers per read, median of %d batches of %d ms\n",
                kRegisters, budget.rounds, budget.batchMs);
    std::printf("  %-42s %12s %12s %9s\n", "", "plain TCP", "TLS", "TLS/plain");
    const auto row = [](const char* what, const std::vector<double>* v, const char* target) {
        const double p = median(v[0]);
        const double t = median(v[1]);
        std::printf("  %-42s %12.1f %12.1f %8.2fx%s\n", what, p, t, p > 0 ? t / p : 0.0, target);
    };
    row("requests/s, 1 connection", one, "");
    row("requests/s, 8 connections", many, "  (target >= 0.9x)");
    row("connections/s (handshake and one answer)", connections, "");
    row("CPU us per request, 8 connections", cost, "  (client and server)");
    const double blocking = median(reference);
    std::printf("connect, one read, close: the asynchronous client against a blocking libmodbus loop\n");
    std::printf("  %-42s %12.1f\n", "libmodbus loop, plain TCP, connections/s", blocking);
    std::printf("  %-42s %12.1f %8.2fx  (target >= 0.8x)\n", "ours, plain TCP", median(connections[0]),
                blocking > 0 ? median(connections[0]) / blocking : 0.0);
    std::printf("  %-42s %12.1f %8.2fx\n", "ours, TLS", median(connections[1]),
                blocking > 0 ? median(connections[1]) / blocking : 0.0);
    std::printf("the server's heap in use, on the TLS port\n");
    std::printf("  %-42s %9.1f KiB  (target <= 4 KiB)\n", "per connection that says nothing (2000)", silentKib);
    std::printf("  %-42s %9.1f KiB\n", "per handshake stalled after its hello (64)", stalledKib);
    std::printf("  %-42s %9.1f KiB  (at most %d handshakes under way)\n", "2000 stalled after their hello, in all",
                floodKib, kDefaultHandshakes);
    return 0;
}
