// SPDX-License-Identifier: MIT
// The TCP server as a gateway against the serial device it routes to, asked
// directly, in one run: one libmodbus responder (a thread of its own) on a
// pseudo-terminal line at 115200 baud, read one request at a time
//  - directly, by the serial requester (CtvkModbusRtuSerialSlave);
//  - through the gateway: the asynchronous TCP client asks the project's
//    TCP server, whose route sends the request to the same serial requester.
// Both sides run on one event loop, so the gateway's share of the CPU is in
// its figures. Batches alternate (direct, gateway, gateway, direct ...) so
// drift of the machine falls on both alike; medians are printed.
//
// --long runs more and longer batches. Exit status: non-zero only when a
// request or the setup fails.

#include "benchstats.h"
#include "libmodbusresponder.h"
#include "loopback.h"
#include "ptypair.h"

#include "tvkeventloop.h"
#include "tvkmodbusreply.h"
#include "tvkmodbusrtuserialslave.h"
#include "tvkmodbustcpclient.h"
#include "tvkmodbustcpserver.h"
#include "tvksignal.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using namespace Quorvan;
using bench::median;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSlave = 1;
constexpr int kBaud = 115200;
constexpr int kRegisters = 10;

struct Budget {
    int rounds = 3;
    int batchMs = 1000;
};

struct Batch {
    double rate = 0;            // requests per second
    double medianUs = 0;        // of one request, send to finish
};

// Reads kRegisters from `device` one request at a time for `ms`.
Batch poll(CtvkEventLoop& loop, CtvkModbusClient& device, int ms, bool* failed)
{
    std::vector<double> latencies;
    bool stop = false;
    int open = 0;
    std::function<void()> send = [&] {
        ++open;
        const auto sent = Clock::now();
        CtvkModbusReply* reply =
            device.sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 0, kRegisters), kSlave);
        CtvkObject::connect(reply, "finished()", nullptr, std::function<void()>([&, reply, sent] {
            --open;
            if (reply->error() != CtvkModbusDevice::NoError) {
                std::fprintf(stderr, "bench_gateway: %s\n", reply->errorString().toStdString().c_str());
                *failed = true;
            } else {
                latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
            }
            reply->deleteLater();
            if (!stop && !*failed)
                send();
        }));
    };
    send();
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(ms);
    while (Clock::now() < end && !*failed)
        loop.processEvents(10);
    stop = true;
    Batch b;
    b.rate = static_cast<double>(latencies.size()) / std::chrono::duration<double>(Clock::now() - start).count();
    b.medianUs = median(latencies);
    loop.processEventsUntil([&] { return open == 0; }, 5000);
    loop.processEvents(0);
    return b;
}

} // namespace

int main(int argc, char** argv)
{
    Budget budget;
    if (argc > 1 && std::strcmp(argv[1], "--long") == 0) {
        budget.rounds = 9;
        budget.batchMs = 3000;
    }
    tvktest::PtyPair line;
    tvktest::LibmodbusResponder responder(line.peer(), kSlave);
    if (!line.ok() || !responder.ok()) {
        std::fprintf(stderr, "bench_gateway: no line or no responder\n");
        return 1;
    }
    CtvkEventLoop loop;
    CtvkModbusRtuSerialSlave serial;
    serial.setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkVariant(CtvkString::fromStdString(line.path())));
    serial.setConnectionParameter(CtvkModbusDevice::SerialBaudRate, CtvkVariant(kBaud));
    serial.setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(CtvkModbusDevice::NoParity));
    if (!serial.connectDevice()) {
        std::fprintf(stderr, "bench_gateway: %s\n", serial.errorString().toStdString().c_str());
        return 1;
    }
    serial.setTimeout(1, 0);

    CtvkModbusTcpServer gateway;
    gateway.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(tvktest::freeLoopbackPort()));
    gateway.setRoutesOnly(true);
    gateway.addRoute(kSlave, kSlave, &serial);
    if (!gateway.open()) {
        std::fprintf(stderr, "bench_gateway: %s\n", gateway.errorString().toStdString().c_str());
        return 1;
    }
    gateway.processRequest();
    CtvkModbusTcpClient master;
    master.setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkVariant("127.0.0.1"));
    master.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(gateway.listeningPort()));
    bool failed = !master.connectDevice();
    master.setTimeout(2, 0);
    loop.processEventsUntil([&] { return master.state() == CtvkModbusClient::ConnectedState; }, 5000);

    std::vector<double> rate[2], latency[2];
    for (int round = 0; round < budget.rounds && !failed; ++round) {
        for (int k = 0; k < 2 && !failed; ++k) {
            const int which = (round + k) % 2;   // 0 direct, 1 through the gateway
            const Batch b = poll(loop, which ? static_cast<CtvkModbusClient&>(master) : serial, budget.batchMs, &failed);
            rate[which].push_back(b.rate);
            latency[which].push_back(b.medianUs);
        }
    }
    if (failed) {
        std::fprintf(stderr, "bench_gateway: a request or the setup failed\n");
        return 1;
    }
    const double direct = median(rate[0]);
    const double routed = median(rate[1]);
    std::printf("a serial device at %d baud over a pseudo terminal, %d registers a read, one at a time, "
                "median of %d batches of %d ms\n",
                kBaud, kRegisters, budget.rounds, budget.batchMs);
    std::printf("  %-36s %12s %16s\n", "", "requests/s", "median latency");
    std::printf("  %-36s %12.1f %13.0f us\n", "asked directly", direct, median(latency[0]));
    std::printf("  %-36s %12.1f %13.0f us\n", "through the gateway", routed, median(latency[1]));
    std::printf("  %-36s %11.2fx %+13.0f us  (targets >= 0.95x, <= +1000 us)\n", "gateway / direct",
                direct > 0 ? routed / direct : 0.0, median(latency[1]) - median(latency[0]));
    return 0;
}
