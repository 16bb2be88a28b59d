// SPDX-License-Identifier: MIT
#ifndef TVKTEST_STOPPABLETHREAD_H
#define TVKTEST_STOPPABLETHREAD_H

#include <functional>
#include <thread>

namespace tvktest {

// A thread that serves until it is stopped: the function it runs polls the
// wake descriptor it is handed beside its own and returns once that one is
// readable. A peer in a thread of its own (the fake slave, libmodbus's
// responder, the link between two pseudo terminals) is built on one.
class StoppableThread {
public:
    StoppableThread() = default;
    ~StoppableThread() { stop(); }
    StoppableThread(const StoppableThread&) = delete;
    StoppableThread& operator=(const StoppableThread&) = delete;

    // False when the wake descriptor cannot be made; nothing runs then.
    bool start(const std::function<void(int wake)>& serve);
    // Wakes the function and waits for it to return.
    void stop();
    bool running() const { return m_thread.joinable(); }
    std::thread& thread() { return m_thread; }

private:
    int m_wake[2] = {-1, -1};
    std::thread m_thread;
};

} // namespace tvktest

#endif
