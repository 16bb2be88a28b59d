#ifndef FIELDLINK_RTUTESTSUPPORT_H
#define FIELDLINK_RTUTESTSUPPORT_H

#include <modbus.h>

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace tvktest {

using Bytes = std::vector<unsigned char>;

// The bytes given followed by their Modbus CRC (low byte first).
Bytes rtuFrame(std::initializer_list<int> bytes);
Bytes withCrc(Bytes bytes);

// One pseudo-terminal: the device side has a path a libmodbus context can
// open; the test speaks on the other side's descriptor. The device side is
// held open too, so the line does not hang up while no device has it open.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return m_master >= 0; }
    const std::string& path() const { return m_path; }
    int peer() const { return m_master; }
    // The device side as this object holds it: its settings are those a
    // device that opened the path made.
    int device() const { return m_slave; }

    void write(const Bytes& bytes) const;
    // Hangs the line up under the device.
    void closePeer();
    // What arrives within waitMs, at most `max` bytes; stops early once
    // `expected` bytes are in (0: wait the whole time).
    Bytes read(int waitMs, std::size_t expected = 0) const;

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

// Two pseudo-terminals whose other sides a thread joins, so that two
// devices that each open a path share one line.
class PtyLink {
public:
    PtyLink();
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    bool ok() const { return m_a.ok() && m_b.ok() && m_thread.joinable(); }
    const std::string& pathA() const { return m_a.path(); }
    const std::string& pathB() const { return m_b.path(); }

private:
    void relay();
    PtyPair m_a;
    PtyPair m_b;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;
};

// libmodbus's own RTU responder on the test side of a PtyPair, in a thread
// of its own. Tables of 100 entries from address 0: coils 1 where the address
// is a multiple of 3, discrete inputs 1 at odd addresses, holding registers
// 1000 + address, input registers 2000 + address. Stops with the object.
class LibmodbusResponder {
public:
    LibmodbusResponder(int descriptor, int slave);
    ~LibmodbusResponder();
    LibmodbusResponder(const LibmodbusResponder&) = delete;
    LibmodbusResponder& operator=(const LibmodbusResponder&) = delete;

    modbus_mapping_t* mapping() { return m_map; }
    int served() const { return m_served.load(); }

private:
    void run();
    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_map = nullptr;
    int m_wake[2] = {-1, -1};
    int m_descriptor;
    std::atomic<int> m_served{0};
    std::thread m_thread;
};

// tests/peers/pymodbus_serial.py run with Debian's /usr/bin/python3 (the one
// that sees python3-pymodbus), with the arguments given. Its standard output
// is collected; it is killed when the object goes.
class PymodbusSerialPeer {
public:
    explicit PymodbusSerialPeer(const std::vector<std::string>& arguments);
    ~PymodbusSerialPeer();
    PymodbusSerialPeer(const PymodbusSerialPeer&) = delete;
    PymodbusSerialPeer& operator=(const PymodbusSerialPeer&) = delete;

    // Collects output without waiting; answers true once the peer ended
    // (its exit status is then in exitStatus()).
    bool finished();
    // Waits up to timeoutMs for a line of output that contains `text`.
    bool waitForOutput(const std::string& text, int timeoutMs);
    int exitStatus() const { return m_status; }
    const std::string& output() const { return m_output; }

private:
    void collect(int waitMs);
    pid_t m_pid = -1;
    int m_out = -1;
    int m_status = -1;
    std::string m_output;
};

// What this process last handed to modbus_new_rtu and modbus_set_slave (the
// test executable stands in front of libmodbus for both): a pseudo terminal
// keeps neither parity nor character size, so that is where they are seen.
struct RtuArguments {
    std::string device;
    int baud = 0;
    char parity = 0;
    int dataBits = 0;
    int stopBits = 0;
    int slave = -1;
};
RtuArguments& lastRtu();

// Takes every free descriptor number below FD_SETSIZE (raising the soft
// limit as needed) until the object goes, so the next one opened lies above.
class LowDescriptorsTaken {
public:
    static bool possible();
    LowDescriptorsTaken();
    ~LowDescriptorsTaken();
    LowDescriptorsTaken(const LowDescriptorsTaken&) = delete;
    LowDescriptorsTaken& operator=(const LowDescriptorsTaken&) = delete;

private:
    std::vector<int> m_taken;
    rlim_t m_savedLimit = 0;
};

} // namespace tvktest

#endif
