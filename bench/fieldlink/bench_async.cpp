// SPDX-License-Identifier: MIT
// The asynchronous requests against the blocking libmodbus loop, on one TCP
// connection each to one libmodbus reference server (a process of its own,
// modbus_receive and modbus_reply, one connection at a time):
//  - modbus_read_registers back to back (the reference);
//  - sendReadRequest with 1 request in flight;
//  - sendReadRequest with 16 in flight.
// Batches alternate (A B C C B A ...) so drift of the machine falls on all
// alike; the median of each kind's batches is printed with its ratio to the
// reference.
//
// Then the loop's worst stall while 10 silent devices (they accept the
// connection and never answer) are polled every 100 ms with the
// asynchronous requests, beside the stall of one blocking poll of one such
// device (3 attempts of 0.5 s).
//
// --long runs more and longer batches. Exit status: non-zero only when a
// request or the setup fails.

#include "benchstats.h"
#include "childprocess.h"
#include "loopback.h"

#include "tvkeventloop.h"
#include "tvkmodbusreply.h"
#include "tvkmodbustcpclient.h"
#include "tvksignal.h"

#include <modbus.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace Quorvan;
using bench::median;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRegisters = 10;
constexpr int kSilentDevices = 10;
constexpr int kPollIntervalMs = 100;
constexpr int kTickMs = 10;

struct Budget {
    int rounds = 3;
    int batchMs = 400;
    int stallMs = 3000;
};

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The libmodbus reference server in a process of its own (this program
// again, with --serve): one connection after another, each served until it
// closes. It prints its port on a line once it listens.
constexpr const char* kServeOption = "--serve";
constexpr const char* kPortPrefix = "port ";
constexpr int kServerStartMs = 10000;

int serveReference()
{
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
    const int listening = modbus_tcp_listen(ctx, 4);
    const int port = tvktest::localPort(listening);
    std::printf("%s%d\n", kPortPrefix, port > 0 ? port : -1);
    std::fflush(stdout);
    if (port == 0)
        return 1;
    modbus_mapping_t* map = modbus_mapping_new(0, 0, kRegisters, 0);
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    int socket = listening;
    for (;;) {
        if (modbus_tcp_accept(ctx, &socket) < 0)
            return 1;
        int rc;
        while ((rc = modbus_receive(ctx, query)) != -1)
            if (rc > 0)
                modbus_reply(ctx, query, rc, map);
        close(modbus_get_socket(ctx));
    }
}

class ReferenceServer {
public:
    ReferenceServer() : m_child({"/proc/self/exe", kServeOption}, tvktest::ChildProcess::Errors::Inherited)
    {
        const std::string line = m_child.waitForLine(kPortPrefix, kServerStartMs);
        if (!line.empty())
            m_port = std::atoi(line.c_str() + std::strlen(kPortPrefix));
    }
    bool ok() const { return m_child.started() && m_port > 0; }
    int port() const { return m_port; }

private:
    tvktest::ChildProcess m_child;   // killed when the object goes
    int m_port = 0;
};

// Requests per second of modbus_read_registers back to back for `ms`.
double blockingRate(int port, int ms, bool* failed)
{
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (modbus_connect(ctx) != 0) {
        *failed = true;
        modbus_free(ctx);
        return 0;
    }
    uint16_t values[kRegisters];
    long done = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (modbus_read_registers(ctx, 0, kRegisters, values) != kRegisters) {
            *failed = true;
            break;
        }
        ++done;
    }
    const double rate = done / seconds(Clock::now() - start);
    modbus_close(ctx);
    modbus_free(ctx);
    return rate;
}

// Requests per second of sendReadRequest with `inFlight` requests kept on
// the wire for `ms`.
double asyncRate(CtvkEventLoop& loop, int port, int inFlight, int ms, bool* failed)
{
    CtvkModbusTcpClient client;
    client.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(port));
    client.setMaximumRequestsInFlight(inFlight);
    if (!client.connectDevice()
        || !loop.processEventsUntil([&] { return client.state() == CtvkModbusClient::ConnectedState; }, 2000)) {
        *failed = true;
        return 0;
    }
    long done = 0;
    bool stop = false;
    int open = 0;
    std::function<void()> send = [&] {
        ++open;
        CtvkModbusReply* reply =
            client.sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 0, kRegisters), 1);
        CtvkObject::connect(reply, "finished()", nullptr, std::function<void()>([&, reply] {
            --open;
            if (reply->error() != CtvkModbusDevice::NoError)
                *failed = true;
            else
                ++done;
            delete reply;
            if (!stop && !*failed)
                send();
        }));
    };
    for (int i = 0; i < inFlight; ++i)
        send();
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(ms);
    while (Clock::now() < end && !*failed)
        loop.processEvents(10);
    stop = true;
    const double rate = done / seconds(Clock::now() - start);
    loop.processEventsUntil([&] { return open == 0; }, 2000);
    client.disconnectDevice();
    loop.processEvents(0);
    return rate;
}

// A device that accepts connections (the kernel does, from the backlog)
// and never answers.
struct SilentDevice {
    int fd = tvktest::listenOnLoopback(0, 16);
    int port = tvktest::localPort(fd);
    ~SilentDevice()
    {
        if (fd >= 0)
            close(fd);
    }
};

// A timer every kTickMs that notes how late it fires.
class Ticker : public CtvkObject {
public:
    Ticker() { m_timer = startTimer(kTickMs); m_last = Clock::now(); }
    ~Ticker() override { killTimer(m_timer); }
    double worstLateMs = 0;

protected:
    void timerEvent(CtvkTimerEvent*) override
    {
        const auto now = Clock::now();
        const double late = std::chrono::duration<double, std::milli>(now - m_last).count() - kTickMs;
        worstLateMs = std::max(worstLateMs, late);
        m_last = now;
    }

private:
    int m_timer = 0;
    Clock::time_point m_last;
};

// The loop's worst stall while the silent devices are polled for `ms`.
double asyncStall(CtvkEventLoop& loop, int ms, long* polls, long* timeouts)
{
    std::vector<std::unique_ptr<SilentDevice>> devices;
    std::vector<std::unique_ptr<CtvkModbusTcpClient>> clients;
    for (int i = 0; i < kSilentDevices; ++i) {
        devices.push_back(std::make_unique<SilentDevice>());
        clients.push_back(std::make_unique<CtvkModbusTcpClient>());
        clients.back()->setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(devices.back()->port));
        clients.back()->connectDevice();
    }
    std::vector<bool> busy(kSilentDevices, false);
    std::vector<CtvkModbusReply*> open(kSilentDevices, nullptr);
    Ticker ticker;
    auto nextPoll = Clock::now();
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (Clock::now() >= nextPoll) {
            nextPoll += std::chrono::milliseconds(kPollIntervalMs);
            for (int i = 0; i < kSilentDevices; ++i) {
                if (busy[static_cast<std::size_t>(i)])
                    continue;   // its last poll is still waiting out its attempts
                busy[static_cast<std::size_t>(i)] = true;
                ++*polls;
                CtvkModbusReply* reply = clients[static_cast<std::size_t>(i)]->sendReadRequest(
                    CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 0, kRegisters), 1);
                open[static_cast<std::size_t>(i)] = reply;
                CtvkObject::connect(reply, "finished()", nullptr, std::function<void()>([&, i, reply] {
                    busy[static_cast<std::size_t>(i)] = false;
                    open[static_cast<std::size_t>(i)] = nullptr;
                    if (reply->error() != CtvkModbusDevice::NoError)
                        ++*timeouts;
                    reply->deleteLater();
                }));
            }
        }
        loop.processEvents(kTickMs);
    }
    const double worst = ticker.worstLateMs;
    for (CtvkModbusReply* r : open)
        delete r;
    clients.clear();
    loop.processEvents(0);
    return worst;
}

// How long one blocking poll of a silent device holds its caller.
double blockingStall()
{
    SilentDevice device;
    CtvkModbusTcpClient client;
    client.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(device.port));
    if (!client.open())
        return -1;
    uint16_t values[kRegisters];
    const auto start = Clock::now();
    client.sendReadHoldingRegisters(0, kRegisters, values);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], kServeOption) == 0)
        return serveReference();
    Budget budget;
    if (argc > 1 && std::strcmp(argv[1], "--long") == 0) {
        budget.rounds = 9;
        budget.batchMs = 1500;
        budget.stallMs = 10000;
    }
    std::signal(SIGPIPE, SIG_IGN);
    ReferenceServer server;
    if (!server.ok()) {
        std::fprintf(stderr, "bench_async: cannot start the reference server\n");
        return 1;
    }
    CtvkEventLoop loop;
    bool failed = false;
    std::vector<double> blocking, one, sixteen;
    for (int round = 0; round < budget.rounds && !failed; ++round) {
        // A B C, then C B A: each kind sees the machine early and late alike.
        if (round % 2 == 0) {
            blocking.push_back(blockingRate(server.port(), budget.batchMs, &failed));
            one.push_back(asyncRate(loop, server.port(), 1, budget.batchMs, &failed));
            sixteen.push_back(asyncRate(loop, server.port(), 16, budget.batchMs, &failed));
        } else {
            sixteen.push_back(asyncRate(loop, server.port(), 16, budget.batchMs, &failed));
            one.push_back(asyncRate(loop, server.port(), 1, budget.batchMs, &failed));
            blocking.push_back(blockingRate(server.port(), budget.batchMs, &failed));
        }
    }
    if (failed) {
        std::fprintf(stderr, "bench_async: a request failed\n");
        return 1;
    }
    const double reference = median(blocking);
    std::printf("one TCP connection to a libmodbus server, %d registers per read, median of %d batches of %d ms\n",
                kRegisters, budget.rounds, budget.batchMs);
    std::printf("  %-44s %10.0f requests/s   1.00x\n", "blocking libmodbus loop (modbus_read_registers)", reference);
    std::printf("  %-44s %10.0f requests/s   %.2fx (target >= 1.0x)\n", "asynchronous, 1 in flight", median(one),
                median(one) / reference);
    std::printf("  %-44s %10.0f requests/s   %.2fx (target >= 4x)\n", "asynchronous, 16 in flight", median(sixteen),
                median(sixteen) / reference);

    long polls = 0;
    long timeouts = 0;
    const double asyncWorst = asyncStall(loop, budget.stallMs, &polls, &timeouts);
    const double blockingWorst = blockingStall();
    std::printf("%d silent devices polled every %d ms for %d ms (%ld polls, %ld timed out):\n", kSilentDevices,
                kPollIntervalMs, budget.stallMs, polls, timeouts);
    std::printf("  %-44s %10.1f ms\n", "worst stall of the loop, asynchronous", asyncWorst);
    std::printf("  %-44s %10.1f ms (target for the asynchronous: < 5 ms)\n", "one blocking poll of one silent device",
                blockingWorst);
    return 0;
}
