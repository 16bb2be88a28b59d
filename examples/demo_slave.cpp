#include "demo_slave.h"

#include <modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

DemoSlave::DemoSlave() = default;

DemoSlave::~DemoSlave() { stop(); }

int DemoSlave::start()
{
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listen < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || ::listen(m_listen, 4) != 0
        || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(m_listen);
        m_listen = -1;
        return -1;
    }
    m_stop = false;
    m_thread = std::thread([this] { run(); });
    return ntohs(addr.sin_port);
}

void DemoSlave::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listen >= 0) {
        ::close(m_listen);
        m_listen = -1;
    }
}

void DemoSlave::run()
{
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 502);
    modbus_mapping_t* map = modbus_mapping_new(16, 16, 64, 16);
    if (!ctx || !map) {
        modbus_free(ctx);
        modbus_mapping_free(map);
        return;
    }
    for (int i = 0; i < 16; ++i)
        map->tab_input_registers[i] = static_cast<uint16_t>(100 + i);

    int client = -1;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!m_stop) {
        // Poll with a short timeout so stop() is seen promptly.
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {client, POLLIN, 0}};
        int n = ::poll(fds, client >= 0 ? 2 : 1, 50);
        if (n <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            int s = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (s >= 0) {
                if (client >= 0)
                    ::close(client);
                client = s;
            }
            continue;
        }
        if (client >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            modbus_set_socket(ctx, client);
            int rc = modbus_receive(ctx, query);
            if (rc > 0) {
                ++map->tab_registers[0];   // a counter the panel sees move
                modbus_reply(ctx, query, rc, map);
            } else if (rc == -1) {
                ::close(client);
                client = -1;
            }
        }
    }
    if (client >= 0)
        ::close(client);
    modbus_set_socket(ctx, -1);
    modbus_mapping_free(map);
    modbus_free(ctx);
}
