// SPDX-License-Identifier: MIT
// libFuzzer target for the serial responder's framing. The input is a slave
// id, a seed for how the line cuts its bytes into reads, and the bytes of the
// line. Whatever the line carries, the framer must hand out only complete,
// CRC-correct frames for this device or broadcasts, never hold more than one
// frame's worth of unfinished bytes, always take the next read, and, once
// the line falls silent, find the next request intact.
#include "tvkrtuframer_p.h"

#include <cstdint>
#include <cstring>
#include <vector>

using Quorvan::CtvkRtuFramer;

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// Drains the framer; answers the frames handed out.
std::vector<std::vector<unsigned char>> drain(CtvkRtuFramer& framer, int own)
{
    std::vector<std::vector<unsigned char>> out;
    CtvkRtuFramer::Frame f;
    while (framer.next(&f)) {
        check(f.length >= CtvkRtuFramer::kMinFrameBytes && f.length <= CtvkRtuFramer::kMaxFrameBytes);
        check(Quorvan::rtu::crc16(f.data, f.length) == 0);   // the CRC over a whole frame
        check(f.data[0] == 0 || f.data[0] == own);
        check(f.broadcast == (f.data[0] == 0));
        out.emplace_back(f.data, f.data + f.length);
    }
    check(framer.pendingBytes() < CtvkRtuFramer::kMaxFrameBytes);
    check(framer.room() >= CtvkRtuFramer::kMaxFrameBytes);
    return out;
}

std::vector<unsigned char> request(int own, int address)
{
    std::vector<unsigned char> r = {static_cast<unsigned char>(own), 3, 0,
                                    static_cast<unsigned char>(address), 0, 2};
    const unsigned short crc = Quorvan::rtu::crc16(r.data(), int(r.size()));
    r.push_back(static_cast<unsigned char>(crc & 0xFF));
    r.push_back(static_cast<unsigned char>(crc >> 8));
    return r;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int own = 1 + data[0] % 247;
    unsigned cut = data[1] | 1u;
    data += 2;
    size -= 2;

    CtvkRtuFramer framer(own);
    std::size_t at = 0;
    while (at < size) {
        cut = cut * 1103515245u + 12345u;   // read sizes from 1 to 300
        const std::size_t piece = std::min<std::size_t>(1 + (cut >> 16) % 300, size - at);
        std::size_t taken = 0;
        while (taken < piece) {
            const int n = framer.append(data + at + taken, int(piece - taken));
            check(n > 0);
            taken += std::size_t(n);
            drain(framer, own);
        }
        at += piece;
    }

    // The line falls silent; the next two requests arrive whole.
    framer.discardPending();
    const std::vector<unsigned char> first = request(own, 1);
    const std::vector<unsigned char> second = request(own, 2);
    framer.append(first.data(), int(first.size()));
    framer.append(second.data(), int(second.size()));
    const auto frames = drain(framer, own);
    check(frames.size() == 2 && frames[0] == first && frames[1] == second);
    check(framer.pendingBytes() == 0);
    return 0;
}
