// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSCLIENT_H
#define TVKMODBUSCLIENT_H

#include "tvkmodbusdevice.h"

#include "tvkmodbusdataunit.h"

#include <functional>
#include <vector>

namespace Quorvan {

class CtvkModbusClientPrivate;
class CtvkModbusReply;

// The requesting side, in two forms.
//
// Blocking: each send... request is tried up to numberOfRetries() times on
// the device's context and blocks until an answer or the response timeout.
// A failure after the last attempt is recorded once (ReadError or
// WriteError); a success leaves the recorded error as it was.
//
// Asynchronous: after connectDevice(), sendReadRequest(),
// sendWriteRequest() and sendReadWriteRequest() return a reply at once and
// the request runs on the event loop: numberOfRetries() attempts, each
// waiting the response timeout (the context's, as setTimeout() sets it),
// and nothing in between blocks. A failure is recorded on the device as the
// blocking requests record it. A blocking request made while asynchronous
// ones are waiting or on the wire would take their answers (or they its
// own): it fails at once, nothing sent, with ReadError or WriteError.
// On a serial line the response timeout runs to the answer's first byte and
// the byte timeout between its bytes, as for the blocking requests; after an
// attempt that timed out or got a broken answer, the next request waits one
// response timeout, and what arrives meanwhile is dropped.
class TVK_FIELDLINK_EXPORT CtvkModbusClient : public CtvkModbusDevice {
public:
    TVK_DECLARE_PRIVATE(CtvkModbusClient)

    // The asynchronous connection, reported by "stateChanged(int)".
    enum State {
        UnconnectedState = 0,
        ConnectingState = 1,
        ConnectedState = 2,
        ClosingState = 3
    };

    explicit CtvkModbusClient(CtvkObject* parent = nullptr);
    CtvkModbusClient(CtvkModbusClientPrivate* d, CtvkObject* parent);
    ~CtvkModbusClient() override;

    // Also ends the asynchronous connection.
    void close() override;

    int numberOfRetries() const;
    void setNumberOfRetries(int number);   // negative values are ignored

    bool sendReadColis(int address, int count, unsigned char* destination);
    bool sendReadDiscreteInputs(int address, int count, unsigned char* destination);
    bool sendReadHoldingRegisters(int address, int count, unsigned short* destination);
    bool sendReadInputRegisters(int address, int count, unsigned short* destination);
    bool sendWriteSingleColis(int address, int state);
    bool sendWriteMultiCoils(int address, int count, unsigned char* source);
    bool sendWriteSingleRegisters(int address, unsigned short value);
    bool sendWriteMultigisters(int address, int count, unsigned short* source);

    // Connects without blocking (TCP: within the connect timeout); false
    // when that failed at once, with ConnectionError recorded. Requests
    // made while connecting wait for the connection. It makes the context
    // if there is none, so setTimeout() works from here on, as after open().
    // With reconnects on, only settings that cannot work answer false; any
    // other failure is tried again.
    bool connectDevice();
    // Every open request finishes with ConnectionError; reconnecting stops.
    void disconnectDevice();
    State state() const;

    // How long one connect attempt may take (TCP: the connection and the
    // TLS handshake), in milliseconds; 0, the default, is the response
    // timeout. Unlike setTimeout() it needs no context, so it can be set
    // before the first connectDevice(). Negative values are ignored.
    void setConnectTimeout(int milliseconds);
    int connectTimeout() const;

    // Reconnects, off until set: once the connection is lost or an attempt
    // fails, the client connects again by itself, first after firstDelayMs,
    // then each time after twice the delay before, at most maximumDelayMs,
    // until it is connected or disconnectDevice() is called. Meanwhile the
    // state stays ConnectingState: "stateChanged(int)" tells the loss once
    // and the new connection once, and an attempt that fails records its
    // error only when it differs from the failure before. A firstDelayMs
    // of 0 turns reconnects off (an outage under way then ends unconnected).
    void setAutoReconnect(int firstDelayMs, int maximumDelayMs);
    int autoReconnectFirstDelay() const;
    int autoReconnectMaximumDelay() const;
    // Requests made while the client reconnects finish at once with
    // ConnectionError; with `wait`, they wait for the connection instead,
    // and so do those not sent yet when it was lost.
    void setRequestsWaitForReconnect(bool wait);
    bool requestsWaitForReconnect() const;
    // The attempts the client made by itself since the connection was last
    // lost or connectDevice() was called, the one that succeeded included;
    // kept once connected, until the next loss.
    int reconnectAttempts() const;

    // Reads as many values as `read` holds (their contents are ignored) of
    // its register type from its start address. A request made while
    // unconnected, or one that cannot be sent (a count or type the
    // protocol does not take), finishes with an error on the loop.
    CtvkModbusReply* sendReadRequest(const CtvkModbusDataUnit& read, int serverAddress);
    // Writes coils or holding registers: one value with the single write,
    // several with the multiple write. On a serial line, server address 0
    // is a broadcast: it goes out once and succeeds after the turnaround,
    // answered by nobody. Any request that reads (this one excepted, raw
    // ones included) is refused there at once.
    CtvkModbusReply* sendWriteRequest(const CtvkModbusDataUnit& write, int serverAddress);
    // Function 23: writes `write`, then reads `read`, holding registers both.
    CtvkModbusReply* sendReadWriteRequest(const CtvkModbusDataUnit& read, const CtvkModbusDataUnit& write,
                                          int serverAddress);

    // Any request: `pdu` is its function code and data as they go on the
    // wire (at most 253 bytes); rawResult() gives the answer PDU, and an
    // exception answer is the error it is for the others; result() holds
    // no values. On a serial line an answer whose length no rule of its
    // function gives (device identification, user-defined codes) ends at
    // the first CRC that holds.
    CtvkModbusReply* sendRawRequest(const std::vector<unsigned char>& pdu, int serverAddress);

    // Every frame the asynchronous requests send and every one they take as
    // an answer, as it is on the wire (MBAP header or slave address and
    // CRC included): for tools that show the traffic. Null, the default:
    // nothing is called.
    void setFrameObserver(std::function<void(bool sent, const unsigned char* frame, int length)> observer);

    // Requests on the wire at once over TCP (default 1, at most 64); a
    // serial line takes one at a time whatever this says.
    int maximumRequestsInFlight() const;
    void setMaximumRequestsInFlight(int number);
};

} // namespace Quorvan

#endif
