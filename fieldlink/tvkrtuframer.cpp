#include "tvkrtuframer_p.h"

#include <algorithm>
#include <cstring>

namespace Quorvan {

namespace rtu {

char parityCharacter(int parity)
{
    switch (parity) {
    case 2: return 'E';
    case 3: return 'O';
    default: return 'N';
    }
}

modbus_t* newContext(const char* device, int baudRate, int parity, int dataBits, int stopBits)
{
    return modbus_new_rtu(device, baudRate, parityCharacter(parity), dataBits, stopBits);
}

namespace {

struct CrcTable {
    unsigned short entry[256];
    CrcTable()
    {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned crc = i;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
            entry[i] = static_cast<unsigned short>(crc);
        }
    }
};

const CrcTable crcTable;

} // namespace

unsigned short crcStep(unsigned short crc, unsigned char byte)
{
    return static_cast<unsigned short>((crc >> 8) ^ crcTable.entry[(crc ^ byte) & 0xFFu]);
}

unsigned short crc16(const unsigned char* data, int length)
{
    unsigned short crc = 0xFFFF;
    for (int i = 0; i < length; ++i)
        crc = crcStep(crc, data[i]);
    return crc;
}

} // namespace rtu

namespace {

// Length rule of one reading of a frame: a length, "the byte that tells the
// length has not come yet", or "no rule known for this function code".
constexpr int NeedMore = 0;
constexpr int NoRule = -1;

// A request as a master sends it, from its first n bytes.
int requestLength(const unsigned char* f, int n)
{
    switch (f[1]) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 8:
        return 8;
    case 7: case 11: case 12: case 17:
        return 4;
    case 15: case 16:   // address, quantity, byte count, values
        return n > 6 ? 9 + f[6] : NeedMore;
    case 20: case 21:   // byte count, sub-requests
        return n > 2 ? 5 + f[2] : NeedMore;
    case 22:            // address, AND mask, OR mask
        return 10;
    case 23:            // read address and quantity, write address, quantity, byte count, values
        return n > 10 ? 13 + f[10] : NeedMore;
    case 24:            // FIFO pointer address
        return 6;
    default:
        return NoRule;
    }
}

// The answer of a slave, from its first n bytes.
int answerLength(const unsigned char* f, int n)
{
    if (f[1] & 0x80)
        return 5;   // exception code
    switch (f[1]) {
    case 1: case 2: case 3: case 4: case 12: case 17: case 20: case 21: case 23:
        return n > 2 ? 5 + f[2] : NeedMore;
    case 5: case 6: case 8: case 11: case 15: case 16:
        return 8;
    case 7:
        return 5;
    case 22:
        return 10;
    case 24:            // two-byte byte count
        return n > 3 ? 6 + ((f[2] << 8) | f[3]) : NeedMore;
    default:
        return NoRule;
    }
}

bool crcHolds(const unsigned char* f, int length)
{
    const unsigned short sent = static_cast<unsigned short>(f[length - 2] | (f[length - 1] << 8));
    return rtu::crc16(f, length - 2) == sent;
}

// Shortest prefix of at least MinFrame bytes whose CRC holds; 0 if none.
int shortestHolding(const unsigned char* f, int n)
{
    const int last = std::min(n, CtvkRtuFramer::MaxFrame);
    unsigned short crc = 0xFFFF;
    for (int k = 0; k + 3 <= last; ++k) {
        crc = rtu::crcStep(crc, f[k]);   // CRC of the first k + 1 bytes
        const int length = k + 3;
        if (length >= CtvkRtuFramer::MinFrame
            && crc == static_cast<unsigned short>(f[k + 1] | (f[k + 2] << 8)))
            return length;
    }
    return 0;
}

} // namespace

CtvkRtuFramer::CtvkRtuFramer(int slave)
{
    setSlave(slave);
}

void CtvkRtuFramer::setSlave(int slave)
{
    m_address = (slave >= 1 && slave <= 247) ? slave : -1;
}

void CtvkRtuFramer::clear()
{
    m_begin = m_end = 0;
    m_expectAddress = -1;
}

bool CtvkRtuFramer::isOwn(int address) const
{
    return address == 0 || address == m_address;
}

void CtvkRtuFramer::compact()
{
    if (m_begin == 0)
        return;
    std::memmove(m_buffer, m_buffer + m_begin, std::size_t(m_end - m_begin));
    m_end -= m_begin;
    m_begin = 0;
}

void CtvkRtuFramer::commit(int count)
{
    // Bytes written at writable(), which moved what was pending to the front.
    m_end += std::clamp(count, 0, Capacity - m_end);
}

int CtvkRtuFramer::append(const unsigned char* bytes, int count)
{
    compact();
    const int taken = std::clamp(count, 0, room());
    std::memcpy(m_buffer + m_end, bytes, std::size_t(taken));
    m_end += taken;
    return taken;
}

void CtvkRtuFramer::discardPending()
{
    m_counters.droppedBytes += static_cast<unsigned long>(m_end - m_begin);
    m_begin = m_end = 0;
}

CtvkRtuFramer::Reading CtvkRtuFramer::read(int at, bool ownOnly) const
{
    const unsigned char* f = m_buffer + at;
    const int n = m_end - at;
    Reading result;
    if (n < 2) {
        result.verdict = Verdict::Waiting;
        return result;
    }
    const bool own = isOwn(f[0]);
    if (ownOnly && (!own || (f[1] & 0x80)))
        return result;   // Broken: not a request for this device

    // Readings in order of preference: a frame for this device is a request
    // (its answers come from here); one for another slave is that slave's
    // answer when a request to it was just seen, else a request to it.
    struct Candidate { int length; Kind kind; };
    Candidate candidates[2];
    int count = 0;
    if (own && !(f[1] & 0x80)) {
        candidates[count++] = {requestLength(f, n), Kind::Request};
    } else {
        const bool expected = f[0] == m_expectAddress && (f[1] & 0x7F) == m_expectFunction;
        const Candidate request{requestLength(f, n), Kind::Request};
        const Candidate answer{answerLength(f, n), Kind::Answer};
        if (f[1] & 0x80) {
            candidates[count++] = answer;
        } else if (expected) {
            candidates[count++] = answer;
            candidates[count++] = request;
        } else {
            candidates[count++] = request;
            candidates[count++] = answer;
        }
    }

    bool waiting = false;
    for (int i = 0; i < count; ++i) {
        int length = candidates[i].length;
        if (length == NeedMore) {
            waiting = true;
            continue;
        }
        if (length == NoRule) {
            // Without rules only the CRC can end the frame; the lookahead
            // for this device's requests takes no such guess.
            if (ownOnly)
                continue;
            length = shortestHolding(f, n);
            if (length == 0) {
                waiting = waiting || n < MaxFrame;
                continue;
            }
        } else if (length < MinFrame || length > MaxFrame) {
            continue;
        } else if (length > n) {
            waiting = true;
            continue;
        } else if (!crcHolds(f, length)) {
            continue;
        }
        // The shortest complete reading wins: waiting for a longer one would
        // hold back every frame behind it.
        if (result.verdict != Verdict::Complete || length < result.length) {
            result.verdict = Verdict::Complete;
            result.length = length;
            result.kind = candidates[i].kind;
        }
    }
    if (result.verdict != Verdict::Complete && waiting)
        result.verdict = Verdict::Waiting;
    return result;
}

bool CtvkRtuFramer::next(Frame* frame)
{
    for (;;) {
        if (m_end - m_begin < MinFrame)
            return false;
        const Reading r = read(m_begin, false);
        if (r.verdict == Verdict::Complete) {
            const unsigned char* f = m_buffer + m_begin;
            m_begin += r.length;
            if (r.kind == Kind::Request && isOwn(f[0]) && !(f[1] & 0x80)) {
                m_expectAddress = -1;
                const bool broadcast = f[0] == 0;
                ++(broadcast ? m_counters.broadcasts : m_counters.requests);
                if (frame) {
                    frame->data = f;
                    frame->length = r.length;
                    frame->broadcast = broadcast;
                }
                return true;
            }
            if (r.kind == Kind::Request) {
                ++m_counters.otherRequests;
                m_expectAddress = f[0];
                m_expectFunction = f[1];
            } else {
                ++m_counters.otherAnswers;
                m_expectAddress = -1;
            }
            continue;
        }
        if (r.verdict == Verdict::Broken) {
            ++m_begin;
            ++m_counters.droppedBytes;
            continue;
        }
        // Waiting for the end of what starts here. A complete request for
        // this device further on means these bytes were noise or a frame the
        // line cut off: a master sends the next request only after the last
        // one ended.
        int found = 0;
        for (int at = m_begin + 1; at + MinFrame <= m_end && !found; ++at)
            if (read(at, true).verdict == Verdict::Complete)
                found = at;
        if (!found)
            return false;
        m_counters.droppedBytes += static_cast<unsigned long>(found - m_begin);
        m_begin = found;
    }
}

} // namespace Quorvan
