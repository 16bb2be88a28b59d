// SPDX-License-Identifier: MIT
// Round-trip time of sendReadHoldingRegisters through the client, side by
// side with modbus_read_registers on a context of its own, both against one
// libmodbus server thread on loopback. Batches of the two alternate (A B B A)
// so drift of the machine falls on both alike. Two summaries: the median of
// the per-round ratios (each round pairs neighbouring batches) and the ratio
// of the fastest batches (least disturbed by other load on the machine).
//
// Exit status: non-zero only when a request or the setup fails.

#include "benchstats.h"
#include "loopback.h"
#include "stoppablethread.h"

#include "tvkmodbustcpclient.h"

#include <modbus.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace Quorvan;
using bench::median;

namespace {

constexpr int kRegisters = 10;
constexpr int kRounds = 30;
constexpr int kBatch = 600;
constexpr int kBacklog = 8;

// Serves any number of connections from one thread and one context, the
// register map holding 0..kRegisters-1 at addresses 0..kRegisters-1.
class Server {
public:
    Server()
    {
        m_ctx = modbus_new_tcp("127.0.0.1", 0);
        m_map = modbus_mapping_new(0, 0, kRegisters, 0);
        for (int i = 0; i < kRegisters; ++i)
            m_map->tab_registers[i] = static_cast<uint16_t>(i);
        m_listen = modbus_tcp_listen(m_ctx, kBacklog);
        if (m_listen >= 0 && m_thread.start([this](int wake) { run(wake); }))
            m_port = tvktest::localPort(m_listen);
    }
    ~Server()
    {
        m_thread.stop();
        if (m_listen >= 0)
            close(m_listen);
        modbus_mapping_free(m_map);
        modbus_free(m_ctx);
    }
    int port() const { return m_port; }

private:
    void run(int wake)
    {
        std::vector<int> clients;
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            std::vector<pollfd> fds{{wake, POLLIN, 0}, {m_listen, POLLIN, 0}};
            for (int c : clients)
                fds.push_back({c, POLLIN, 0});
            if (poll(fds.data(), fds.size(), -1) < 0)
                continue;
            if (fds[0].revents)
                break;
            if (fds[1].revents) {
                const int c = accept(m_listen, nullptr, nullptr);
                if (c >= 0)
                    clients.push_back(c);
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (!fds[i].revents)
                    continue;
                modbus_set_socket(m_ctx, fds[i].fd);
                const int rc = modbus_receive(m_ctx, query);
                if (rc > 0) {
                    modbus_reply(m_ctx, query, rc, m_map);
                } else if (rc == -1) {
                    close(fds[i].fd);
                    clients.erase(std::find(clients.begin(), clients.end(), fds[i].fd));
                }
            }
        }
        for (int c : clients)
            close(c);
    }

    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_map = nullptr;
    int m_listen = -1;
    int m_port = 0;
    tvktest::StoppableThread m_thread;
};

using Clock = std::chrono::steady_clock;

// Mean time of one request over a batch, in microseconds; negative on failure.
template <class Request>
double batch(Request request)
{
    uint16_t regs[kRegisters];
    const auto start = Clock::now();
    for (int i = 0; i < kBatch; ++i) {
        if (!request(regs) || regs[kRegisters - 1] != kRegisters - 1)
            return -1.0;
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kBatch;
}

} // namespace

int main()
{
    Server server;
    if (!server.port()) {
        std::fprintf(stderr, "cannot start the loopback server\n");
        return 1;
    }

    CtvkModbusTcpClient client;
    client.setConnectionParameter(CtvkModbusDevice::NetworkPort, CtvkVariant(server.port()));
    if (!client.open()) {
        std::fprintf(stderr, "client open failed: %s\n", client.errorString().toStdString().c_str());
        return 1;
    }
    modbus_t* direct = modbus_new_tcp("127.0.0.1", server.port());
    if (!direct || modbus_connect(direct) == -1) {
        std::fprintf(stderr, "libmodbus connect failed: %s\n", modbus_strerror(errno));
        modbus_free(direct);
        return 1;
    }

    auto viaClient = [&](uint16_t* regs) { return client.sendReadHoldingRegisters(0, kRegisters, regs); };
    auto viaLibmodbus = [&](uint16_t* regs) {
        return modbus_read_registers(direct, 0, kRegisters, regs) == kRegisters;
    };

    // Warm both paths (connection, caches) before measuring.
    if (batch(viaClient) < 0 || batch(viaLibmodbus) < 0) {
        std::fprintf(stderr, "warm-up request failed\n");
        return 1;
    }

    std::printf("read of %d holding registers, %d requests per batch, loopback, times in us per request\n\n",
                kRegisters, kBatch);
    std::printf("%6s  %12s  %12s  %7s\n", "round", "libmodbus", "client", "ratio");
    std::vector<double> reference;
    std::vector<double> measured;
    std::vector<double> ratios;
    bool failed = false;
    for (int round = 0; round < kRounds && !failed; ++round) {
        double ref = 0;
        double mine = 0;
        if (round % 2 == 0) {
            ref = batch(viaLibmodbus);
            mine = batch(viaClient);
        } else {
            mine = batch(viaClient);
            ref = batch(viaLibmodbus);
        }
        if (ref < 0 || mine < 0) {
            failed = true;
            break;
        }
        reference.push_back(ref);
        measured.push_back(mine);
        ratios.push_back(mine / ref);
        std::printf("%6d  %12.2f  %12.2f  %7.3f\n", round + 1, ref, mine, mine / ref);
    }
    modbus_close(direct);
    modbus_free(direct);
    if (failed) {
        std::fprintf(stderr, "a request failed during measurement\n");
        return 1;
    }
    const double fastRef = *std::min_element(reference.begin(), reference.end());
    const double fastMine = *std::min_element(measured.begin(), measured.end());
    std::printf("%6s  %12.2f  %12.2f  %7.3f   (median of the round ratios)\n", "median",
                median(reference), median(measured), median(ratios));
    std::printf("%6s  %12.2f  %12.2f  %7.3f   (fastest batches)\n", "best", fastRef, fastMine,
                fastMine / fastRef);
    std::printf("goal: ratio <= 1.05\n");
    return 0;
}
