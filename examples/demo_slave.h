#ifndef DEMO_SLAVE_H
#define DEMO_SLAVE_H

#include <atomic>
#include <thread>

// A Modbus TCP slave simulator on loopback, run on a thread of its own with
// libmodbus, so the demo panel has a device to poll. Its holding registers
// count up on their own, as a machine's counters would.
class DemoSlave {
public:
    DemoSlave();
    ~DemoSlave();
    DemoSlave(const DemoSlave&) = delete;
    DemoSlave& operator=(const DemoSlave&) = delete;

    // Listens on an ephemeral port of 127.0.0.1; answers the port, or -1.
    int start();
    void stop();

private:
    void run();
    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

#endif
