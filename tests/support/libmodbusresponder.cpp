// SPDX-License-Identifier: MIT
#include "libmodbusresponder.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tvktest {

namespace {

// A pseudo terminal has no baud rate; libmodbus wants one all the same.
constexpr int kBaud = 19200;
constexpr char kNoParity = 'N';
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;

} // namespace

LibmodbusResponder::LibmodbusResponder(int descriptor, int slave) : LibmodbusResponder(nullptr, descriptor, slave)
{
}

LibmodbusResponder::LibmodbusResponder(const std::string& device, int slave)
    : LibmodbusResponder(device.c_str(), -1, slave)
{
}

namespace {

// The tables every responder serves: 1 for coils whose address is a
// multiple of 3, 1 for odd discrete inputs, registers from their bases.
modbus_mapping_t* filledMap()
{
    constexpr int kEntries = LibmodbusResponder::kEntries;
    modbus_mapping_t* map = modbus_mapping_new(kEntries, kEntries, kEntries, kEntries);
    for (int a = 0; map && a < kEntries; ++a) {
        map->tab_bits[a] = a % 3 == 0;
        map->tab_input_bits[a] = a % 2;
        map->tab_registers[a] = static_cast<uint16_t>(LibmodbusResponder::kHoldingBase + a);
        map->tab_input_registers[a] = static_cast<uint16_t>(LibmodbusResponder::kInputBase + a);
    }
    return map;
}

} // namespace

LibmodbusResponder::LibmodbusResponder(const char* device, int descriptor, int slave)
{
    m_ctx = modbus_new_rtu(device ? device : "/dev/null", kBaud, kNoParity, kDataBits, kStopBits);
    m_map = filledMap();
    if (!m_ctx || !m_map)
        return;
    modbus_set_slave(m_ctx, slave);
    if (device) {
        if (modbus_connect(m_ctx) != 0)
            return;
        m_ownsLine = true;
    } else {
        modbus_set_socket(m_ctx, descriptor);
    }
    m_descriptor = modbus_get_socket(m_ctx);
    m_thread.start([this](int wake) { run(wake); });
}

LibmodbusResponder::~LibmodbusResponder()
{
    m_thread.stop();
    if (m_ctx) {
        if (m_ownsLine)
            modbus_close(m_ctx);
        else
            modbus_set_socket(m_ctx, -1);   // the descriptor is the caller's
        modbus_free(m_ctx);
    }
    if (m_map)
        modbus_mapping_free(m_map);
}

void LibmodbusResponder::run(int wake)
{
    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        pollfd p[2] = {{m_descriptor, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0)
            continue;
        if (p[1].revents)
            return;
        const int length = modbus_receive(m_ctx, request);
        if (length > 0 && modbus_reply(m_ctx, request, length, m_map) > 0)
            ++m_served;
    }
}

LibmodbusTcpResponder::LibmodbusTcpResponder()
{
    m_ctx = modbus_new_tcp("127.0.0.1", 0);
    m_map = filledMap();
    if (!m_ctx || !m_map || (m_listen = modbus_tcp_listen(m_ctx, 4)) < 0)
        return;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    m_port = ntohs(address.sin_port);
    m_thread.start([this](int wake) { run(wake); });
}

LibmodbusTcpResponder::~LibmodbusTcpResponder()
{
    m_thread.stop();
    if (m_listen >= 0)
        ::close(m_listen);
    if (m_ctx) {
        modbus_close(m_ctx);
        modbus_free(m_ctx);
    }
    if (m_map)
        modbus_mapping_free(m_map);
}

void LibmodbusTcpResponder::run(int wake)
{
    uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        pollfd p[2] = {{m_listen, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0)
            continue;
        if (p[1].revents)
            return;
        int listening = m_listen;
        if (modbus_tcp_accept(m_ctx, &listening) < 0)
            return;
        for (;;) {
            pollfd q[2] = {{modbus_get_socket(m_ctx), POLLIN, 0}, {wake, POLLIN, 0}};
            if (::poll(q, 2, -1) < 0)
                continue;
            if (q[1].revents)
                return;
            const int length = modbus_receive(m_ctx, request);
            if (length < 0)
                break;
            if (length > 0 && modbus_reply(m_ctx, request, length, m_map) > 0)
                ++m_served;
        }
        modbus_close(m_ctx);
    }
}

} // namespace tvktest
