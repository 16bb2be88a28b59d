// SPDX-License-Identifier: MIT
#ifndef POLL_POLLSESSION_H
#define POLL_POLLSESSION_H

#include "polloptions.h"

#include "tvktimer.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace Quorvan {
class CtvkEventLoop;
class CtvkModbusReply;
}

namespace tvkpoll {

class PollDevice;
class Report;
struct Failure;

// The polls (or the write) on the event loop. A round asks each slave of
// the list in turn, one request at a time, and the rounds start at a
// steady interval measured from the first, not from the end of the one
// before; a round that overruns is followed at once. A failed request does
// not end the polling: a connection that was lost is made again at the
// next request. A device that cannot be reached in the first round is most
// likely a wrong address, and ends the polling at once.
class PollSession {
public:
    PollSession(const PollOptions& options, PollDevice& device, Report& report);
    ~PollSession();
    PollSession(const PollSession&) = delete;
    PollSession& operator=(const PollSession&) = delete;

    // Runs until the polls are done or `stopRequested` answers true, which
    // ends the polling once the request under way has finished. Answers
    // the exit status.
    tvktool::ExitStatus run(Quorvan::CtvkEventLoop& loop, const std::function<bool()>& stopRequested);
    // `stopRequested` has just turned true: between rounds the polling
    // ends at once.
    void stopRequestArrived();

private:
    using Clock = std::chrono::steady_clock;

    // Starts the next round when it is due, waits for it, or ends the
    // polling.
    void next();
    void startRound();
    // Sends the request for the next slave of the round, or closes it.
    void sendNext();
    void closeRound();
    void finished();
    void fail(int slave, const Failure& failure);
    // Under -v, OpenSSL's own words for a TLS failure.
    void tellDetail();

    const PollOptions& m_o;
    PollDevice& m_device;
    Report& m_report;
    std::function<bool()> m_stopRequested;
    Quorvan::CtvkEventLoop* m_loop = nullptr;
    Quorvan::CtvkTimer m_roundTimer;   // until the next round is due
    bool m_finished = false;

    std::vector<unsigned short> m_words;   // what a write writes
    long m_poll = 0;
    Clock::time_point m_nextRound;
    std::size_t m_nextSlave = 0;
    bool m_roundOpen = false;
    // A connection that failed in this round fails the rest of it too.
    std::string m_roundConnectionError;
    bool m_reachedDevice = false;   // some request got an answer, in this round or before
    bool m_unreachable = false;
    bool m_misconfigured = false;   // this end's own settings are at fault
    long m_requests = 0;
    long m_failed = 0;
    Quorvan::CtvkModbusReply* m_reply = nullptr;
    int m_replySlave = 0;
    Clock::time_point m_sentAt;
};

} // namespace tvkpoll

#endif
