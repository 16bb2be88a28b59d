// SPDX-License-Identifier: MIT
#ifndef TVKTEST_LIBMODBUSRESPONDER_H
#define TVKTEST_LIBMODBUSRESPONDER_H

#include "stoppablethread.h"

#include <modbus.h>

#include <atomic>
#include <string>
#include <thread>

namespace tvktest {

// libmodbus's own RTU responder on a bare poll loop, in a thread of its own,
// as the reference the project's serial code is held against. Tables of
// kEntries from address 0: coils 1 where the address is a multiple of 3,
// discrete inputs 1 at odd addresses, holding registers kHoldingBase +
// address, input registers kInputBase + address. Stops with the object.
class LibmodbusResponder {
public:
    static constexpr int kEntries = 100;
    static constexpr int kHoldingBase = 1000;
    static constexpr int kInputBase = 2000;

    // On a descriptor the caller keeps (the test's side of a PtyPair).
    LibmodbusResponder(int descriptor, int slave);
    // On a serial device it opens and closes itself.
    LibmodbusResponder(const std::string& device, int slave);
    ~LibmodbusResponder();
    LibmodbusResponder(const LibmodbusResponder&) = delete;
    LibmodbusResponder& operator=(const LibmodbusResponder&) = delete;

    bool ok() const { return m_thread.running(); }
    modbus_mapping_t* mapping() { return m_map; }
    int served() const { return m_served.load(); }
    // The serving thread, for a benchmark that reads its CPU clock.
    std::thread& thread() { return m_thread.thread(); }

private:
    LibmodbusResponder(const char* device, int descriptor, int slave);
    void run(int wake);
    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_map = nullptr;
    bool m_ownsLine = false;
    int m_descriptor = -1;
    std::atomic<int> m_served{0};
    StoppableThread m_thread;
};

// A libmodbus Modbus TCP slave on a loopback port of its own, serving one
// connection after another from a thread, with the same tables.
class LibmodbusTcpResponder {
public:
    LibmodbusTcpResponder();
    ~LibmodbusTcpResponder();
    LibmodbusTcpResponder(const LibmodbusTcpResponder&) = delete;
    LibmodbusTcpResponder& operator=(const LibmodbusTcpResponder&) = delete;

    bool ok() const { return m_thread.running(); }
    int port() const { return m_port; }
    int served() const { return m_served.load(); }

private:
    void run(int wake);

    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_map = nullptr;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<int> m_served{0};
    StoppableThread m_thread;
};

} // namespace tvktest

#endif
