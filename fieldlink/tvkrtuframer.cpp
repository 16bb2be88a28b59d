// SPDX-License-Identifier: MIT
#include "tvkrtuframer_p.h"

#include "tvkmodbusdevice.h"

#include <algorithm>
#include <cstring>

namespace Quorvan {

namespace rtu {

char parityCharacter(int parity)
{
    switch (parity) {
    case CtvkModbusDevice::EvenParity: return 'E';
    case CtvkModbusDevice::OddParity: return 'O';
    default: return 'N';
    }
}

modbus_t* newContext(const char* device, int baudRate, int parity, int dataBits, int stopBits)
{
    return modbus_new_rtu(device, baudRate, parityCharacter(parity), dataBits, stopBits);
}

} // namespace rtu

CtvkRtuFramer::CtvkRtuFramer(int slave)
{
    setSlave(slave);
}

void CtvkRtuFramer::setSlave(int slave)
{
    m_address = (slave >= 1 && slave <= rtu::kMaxSlaveAddress) ? slave : -1;
}

void CtvkRtuFramer::clear()
{
    m_begin = m_end = 0;
    m_expectAddress = -1;
}

bool CtvkRtuFramer::isOwn(int address) const
{
    return address == rtu::kBroadcastAddress || address == m_address;
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
    m_end += std::clamp(count, 0, kCapacityBytes - m_end);
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
    if (ownOnly && (!own || pdu::isException(f[1])))
        return result;   // Broken: not a request for this device

    // Readings in order of preference: a frame for this device is a request
    // (its answers come from here); one for another slave is that slave's
    // answer when a request to it was just seen, else a request to it.
    struct Candidate { int length; Kind kind; };
    Candidate candidates[2];
    int count = 0;
    if (own && !pdu::isException(f[1])) {
        candidates[count++] = {rtu::requestFrameLength(f, n), Kind::Request};
    } else {
        const bool expected = f[0] == m_expectAddress && (f[1] & ~pdu::kExceptionBit) == m_expectFunction;
        const Candidate request{rtu::requestFrameLength(f, n), Kind::Request};
        const Candidate answer{rtu::answerFrameLength(f, n), Kind::Answer};
        if (pdu::isException(f[1])) {
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
        if (length == pdu::kNeedMore) {
            waiting = true;
            continue;
        }
        if (length == pdu::kNoRule) {
            // Without rules only the CRC can end the frame; the lookahead
            // for this device's requests takes no such guess.
            if (ownOnly)
                continue;
            length = rtu::crcFrameLength(f, n);
            if (length == 0) {
                waiting = waiting || n < kMaxFrameBytes;
                continue;
            }
        } else if (length < kMinFrameBytes || length > kMaxFrameBytes) {
            continue;
        } else if (length > n) {
            waiting = true;
            continue;
        } else if (!rtu::crcHolds(f, length)) {
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
        if (m_end - m_begin < kMinFrameBytes)
            return false;
        const Reading r = read(m_begin, false);
        if (r.verdict == Verdict::Complete) {
            const unsigned char* f = m_buffer + m_begin;
            m_begin += r.length;
            if (r.kind == Kind::Request && isOwn(f[0]) && !pdu::isException(f[1])) {
                m_expectAddress = -1;
                const bool broadcast = f[0] == rtu::kBroadcastAddress;
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
        for (int at = m_begin + 1; at + kMinFrameBytes <= m_end && !found; ++at)
            if (read(at, true).verdict == Verdict::Complete)
                found = at;
        if (!found)
            return false;
        m_counters.droppedBytes += static_cast<unsigned long>(found - m_begin);
        m_begin = found;
    }
}

} // namespace Quorvan
