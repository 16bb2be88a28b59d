// SPDX-License-Identifier: MIT
#ifndef DEMO_LINK_H
#define DEMO_LINK_H

#include "tvkmodbusclient.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

class DemoView;

namespace Quorvan {
class CtvkModbusDataUnit;
class CtvkModbusReply;
}

// One process value that a device holds in a holding register. A register
// holds an integer; `scale` turns it into the engineering value (a register
// of 215 with scale 10 is 21.5).
struct DemoPoint {
    unsigned id;
    int reg;
    double scale;
    const char* name;
};

// What became of a device's polls, all of them or those started while a
// window of the run was open; times on the view's clock.
struct DemoPollTally {
    long started = 0;
    long ok = 0;
    long failed = 0;
    long timedOut = 0;   // of the failed ones: no answer within the attempts
    double firstOkAt = -1;
    double lastOkAt = -1;

    void count(bool failedPoll, bool noAnswer, double now);
    // Polls ok per second from the first to the last, 0 with fewer than two.
    double okRate() const;
};

// One polled device: a client, the points it holds, and what the panel has
// seen of it. Register 0 of each device is the panel's heartbeat: the panel
// writes a new count every cycle and reads it back with the rest, as PLC
// links do to prove that both ends are alive.
//
// Every request is asynchronous: a cycle only sends, and the answers come
// back through the event loop, so a device that does not answer costs the
// panel nothing but its own failed polls.
class DemoLink : public Quorvan::CtvkObject {
public:
    DemoLink(std::string name, std::string where, Quorvan::CtvkModbusClient* client, int unit,
             std::vector<DemoPoint> points, DemoView* view);
    // Requests still open are dropped with their replies.
    ~DemoLink() override;

    // The time each attempt waits for an answer, applied at each connect;
    // 0 leaves the client's own.
    void setResponseTimeoutMs(int ms) { m_responseTimeoutMs = ms; }

    // Starts connecting; false with the reason in lastError().
    bool start();
    // One poll cycle: a poll when the last one has ended. A lost link is
    // made again by the client itself, and counts as recovered once the
    // device answers a poll again.
    void cycle();
    // A value the panel stored for one of this device's points goes to the
    // device; the next poll must read it back.
    void write(unsigned id, double value);

    // Polls started from openWindow() until closeWindow() are counted in
    // window(), however late they end.
    void openWindow();
    void closeWindow() { m_windowOpen = false; }
    const DemoPollTally& window() const { return m_window; }
    // okRate() of the polls before the window opened.
    double rateBeforeWindow() const { return m_rateBefore; }

    bool holds(unsigned id) const { return findPoint(id) != nullptr; }
    bool knows(unsigned id) const { return m_last.count(id) != 0; }
    double last(unsigned id) const { return m_last.count(id) ? m_last.at(id) : 0.0; }
    std::string format(unsigned id) const;
    // Polls that ended well since the last call, for the rate shown once a
    // second.
    long takeOkPolls();

    const std::string& name() const { return m_name; }
    const std::string& where() const { return m_where; }
    const std::vector<DemoPoint>& points() const { return m_points; }
    bool up() const { return !m_down; }
    long ok() const { return m_all.ok; }
    long failed() const { return m_all.failed; }
    long timedOut() const { return m_all.timedOut; }
    long errors() const { return m_errors; }
    // Reconnect attempts over the run, those of an outage still under way
    // included.
    long attempts() const;
    long recoveries() const { return m_recoveries; }
    long writes() const { return m_writes; }
    long readBacks() const { return m_readBacks; }
    // Whether an edit came to this device and its story is told: its write
    // answered (well or not) and, if it went well, read back.
    bool editSettled() const { return m_writesAsked > 0 && m_writesOpen == 0 && m_expectId == 0; }
    const std::string& lastError() const { return m_lastError; }
    // When the last error came and when the device last answered again
    // after failing, on the view's clock; -1 for never.
    double lastErrorAt() const { return m_lastErrorAt; }
    double recoveredAt() const { return m_recoveredAt; }

private:
    using Reply = Quorvan::CtvkModbusReply;

    bool connectClient();
    void noteError(const std::string& text);
    void stateChanged(int state);
    void poll();
    // Keeps `reply` until it finishes, then hands it to `finished` and
    // deletes it later.
    void send(Reply* reply, std::function<void(Reply*)> finished);
    // The poll under way ends, failed by `failed` or well.
    void endPoll(Reply* failed);
    // A poll's values go to the data distribution.
    void take(const Quorvan::CtvkModbusDataUnit& read);
    const DemoPoint* findPoint(unsigned id) const;
    int registerCount() const;

    std::string m_name;
    std::string m_where;
    Quorvan::CtvkModbusClient* m_client;
    int m_unit;
    std::vector<DemoPoint> m_points;
    DemoView* m_view;
    int m_responseTimeoutMs = 0;
    std::map<unsigned, double> m_last;

    // Replies not finished yet.
    std::vector<Reply*> m_open;
    bool m_polling = false;
    bool m_pollInWindow = false;

    int m_seenState = Quorvan::CtvkModbusClient::UnconnectedState;
    bool m_lost = false;   // the connection went, and the client is making it again
    bool m_down = true;
    bool m_everUp = false;
    unsigned short m_heartbeat = 0;
    long m_errors = 0, m_attempts = 0, m_attemptsThisOutage = 0;
    long m_failedThisOutage = 0;
    long m_recoveries = 0, m_writes = 0, m_readBacks = 0, m_okPolls = 0, m_okPollsSeen = 0;
    unsigned m_expectId = 0;
    long m_writesAsked = 0;   // edits handed to write(), sent or not
    int m_writesOpen = 0;     // writes on their way to the device
    double m_expectValue = 0;
    std::string m_lastError;
    double m_lastErrorAt = -1;
    double m_recoveredAt = -1;

    bool m_windowOpen = false;
    DemoPollTally m_all;
    DemoPollTally m_window;
    double m_rateBefore = 0;
};

#endif
