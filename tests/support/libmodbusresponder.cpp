#include "libmodbusresponder.h"

#include <poll.h>

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

LibmodbusResponder::LibmodbusResponder(const char* device, int descriptor, int slave)
{
    m_ctx = modbus_new_rtu(device ? device : "/dev/null", kBaud, kNoParity, kDataBits, kStopBits);
    m_map = modbus_mapping_new(kEntries, kEntries, kEntries, kEntries);
    if (!m_ctx || !m_map)
        return;
    for (int a = 0; a < kEntries; ++a) {
        m_map->tab_bits[a] = a % 3 == 0;
        m_map->tab_input_bits[a] = a % 2;
        m_map->tab_registers[a] = static_cast<uint16_t>(kHoldingBase + a);
        m_map->tab_input_registers[a] = static_cast<uint16_t>(kInputBase + a);
    }
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

} // namespace tvktest
