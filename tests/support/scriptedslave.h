// SPDX-License-Identifier: MIT
#ifndef TVKTEST_SCRIPTEDSLAVE_H
#define TVKTEST_SCRIPTEDSLAVE_H

#include "frames.h"
#include "stoppablethread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace tvktest {

// A serial slave on the test's side of a pseudo terminal, in a thread of
// its own, that does with each request what a script says: for what a real
// slave or line does only when it misbehaves (answer late, twice, slowly,
// echo the request, chatter without pause). A request ends at the first
// byte after which its CRC holds, so it needs no length rules of its own.
class ScriptedSlave {
public:
    using Clock = std::chrono::steady_clock;

    // One thing the slave sends about a request, after waiting `afterMs`;
    // `paced` bytes go one character time of the line's baud rate apart,
    // each after its time, as a line delivers them.
    struct Step {
        Bytes bytes;
        int afterMs = 0;
        bool paced = false;
    };
    // The steps for request `number` (from 0), as heard, address to CRC.
    using Script = std::function<std::vector<Step>(const Bytes& request, int number)>;

    // Serves on `descriptor` (the test's side of a PtyPair, which the
    // caller keeps) at `baud`, which only paces the steps that ask for it.
    ScriptedSlave(int descriptor, int baud, Script script);
    ~ScriptedSlave();
    ScriptedSlave(const ScriptedSlave&) = delete;
    ScriptedSlave& operator=(const ScriptedSlave&) = delete;

    bool ok() const { return m_thread.running(); }
    // From now on, while no step is being sent, one `noise` byte goes out
    // every `everyMs`: a device that never lets the line fall silent.
    void chatter(std::uint8_t noise, int everyMs);

    // The requests heard so far, and when each was heard.
    std::vector<Bytes> requests() const;
    std::vector<Clock::time_point> heardAt() const;
    // The steps sent so far, and when each one's last byte went out.
    int stepsSent() const { return m_stepsSent.load(); }
    std::vector<Clock::time_point> sentAt() const;

    // One character's time at `baud`: start bit, 8 data bits, parity, stop bit.
    static std::chrono::microseconds characterTime(int baud);

    // The answer of `slave` to a read of holding registers or input
    // registers in `request`: register i holds `base` + its address.
    static Bytes registersAnswer(const Bytes& request, int base);

private:
    void run(int wake);
    // Sends one step; false once the thread is to stop.
    bool send(int wake, const Step& step);
    // Waits `wait`, or less when woken; false when woken.
    static bool pause(int wake, std::chrono::microseconds wait);

    int m_descriptor;
    std::chrono::microseconds m_character;
    Script m_script;
    std::atomic<int> m_noise{-1};
    std::atomic<int> m_chatterMs{0};
    std::atomic<int> m_stepsSent{0};
    mutable std::mutex m_lock;
    std::vector<Bytes> m_requests;
    std::vector<Clock::time_point> m_heardAt;
    std::vector<Clock::time_point> m_sentAt;
    StoppableThread m_thread;   // last: stops before the rest goes
};

} // namespace tvktest

#endif
