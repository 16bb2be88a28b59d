// SPDX-License-Identifier: MIT
#ifndef TVKRTUFRAMER_P_H
#define TVKRTUFRAMER_P_H

#include "tvkfieldlink_global.h"
#include "tvkmodbuspdu_p.h"

#include <modbus.h>

namespace Quorvan {

namespace rtu {

// What a serial device prints when its line cannot be opened.
constexpr const char* kConnectFailedLine = "connect failed";

// Parity character libmodbus takes for the device's parity code.
char parityCharacter(int parity);
// A fresh RTU context from a device's serial parameters (parity as the
// device stores it); null when libmodbus refuses them (errno set).
modbus_t* newContext(const char* device, int baudRate, int parity, int dataBits, int stopBits);

} // namespace rtu

// Finds Modbus RTU frames in the bytes a serial line delivers, whatever way
// they were cut into reads. A frame ends where the length rules of its
// function code say (as a request, or as the answer of another slave) and
// its CRC holds; a function code without known rules ends at the first CRC
// that holds. What never forms a frame is dropped a byte at a time, so
// noise, a broken CRC or a cut-off frame costs at most the frame it hit:
//  - the first complete, CRC-correct request for this device found behind
//    bytes that are still waiting for their end marks those bytes as noise;
//  - discardPending() drops a frame the line left unfinished (the caller
//    calls it after a silence no frame has inside).
// Frames for other slaves and their answers are consumed and counted, never
// handed out. Pure code: no I/O, no clock.
class TVK_FIELDLINK_EXPORT CtvkRtuFramer {
public:
    static constexpr int kMaxFrameBytes = rtu::kMaxFrameBytes;
    static constexpr int kMinFrameBytes = rtu::kMinFrameBytes;
    static constexpr int kCapacityBytes = 2 * kMaxFrameBytes;

    struct Frame {
        const unsigned char* data = nullptr;   // valid until the framer is next changed
        int length = 0;                        // CRC included
        bool broadcast = false;                // address 0: apply, never answer
    };
    struct Counters {
        unsigned long requests = 0;         // for this device, handed out
        unsigned long broadcasts = 0;       // handed out
        unsigned long otherRequests = 0;    // for other slaves
        unsigned long otherAnswers = 0;     // answers of other slaves
        unsigned long droppedBytes = 0;     // noise, broken frames, unfinished frames
    };

    // `slave` 1..247 answers to its own address; any other value takes
    // only broadcasts.
    explicit CtvkRtuFramer(int slave = 0);

    void setSlave(int slave);
    void clear();

    // Where the next bytes go and how many fit; commit() takes them. After
    // next() has answered false there is room for at least kMaxFrameBytes bytes.
    unsigned char* writable() { compact(); return m_buffer + m_end; }
    int room() const { return kCapacityBytes - pendingBytes(); }
    void commit(int count);
    // Copies what fits; answers how many bytes were taken.
    int append(const unsigned char* bytes, int count);

    void discardPending();
    // The next request for this device or broadcast, if one is complete.
    bool next(Frame* frame);

    int pendingBytes() const { return m_end - m_begin; }
    const Counters& counters() const { return m_counters; }

private:
    enum class Verdict { Complete, Waiting, Broken };
    enum class Kind { Request, Answer };
    struct Reading {
        Verdict verdict = Verdict::Broken;
        int length = 0;
        Kind kind = Kind::Request;
    };

    Reading read(int at, bool ownOnly) const;
    bool isOwn(int address) const;
    void compact();

    unsigned char m_buffer[kCapacityBytes] = {};
    int m_begin = 0;
    int m_end = 0;
    int m_address = -1;   // own address, -1 when only broadcasts are taken
    // The last request seen for another slave: its answer comes next.
    int m_expectAddress = -1;
    int m_expectFunction = -1;
    Counters m_counters;
};

} // namespace Quorvan

#endif
