// SPDX-License-Identifier: MIT
// Requests per second over pseudo-terminal pairs, in one run:
//  - responders: CtvkModbusRtuSerialMaster on the event loop side by side
//    with libmodbus's own responder (modbus_receive + modbus_reply on a bare
//    poll loop), both asked by the same libmodbus requester;
//  - requesters: CtvkModbusRtuSerialSlave side by side with libmodbus's own
//    requester, taking turns on one line to one bare libmodbus responder
//    (only the one asking reads, so the other never takes its answer): the
//    blocking requests, and the asynchronous ones on the event loop with
//    the line set to 19200 and to 115200 baud. The asynchronous requester
//    keeps the inter-frame silence the baud rate gives, so its rate is
//    bounded by that silence, not by the pseudo terminal.
// Each responder has a pair of its own. Batches alternate
// (A B, then B A) so drift of the machine falls on both alike; the summary
// gives the median of the per-round ratios and the ratio of the best batches.
// A pseudo terminal has no baud rate: this measures the code and the system
// calls on the path, not the line. On a loaded machine the requests per
// second swing with the scheduler; the responders' CPU time per request
// (their threads' own clocks) swings much less and is printed beside them.
//
// Usage: bench_fieldlink_rtu [--rounds N] [--batch M]   (defaults: 8 rounds of 250)
// Exit status: non-zero only when a request or the setup fails.

#include "benchstats.h"
#include "libmodbusresponder.h"
#include "ptypair.h"

#include "tvkeventloop.h"
#include "tvkmodbusreply.h"
#include "tvkmodbusrtuserialmaster.h"
#include "tvkmodbusrtuserialslave.h"

#include <modbus.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Quorvan;
using bench::cpuSeconds;
using bench::median;
using tvktest::LibmodbusResponder;
using tvktest::PtyPair;

namespace {

constexpr int kSlave = 1;
constexpr int kRegisters = 10;
// A pseudo terminal has no baud rate; libmodbus wants one all the same.
constexpr int kBaud = 19200;
// The rates the asynchronous requester is measured at: the slowest the
// silence is counted in characters for, and a fast one with a fixed gap.
constexpr int kAsyncBauds[] = {19200, 115200};
constexpr int kResponseTimeoutS = 2;
// The value the tables hold at the last register read.
constexpr int kLastValue = LibmodbusResponder::kHoldingBase + kRegisters - 1;

// The project's responder on an event loop in a thread of its own.
class ProjectResponder {
public:
    explicit ProjectResponder(const std::string& path)
    {
        std::atomic<int> state{0};
        m_thread = std::thread([this, path, &state] {
            CtvkEventLoop loop;
            CtvkModbusRtuSerialMaster responder;
            responder.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                             CtvkVariant(CtvkString::fromAscii(path.c_str())));
            responder.setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(0));
            responder.setSlave(kSlave);
            responder.setStartAddressAndNum(0, 0, 0, 0, 0, kRegisters, 0, 0);
            for (int i = 0; i < kRegisters; ++i)
                responder.setData(CtvkModbusDataUnit::HoldingRegisters, i,
                                  static_cast<unsigned short>(LibmodbusResponder::kHoldingBase + i));
            if (!responder.open()) {
                state = -1;
                return;
            }
            responder.processRequest();
            state = 1;
            while (!m_stop)
                loop.processEvents(50);
        });
        while (state == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m_ok = state == 1;
    }
    ~ProjectResponder()
    {
        m_stop = true;
        m_thread.join();
    }
    bool ok() const { return m_ok; }
    clockid_t cpuClock() { return bench::cpuClockOf(m_thread); }

private:
    std::atomic<bool> m_stop{false};
    bool m_ok = false;
    std::thread m_thread;
};

using Clock = std::chrono::steady_clock;
using Request = std::function<bool(uint16_t*)>;

struct Side {
    Request request;
    clockid_t cpu;   // the serving thread's clock; CLOCK_THREAD_CPUTIME_ID for none
};

// Requests per second over one batch (negative on failure), and the CPU
// microseconds per request of the side's serving thread.
double batch(const Side& side, int count, double* cpuMicros = nullptr)
{
    uint16_t regs[kRegisters];
    const double cpuStart = cpuSeconds(side.cpu);
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        regs[kRegisters - 1] = 0;
        if (!side.request(regs) || regs[kRegisters - 1] != kLastValue)
            return -1.0;
    }
    const double rate = count / std::chrono::duration<double>(Clock::now() - start).count();
    if (cpuMicros)
        *cpuMicros = (cpuSeconds(side.cpu) - cpuStart) * 1e6 / count;
    return rate;
}

// Alternating batches of `reference` and `mine`; prints the table and
// answers false when a request failed. With `cpu`, the serving threads'
// CPU time per request is printed too.
bool compare(const char* title, const char* refName, const char* mineName, const Side& reference,
             const Side& mine, int rounds, int count, double goal, bool cpu)
{
    if (batch(reference, count / 4 + 1) < 0 || batch(mine, count / 4 + 1) < 0) {
        std::fprintf(stderr, "%s: warm-up request failed\n", title);
        return false;
    }
    std::printf("%s\n%6s  %12s  %12s  %7s", title, "round", refName, mineName, "ratio");
    if (cpu)
        std::printf("  %14s  %14s  %7s", "us cpu/req ref", "us cpu/req own", "ratio");
    std::printf("\n");
    std::vector<double> refs, mines, ratios, cpuRatios;
    for (int round = 0; round < rounds; ++round) {
        double r = 0, m = 0, rc = 0, mc = 0;
        if (round % 2 == 0) {
            r = batch(reference, count, &rc);
            m = batch(mine, count, &mc);
        } else {
            m = batch(mine, count, &mc);
            r = batch(reference, count, &rc);
        }
        if (r < 0 || m < 0) {
            std::fprintf(stderr, "%s: a request failed during measurement\n", title);
            return false;
        }
        refs.push_back(r);
        mines.push_back(m);
        ratios.push_back(m / r);
        std::printf("%6d  %12.0f  %12.0f  %7.3f", round + 1, r, m, m / r);
        if (cpu) {
            cpuRatios.push_back(rc / mc);
            std::printf("  %14.1f  %14.1f  %7.3f", rc, mc, rc / mc);
        }
        std::printf("\n");
    }
    const double bestRef = *std::max_element(refs.begin(), refs.end());
    const double bestMine = *std::max_element(mines.begin(), mines.end());
    std::printf("%6s  %12.0f  %12.0f  %7.3f   (median of the round ratios)\n", "median", median(refs),
                median(mines), median(ratios));
    std::printf("%6s  %12.0f  %12.0f  %7.3f   (best batches)\n", "best", bestRef, bestMine, bestMine / bestRef);
    if (cpu)
        std::printf("cpu per request, libmodbus / project: %.3f (median of the round ratios; above 1 is cheaper)\n",
                    median(cpuRatios));
    if (goal > 0)
        std::printf("goal: ratio >= %.2f\n\n", goal);
    else
        std::printf("no goal: the line's silence bounds the rate; compare with earlier runs\n\n");
    return true;
}

// One read with the asynchronous requests: sent, then the loop run until
// its reply finishes.
bool asyncRead(CtvkEventLoop& loop, CtvkModbusRtuSerialSlave& device, uint16_t* regs)
{
    const std::unique_ptr<CtvkModbusReply> reply(
        device.sendReadRequest(CtvkModbusDataUnit(CtvkModbusDataUnit::HoldingRegisters, 0, kRegisters), kSlave));
    if (!loop.processEventsUntil([&] { return reply->isFinished(); }, 2 * kResponseTimeoutS * 1000)
        || reply->error() != CtvkModbusDevice::NoError)
        return false;
    const CtvkModbusDataUnit read = reply->result();
    for (int i = 0; i < read.values.size() && i < kRegisters; ++i)
        regs[i] = static_cast<uint16_t>(read.values.at(i).toInt());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 8;
    int count = 250;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--batch") == 0)
            count = std::max(1, std::atoi(argv[i + 1]));
    }

    PtyPair forProject, forBare, forRequesters;
    if (!forProject.ok() || !forBare.ok() || !forRequesters.ok()) {
        std::fprintf(stderr, "cannot open pseudo terminals\n");
        return 1;
    }
    std::printf("read of %d holding registers over pseudo terminals, %d requests per batch, "
                "requests per second\n\n", kRegisters, count);

    // Responders, asked by one kind of requester: libmodbus on the other side.
    ProjectResponder project(forProject.path());
    LibmodbusResponder bare(forBare.path(), kSlave);
    if (!project.ok() || !bare.ok()) {
        std::fprintf(stderr, "cannot start the responders\n");
        return 1;
    }
    auto askOn = [](int descriptor) {
        modbus_t* ctx = modbus_new_rtu("/dev/null", kBaud, 'N', 8, 1);
        modbus_set_slave(ctx, kSlave);
        modbus_set_socket(ctx, descriptor);
        modbus_set_response_timeout(ctx, kResponseTimeoutS, 0);
        return ctx;
    };
    modbus_t* toProject = askOn(forProject.peer());
    modbus_t* toBare = askOn(forBare.peer());
    const bool respondersOk = compare(
        "responders (libmodbus requester asking)", "libmodbus", "project",
        {[&](uint16_t* r) { return modbus_read_registers(toBare, 0, kRegisters, r) == kRegisters; },
         bench::cpuClockOf(bare.thread())},
        {[&](uint16_t* r) { return modbus_read_registers(toProject, 0, kRegisters, r) == kRegisters; },
         project.cpuClock()},
        rounds, count, 1.0, true);
    modbus_free(toProject);
    modbus_free(toBare);

    // Requesters, taking turns on one line to a bare libmodbus responder.
    LibmodbusResponder answers(forRequesters.peer(), kSlave);
    CtvkModbusRtuSerialSlave mine;
    mine.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                CtvkVariant(CtvkString::fromAscii(forRequesters.path().c_str())));
    mine.setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(0));
    mine.setSlave(kSlave);
    modbus_t* theirs = modbus_new_rtu(forRequesters.path().c_str(), kBaud, 'N', 8, 1);
    modbus_set_slave(theirs, kSlave);
    if (!answers.ok() || !mine.open() || !mine.setTimeout(kResponseTimeoutS, 0)
        || modbus_connect(theirs) == -1) {
        std::fprintf(stderr, "cannot open the requesters\n");
        modbus_free(theirs);
        return 1;
    }
    modbus_set_response_timeout(theirs, kResponseTimeoutS, 0);
    const bool requestersOk = compare(
        "requesters (libmodbus responder answering)", "libmodbus", "project",
        {[&](uint16_t* r) { return modbus_read_registers(theirs, 0, kRegisters, r) == kRegisters; },
         CLOCK_THREAD_CPUTIME_ID},
        {[&](uint16_t* r) { return mine.sendReadHoldingRegisters(0, kRegisters, r); }, CLOCK_THREAD_CPUTIME_ID},
        rounds, count, 0.95, false);
    mine.close();

    // The asynchronous requester, one baud rate at a time: only one device
    // may watch the line, or the idle one would read the other's answers.
    bool asyncOk = true;
    CtvkEventLoop loop;
    for (const int baud : kAsyncBauds) {
        CtvkModbusRtuSerialSlave async;
        async.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                     CtvkVariant(CtvkString::fromAscii(forRequesters.path().c_str())));
        async.setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(0));
        async.setConnectionParameter(CtvkModbusDevice::SerialBaudRate, CtvkVariant(baud));
        async.setSlave(kSlave);
        if (!async.connectDevice() || !async.setTimeout(kResponseTimeoutS, 0)) {
            std::fprintf(stderr, "cannot connect the asynchronous requester\n");
            asyncOk = false;
            break;
        }
        const std::string title = "asynchronous requester at " + std::to_string(baud)
            + " baud (libmodbus responder answering)";
        asyncOk = compare(title.c_str(), "libmodbus", "project",
                          {[&](uint16_t* r) { return modbus_read_registers(theirs, 0, kRegisters, r) == kRegisters; },
                           CLOCK_THREAD_CPUTIME_ID},
                          {[&](uint16_t* r) { return asyncRead(loop, async, r); }, CLOCK_THREAD_CPUTIME_ID}, rounds,
                          count, 0.0, false)
            && asyncOk;
        async.disconnectDevice();
        async.close();
    }
    modbus_close(theirs);
    modbus_free(theirs);
    return respondersOk && requestersOk && asyncOk ? 0 : 1;
}
