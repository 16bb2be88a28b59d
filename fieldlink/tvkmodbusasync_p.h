// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSASYNC_P_H
#define TVKMODBUSASYNC_P_H

#include "tvkmodbusclient.h"
#include "tvkmodbusdataunit.h"
#include "tvkmodbuspdu_p.h"
#include "tvkmodbusreply.h"
#include "tvkmodbusstream_p.h"
#include "tvkmodbustcpclient.h"
#include "tvkmodbustls.h"
#include "tvkmodbustls_p.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace Quorvan {

class CtvkModbusClientPrivate;
class CtvkSocketNotifier;

// One asynchronous request from the send call to its end.
struct CtvkModbusRequest {
    CtvkModbusReply* reply = nullptr;   // null once the caller deleted it
    std::uint8_t pdu[pdu::kMaxPduBytes] = {};
    int pduLength = 0;
    int unit = 0;
    // The register type and start address the result carries; a write
    // keeps the values it wrote.
    CtvkModbusDataUnit result;
    CtvkModbusDevice::Error failure = CtvkModbusDevice::ReadError;
    int attemptsLeft = 0;
    int transactionId = -1;   // TCP: of the attempt on the wire
    int timerId = 0;          // the attempt's time limit
    bool broadcast = false;   // serial line, unit 0: applied by all, answered by none
    bool raw = false;         // any answer to its function is taken as it comes
    std::vector<std::uint8_t> rawAnswer;
};

// Why a transport could not start, could not send, or went down: an errno
// value (libmodbus's text for it), or words of its own (a TLS handshake
// refused), with the error to record; or one the transport has recorded on
// the device already. Empty: nothing went wrong.
struct CtvkLinkFault {
    int err = 0;
    std::string text;
    CtvkModbusDevice::Error code = CtvkModbusDevice::ConnectionError;
    bool recorded = false;

    static CtvkLinkFault none() { return CtvkLinkFault(); }
    static CtvkLinkFault ofErrno(int err)
    {
        CtvkLinkFault f;
        f.err = err;
        return f;
    }
    static CtvkLinkFault inWords(int err, std::string text)
    {
        CtvkLinkFault f;
        f.err = err;
        f.text = std::move(text);
        return f;
    }
    bool failed() const { return err != 0 || !text.empty() || recorded; }
};

// The asynchronous side of a client: queues requests, frames them through
// the protocol unit, sends them without blocking, matches the answers the
// event loop delivers, and gives each attempt its time limit. Replies
// finish through the loop (CtvkModbusReplyPrivate::finishLater), and
// "stateChanged(int)" and a lost connection are told from the loop too, so
// no handler of the host runs inside this object's own code, where it could
// destroy the device under it. A transport (TCP, the serial line) derives
// from it.
class CtvkModbusAsyncLink : public CtvkObject {
public:
    // The most requests a TCP link keeps on the wire at once.
    static constexpr int kMostInFlight = 64;

    explicit CtvkModbusAsyncLink(CtvkModbusClientPrivate* client);
    ~CtvkModbusAsyncLink() override;

    CtvkModbusClient::State state() const { return m_state; }

    // Starts connecting; false (the error recorded) when that failed at once.
    bool connectDevice();
    // Ends the connection; every request still open finishes with
    // ConnectionError.
    void disconnectDevice();

    // Takes a request built by the client and hands out its reply.
    CtvkModbusReply* submit(std::unique_ptr<CtvkModbusRequest> request);
    // A reply that finishes (on the loop) with the error given, nothing sent.
    CtvkModbusReply* refuse(int serverAddress, CtvkModbusDevice::Error code, int err);

    // The reply of `request` is gone: its answer will be dropped.
    void forget(CtvkModbusRequest* request);
    // Whether requests are waiting or on the wire: a blocking request now
    // would take their answers, or they its own.
    bool busy() const { return !m_queue.empty() || !m_inFlight.empty(); }
    // A blocking request is about to use a line whose answers are matched
    // by order: what a failed attempt may still send is waited out (the
    // caller blocks anyway, and no longer than one response timeout), and
    // what came unasked is dropped. False once the line failed (linkDown
    // has run, and its handlers may have destroyed the device).
    bool settleForBlocking();

    int maximumInFlight() const { return m_maximumInFlight; }
    void setMaximumInFlight(int number);

    // The client's reconnect settings changed: turned off while an outage
    // is under way, it ends unconnected.
    void reconnectSettingsChanged();
    int reconnectAttempts() const { return m_attempts; }

protected:
    // Starts connecting the transport: no fault while connecting or once
    // connected (linkUp() called), else why it failed at once.
    virtual CtvkLinkFault openTransport() = 0;
    // Closes the transport; nothing of it is watched afterwards.
    virtual void closeTransport() = 0;
    // How many requests may be on the wire at once.
    virtual int capacity() const { return m_maximumInFlight; }
    // Milliseconds the line must still stay silent before the next
    // request may go (the serial line's inter-frame gap).
    virtual int silenceLeftMs() const { return 0; }
    // Whether answers are matched to requests only by coming next (no
    // transaction id): after an attempt that failed on the wire, a late
    // answer could pass for the next request's, so the line is left one
    // response timeout to fall quiet, and what came meanwhile is dropped.
    virtual bool matchedByOrder() const { return false; }
    // Drops what arrived unasked since the last answer, before a request
    // goes; a fault when the connection failed.
    virtual CtvkLinkFault dropUnasked() { return CtvkLinkFault::none(); }
    // Frames and writes one attempt of `request` (transaction id already
    // set); a fault when the connection failed.
    virtual CtvkLinkFault sendRequest(CtvkModbusRequest* request) = 0;
    // An attempt ended without an answer; the next attempt starts clean.
    virtual void attemptFailed() {}

    // What the transports report.
    void linkUp();
    void linkDown(const CtvkLinkFault& fault);
    // An answer PDU for the request on the wire with `transactionId` (the
    // serial line passes the one request it has in flight).
    void answerArrived(CtvkModbusRequest* request, const std::uint8_t* answer, int length);
    // The first bytes of `request`'s answer are in (or more of them): the
    // response timeout ran to the first; from here each byte has the byte
    // timeout, as for the blocking requests.
    void answerUnderWay(CtvkModbusRequest* request);
    // Tells the client's frame observer, if any.
    void observeFrame(bool sent, const std::uint8_t* frame, int length) const;
    // The request on the wire with this transaction id, or null.
    CtvkModbusRequest* inFlight(int transactionId) const;
    CtvkModbusRequest* firstInFlight() const;
    // Sends what the queue holds, as far as the transport takes it.
    void pump();

    int responseTimeoutMs() const;
    // The limit of one connect attempt: the client's, else the response timeout.
    int connectTimeoutMs() const;
    void timerEvent(CtvkTimerEvent* e) override;

    CtvkModbusClientPrivate* const m_client;

private:
    // Posts "stateChanged(int)" when the state really changes.
    void setState(CtvkModbusClient::State state);
    // Records the fault on the device (which emits "errorOccurred").
    void record(const CtvkLinkFault& fault);
    // Opens the transport; false when it failed at once and nothing
    // follows (the error recorded, the state unconnected).
    bool openOrRetry();
    // Whether a failure to connect is tried again: reconnects are on, and
    // the settings could work.
    bool retries(const CtvkLinkFault& fault) const;
    // The connection is down and will be made again: the next attempt is
    // timed, and the failure told if it is news.
    void retryLater(const CtvkLinkFault& fault);
    void reconnectNow();
    void startAttempt(std::unique_ptr<CtvkModbusRequest> request);
    // `sent`: the attempt went out, so what it leaves on the wire must
    // pass before the next one goes.
    void retryOrFail(std::unique_ptr<CtvkModbusRequest> request, int err, bool sent = true);
    void armSilenceTimer(int ms);
    // Takes the request out of the flight list.
    std::unique_ptr<CtvkModbusRequest> land(CtvkModbusRequest* request);
    void succeed(std::unique_ptr<CtvkModbusRequest> request, const std::uint16_t* values, int count);
    void fail(std::unique_ptr<CtvkModbusRequest> request, CtvkModbusDevice::Error code, int err,
              int exceptionCode = 0);
    // Every open request fails with ConnectionError and `err`, in order;
    // answers how many there were. With `keepQueued`, those not sent yet
    // stay for the next connection.
    int failAll(int err, bool keepQueued = false);
    bool event(CtvkEvent* e) override;

    CtvkModbusClient::State m_state = CtvkModbusClient::UnconnectedState;
    std::deque<std::unique_ptr<CtvkModbusRequest>> m_queue;
    std::vector<std::unique_ptr<CtvkModbusRequest>> m_inFlight;   // in the order sent
    int m_maximumInFlight = 1;
    int m_nextTransactionId = 0;
    int m_silenceTimer = 0;
    using Clock = std::chrono::steady_clock;
    // After a failed attempt on a link without ids: no request goes before.
    Clock::time_point m_recoveredAt;
    // The request in front waits for the line to fall quiet until then.
    bool m_waitingForQuiet = false;
    Clock::time_point m_quietDeadline;
    std::string m_failureText;   // while failAll() runs for linkDown()
    // Reconnecting: from a failure with reconnects on until the link is up
    // or the host disconnects.
    bool m_retrying = false;
    int m_reconnectTimer = 0;
    int m_nextDelayMs = 0;
    int m_attempts = 0;
    // The failure last told in this outage, so a repeat is not told again.
    int m_toldErr = 0;
    std::string m_toldText;
};

// The link of a device that has no transport of its own: it never connects.
class CtvkModbusNoLink : public CtvkModbusAsyncLink {
public:
    using CtvkModbusAsyncLink::CtvkModbusAsyncLink;

protected:
    CtvkLinkFault openTransport() override;
    void closeTransport() override {}
    CtvkLinkFault sendRequest(CtvkModbusRequest*) override { return CtvkLinkFault::ofErrno(ENOTCONN); }
};

// Modbus TCP: one non-blocking connection, several requests in flight,
// answers matched by transaction id.
class CtvkModbusTcpLink : public CtvkModbusAsyncLink {
public:
    // Connects to the device's NetworkAddress and NetworkPort as they are
    // at each connectDevice(); with TLS as `tls` says then. `detail`
    // receives OpenSSL's own words for a TLS failure.
    CtvkModbusTcpLink(CtvkModbusClientPrivate* client, const CtvkModbusTlsConfiguration* tls, std::string* detail,
                      const CtvkModbusTcpClient::Framing* framing);
    ~CtvkModbusTcpLink() override;

protected:
    CtvkLinkFault openTransport() override;
    void closeTransport() override;
    CtvkLinkFault sendRequest(CtvkModbusRequest* request) override;
    // RTU frames carry no transaction id: one request at a time.
    int capacity() const override;
    bool matchedByOrder() const override;
    CtvkLinkFault dropUnasked() override;
    void attemptFailed() override;
    void timerEvent(CtvkTimerEvent* e) override;

private:
    bool rtu() const { return *m_framing == CtvkModbusTcpClient::RtuFraming; }
    // The answers in what has arrived, framed as Modbus/TCP or as RTU.
    void mbapFrames(const std::uint8_t* data, std::size_t available, std::size_t* used);
    void rtuFrames(const std::uint8_t* data, std::size_t available, std::size_t* used);
    // Tries the addresses still to try, in order; a fault once none is left.
    CtvkLinkFault connectNext();
    void resolved();
    void connectFinished();
    // Moves the TLS handshake on; the link is up once it is done.
    void handshake();
    void frames(const std::uint8_t* data, std::size_t available);
    void readable();
    void writable();
    // Whether the socket's readiness to take more is watched (the writer
    // is made the first time it is).
    void watchWrites(bool on);
    void dropStream();
    // The fault a failed stream call comes to.
    CtvkLinkFault faultOf(const CtvkModbusStream::Result& r, const char* doing);

    class Resolution;
    std::shared_ptr<Resolution> m_resolving;
    CtvkSocketNotifier* m_resolved = nullptr;
    std::vector<std::vector<unsigned char>> m_addresses;   // sockaddr bytes still to try
    std::unique_ptr<CtvkModbusStream> m_stream;
    bool m_connecting = false;
    int m_connectTimer = 0;
    CtvkLinkFault m_lastFault;
    CtvkSocketNotifier* m_reader = nullptr;
    CtvkSocketNotifier* m_writer = nullptr;
    std::vector<std::uint8_t> m_in;
    const CtvkModbusTlsConfiguration* const m_tls;
    std::string* const m_detail;
    const CtvkModbusTcpClient::Framing* const m_framing;
    tls::Context m_context;   // made at each connect from the settings then
};

// Modbus RTU: the line of the device's libmodbus context, one request in
// flight, the inter-frame silence kept, answers found by slave, function
// and CRC.
class CtvkModbusRtuLink : public CtvkModbusAsyncLink {
public:
    explicit CtvkModbusRtuLink(CtvkModbusClientPrivate* client);
    ~CtvkModbusRtuLink() override;

protected:
    CtvkLinkFault openTransport() override;
    void closeTransport() override;
    int capacity() const override { return 1; }
    int silenceLeftMs() const override;
    bool matchedByOrder() const override { return true; }
    CtvkLinkFault dropUnasked() override;
    CtvkLinkFault sendRequest(CtvkModbusRequest* request) override;
    void attemptFailed() override;

private:
    using Clock = std::chrono::steady_clock;
    void readable();
    // Reads what the line holds into `chunk`: how many bytes (0: none
    // now), or -1 with `fault` set once the line has failed (it is closed
    // then, so the next connect opens it afresh).
    int readLine(std::uint8_t* chunk, int size, CtvkLinkFault* fault);
    CtvkLinkFault lineFailed(int err);
    // Whether what has arrived is (so far) the request's own echo, heard
    // back from an adapter that hears itself: it is dropped, and no answer.
    bool holdsEcho(Clock::time_point now);

    int m_line = -1;
    CtvkSocketNotifier* m_reader = nullptr;
    std::vector<std::uint8_t> m_in;
    // When the line last carried a byte (or will have sent the last one).
    Clock::time_point m_lineFreeAt;
    long long m_gapUs = 0;         // the silence between two frames
    long long m_characterUs = 0;   // one character, as the line's settings frame it
    // The frame on the line, while its echo may still be coming: an echo
    // ends no sooner than the frame has left and no later than the pause
    // a frame may have within it.
    std::vector<std::uint8_t> m_sent;
    bool m_echoPossible = false;
    Clock::time_point m_echoEarliest;
    Clock::time_point m_echoLatest;
};

} // namespace Quorvan

#endif
