// Requests per second over pseudo-terminal pairs, in one run:
//  - responders: CtvkModbusRtuSerialMaster on the event loop side by side
//    with libmodbus's own responder (modbus_receive + modbus_reply on a bare
//    poll loop), both asked by the same libmodbus requester;
//  - requesters: CtvkModbusRtuSerialSlave side by side with libmodbus's own
//    requester, taking turns on one line to one bare libmodbus responder
//    (only the one asking reads, so the other never takes its answer).
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

#include "tvkeventloop.h"
#include "tvkmodbusrtuserialmaster.h"
#include "tvkmodbusrtuserialslave.h"

#include <modbus.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace Quorvan;

namespace {

constexpr int Slave = 1;
constexpr int Registers = 10;

// One pseudo terminal; the device side stays open so the line never hangs up.
struct Pty {
    Pty()
    {
        char name[128] = {};
        if (openpty(&master, &device, name, nullptr, nullptr) != 0)
            return;
        termios raw{};
        tcgetattr(device, &raw);
        cfmakeraw(&raw);
        tcsetattr(device, TCSANOW, &raw);
        tcgetattr(master, &raw);
        cfmakeraw(&raw);
        tcsetattr(master, TCSANOW, &raw);
        path = name;
    }
    ~Pty()
    {
        if (master >= 0)
            close(master);
        if (device >= 0)
            close(device);
    }
    int master = -1;
    int device = -1;
    std::string path;
};

clockid_t threadClock(std::thread& thread)
{
    clockid_t id = CLOCK_THREAD_CPUTIME_ID;
    pthread_getcpuclockid(thread.native_handle(), &id);
    return id;
}

double cpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

modbus_mapping_t* makeMap()
{
    modbus_mapping_t* map = modbus_mapping_new(0, 0, Registers, 0);
    for (int i = 0; i < Registers; ++i)
        map->tab_registers[i] = static_cast<uint16_t>(i);
    return map;
}

// libmodbus's responder on a bare poll loop in a thread of its own: on the
// pty's device path (connected) or on its other side (a descriptor).
class BareResponder {
public:
    BareResponder(const std::string& path, int descriptor)
    {
        m_ctx = modbus_new_rtu(path.empty() ? "/dev/null" : path.c_str(), 19200, 'N', 8, 1);
        modbus_set_slave(m_ctx, Slave);
        if (path.empty())
            modbus_set_socket(m_ctx, descriptor);
        else if (modbus_connect(m_ctx) == -1)
            return;
        m_ownsLine = !path.empty();
        m_map = makeMap();
        if (pipe(m_wake) == 0)
            m_thread = std::thread([this] { run(); });
    }
    ~BareResponder()
    {
        if (m_thread.joinable()) {
            const char stop = 0;
            (void)!write(m_wake[1], &stop, 1);
            m_thread.join();
            close(m_wake[0]);
            close(m_wake[1]);
        }
        if (m_ownsLine)
            modbus_close(m_ctx);
        modbus_free(m_ctx);
        modbus_mapping_free(m_map);
    }
    bool ok() const { return m_thread.joinable(); }
    clockid_t cpuClock() { return threadClock(m_thread); }

private:
    void run()
    {
        uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
        const int line = modbus_get_socket(m_ctx);
        for (;;) {
            pollfd p[2] = {{line, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0)
                continue;
            if (p[1].revents)
                return;
            const int n = modbus_receive(m_ctx, request);
            if (n > 0)
                modbus_reply(m_ctx, request, n, m_map);
        }
    }
    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_map = nullptr;
    bool m_ownsLine = false;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;
};

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
            responder.setSlave(Slave);
            responder.setStartAddressAndNum(0, 0, 0, 0, 0, Registers, 0, 0);
            for (int i = 0; i < Registers; ++i)
                responder.setData(CtvkModbusDataUnit::HoldingRegisters, i, static_cast<unsigned short>(i));
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
    clockid_t cpuClock() { return threadClock(m_thread); }

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
    uint16_t regs[Registers];
    const double cpuStart = cpuSeconds(side.cpu);
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        regs[Registers - 1] = 0;
        if (!side.request(regs) || regs[Registers - 1] != Registers - 1)
            return -1.0;
    }
    const double rate = count / std::chrono::duration<double>(Clock::now() - start).count();
    if (cpuMicros)
        *cpuMicros = (cpuSeconds(side.cpu) - cpuStart) * 1e6 / count;
    return rate;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
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
    std::printf("goal: ratio >= %.2f\n\n", goal);
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

    Pty forProject, forBare, forRequesters;
    if (forProject.path.empty() || forBare.path.empty() || forRequesters.path.empty()) {
        std::fprintf(stderr, "cannot open pseudo terminals\n");
        return 1;
    }
    std::printf("read of %d holding registers over pseudo terminals, %d requests per batch, "
                "requests per second\n\n", Registers, count);

    // Responders, asked by one kind of requester: libmodbus on the other side.
    ProjectResponder project(forProject.path);
    BareResponder bare(forBare.path, -1);
    if (!project.ok() || !bare.ok()) {
        std::fprintf(stderr, "cannot start the responders\n");
        return 1;
    }
    auto askOn = [](int descriptor) {
        modbus_t* ctx = modbus_new_rtu("/dev/null", 19200, 'N', 8, 1);
        modbus_set_slave(ctx, Slave);
        modbus_set_socket(ctx, descriptor);
        modbus_set_response_timeout(ctx, 2, 0);
        return ctx;
    };
    modbus_t* toProject = askOn(forProject.master);
    modbus_t* toBare = askOn(forBare.master);
    const bool respondersOk = compare(
        "responders (libmodbus requester asking)", "libmodbus", "project",
        {[&](uint16_t* r) { return modbus_read_registers(toBare, 0, Registers, r) == Registers; },
         bare.cpuClock()},
        {[&](uint16_t* r) { return modbus_read_registers(toProject, 0, Registers, r) == Registers; },
         project.cpuClock()},
        rounds, count, 1.0, true);
    modbus_free(toProject);
    modbus_free(toBare);

    // Requesters, taking turns on one line to a bare libmodbus responder.
    BareResponder answers("", forRequesters.master);
    CtvkModbusRtuSerialSlave mine;
    mine.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                CtvkVariant(CtvkString::fromAscii(forRequesters.path.c_str())));
    mine.setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(0));
    mine.setSlave(Slave);
    modbus_t* theirs = modbus_new_rtu(forRequesters.path.c_str(), 19200, 'N', 8, 1);
    modbus_set_slave(theirs, Slave);
    if (!answers.ok() || !mine.open() || !mine.setTimeout(2, 0)
        || modbus_connect(theirs) == -1) {
        std::fprintf(stderr, "cannot open the requesters\n");
        modbus_free(theirs);
        return 1;
    }
    modbus_set_response_timeout(theirs, 2, 0);
    const bool requestersOk = compare(
        "requesters (libmodbus responder answering)", "libmodbus", "project",
        {[&](uint16_t* r) { return modbus_read_registers(theirs, 0, Registers, r) == Registers; },
         CLOCK_THREAD_CPUTIME_ID},
        {[&](uint16_t* r) { return mine.sendReadHoldingRegisters(0, Registers, r); }, CLOCK_THREAD_CPUTIME_ID},
        rounds, count, 0.95, false);
    modbus_close(theirs);
    modbus_free(theirs);
    return respondersOk && requestersOk ? 0 : 1;
}
