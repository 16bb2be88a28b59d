// SPDX-License-Identifier: MIT
#ifndef TVKTEST_PTYPAIR_H
#define TVKTEST_PTYPAIR_H

#include "deadline.h"
#include "frames.h"
#include "stoppablethread.h"

#include <cstddef>
#include <string>

namespace tvktest {

// One pseudo terminal in raw mode: the device side has a path a libmodbus
// context can open; the test speaks on the other side's descriptor. The
// device side is held open too, so the line does not hang up while no
// device has it open.
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

    // Writes `bytes` within timeoutMs; false when the line has not taken
    // them all by then (the rest is not written). A byte goes out only once
    // the line has room for it, so a line nobody reads never holds the
    // caller past the deadline.
    bool write(const Bytes& bytes, int timeoutMs = kWaitMs) const;
    // As much of `bytes` as the line takes at once, without waiting.
    std::size_t writeSome(const Bytes& bytes) const;
    // Hangs the line up under the device.
    void closePeer();
    // What arrives within waitMs; stops early once `expected` bytes are in
    // (0: waits the whole time).
    Bytes read(int waitMs, std::size_t expected = 0) const;

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

// Two pseudo terminals whose other sides a thread joins, so that two
// devices that each open a path share one line.
class PtyLink {
public:
    PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    bool ok() const { return m_a.ok() && m_b.ok() && m_thread.running(); }
    const std::string& pathA() const { return m_a.path(); }
    const std::string& pathB() const { return m_b.path(); }

private:
    void relay(int wake);
    PtyPair m_a;
    PtyPair m_b;
    StoppableThread m_thread;   // stops before the pairs close
};

} // namespace tvktest

#endif
