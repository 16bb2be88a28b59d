// SPDX-License-Identifier: MIT
#include "frames.h"

#include "tvkrtuframer_p.h"

#include <gtest/gtest.h>

#include <random>

using namespace Quorvan;
using tvktest::Bytes;
using tvktest::rtuFrame;

namespace {

constexpr int Own = 17;

// Feeds `bytes` in pieces of `piece` bytes and collects every frame handed out.
std::vector<Bytes> frames(CtvkRtuFramer& framer, const Bytes& bytes, std::size_t piece = 1 << 20)
{
    std::vector<Bytes> out;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::size_t n = std::min(piece, bytes.size() - at);
        EXPECT_EQ(framer.append(bytes.data() + at, int(n)), int(n));
        CtvkRtuFramer::Frame f;
        while (framer.next(&f))
            out.emplace_back(f.data, f.data + f.length);
    }
    return out;
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One request of every kind the responder answers, and some it refuses.
std::vector<Bytes> ownRequests()
{
    return {
        rtuFrame({Own, 1, 0, 10, 0, 20}),
        rtuFrame({Own, 2, 0, 0, 0, 8}),
        rtuFrame({Own, 3, 0, 4, 0, 125}),
        rtuFrame({Own, 4, 1, 0, 0, 1}),
        rtuFrame({Own, 5, 0, 3, 0xFF, 0}),
        rtuFrame({Own, 6, 0, 3, 0x12, 0x34}),
        rtuFrame({Own, 15, 0, 0, 0, 10, 2, 0xFF, 0x03}),
        rtuFrame({Own, 16, 0, 0, 0, 2, 4, 1, 2, 3, 4}),
        rtuFrame({Own, 7}),
        rtuFrame({Own, 17}),
        rtuFrame({Own, 22, 0, 1, 0xFF, 0, 0, 0x0F}),
        rtuFrame({Own, 23, 0, 0, 0, 2, 0, 5, 0, 1, 2, 0xAB, 0xCD}),
        rtuFrame({Own, 0x41, 9, 9, 9}),   // no length rule: ends where the CRC holds
    };
}

} // namespace

TEST(RtuFramer, CrcMatchesTheProtocolExample)
{
    // Read 1 holding register at 0 of slave 1: CRC 0x0A84, sent 84 0A.
    const unsigned char request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(rtu::crc16(request, 6), 0x0A84);
}

TEST(RtuFramer, EveryRequestIsFoundWhereverTheReadsCutIt)
{
    for (const Bytes& request : ownRequests()) {
        for (std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(5), request.size()}) {
            CtvkRtuFramer framer(Own);
            const std::vector<Bytes> got = frames(framer, join({request, request}), piece);
            ASSERT_EQ(got.size(), 2u) << "function " << int(request[1]) << " in pieces of " << piece;
            EXPECT_EQ(got[0], request);
            EXPECT_EQ(got[1], request);
            EXPECT_EQ(framer.pendingBytes(), 0);
            EXPECT_EQ(framer.counters().droppedBytes, 0u);
        }
    }
}

TEST(RtuFramer, OtherSlavesAndTheirAnswersAreLeftAloneAnsweredOrNot)
{
    const Bytes own = rtuFrame({Own, 3, 0, 0, 0, 2});
    // Slave 7 answers a read of 100 registers (205 bytes), then stays silent
    // for a second request; then a write to 7 and its echo; then an exception.
    Bytes answer = {7, 3, 200};
    for (int i = 0; i < 200; ++i)
        answer.push_back(static_cast<unsigned char>(i));
    const Bytes line = join({
        rtuFrame({7, 3, 0, 0, 0, 100}), tvktest::withCrc(answer), own,
        rtuFrame({7, 3, 0xC8, 0, 0, 100}),   // its start address reads like a long answer
        own,
        rtuFrame({7, 16, 0, 0, 0, 1, 2, 0, 9}), rtuFrame({7, 16, 0, 0, 0, 1}),
        rtuFrame({7, 0x83, 2}), own});
    for (std::size_t piece : {std::size_t(1), std::size_t(7), line.size()}) {
        CtvkRtuFramer framer(Own);
        const std::vector<Bytes> got = frames(framer, line, piece);
        ASSERT_EQ(got.size(), 3u) << "pieces of " << piece;
        for (const Bytes& f : got)
            EXPECT_EQ(f, own);
        EXPECT_EQ(framer.counters().otherRequests, 3u);
        EXPECT_EQ(framer.counters().otherAnswers, 3u);
        EXPECT_EQ(framer.counters().droppedBytes, 0u);
    }
}

TEST(RtuFramer, BroadcastsAreHandedOutAndMarked)
{
    CtvkRtuFramer framer(Own);
    const Bytes write = rtuFrame({0, 6, 0, 1, 0, 42});
    ASSERT_EQ(framer.append(write.data(), int(write.size())), int(write.size()));
    CtvkRtuFramer::Frame f;
    ASSERT_TRUE(framer.next(&f));
    EXPECT_TRUE(f.broadcast);
    EXPECT_EQ(framer.counters().broadcasts, 1u);

    // A device with no address of its own (0, or beyond 247) takes only broadcasts.
    CtvkRtuFramer none(0);
    EXPECT_EQ(frames(none, join({rtuFrame({1, 3, 0, 0, 0, 1}), write})).size(), 1u);
    EXPECT_EQ(none.counters().otherRequests, 1u);
}

TEST(RtuFramer, NoiseCostsAtMostTheFrameItHit)
{
    const Bytes own = rtuFrame({Own, 3, 0, 5, 0, 1});
    Bytes broken = own;
    broken[4] ^= 0x40;
    const Bytes cut(own.begin(), own.begin() + 5);
    // A cut-off write whose byte count promises 250 more bytes.
    const Bytes longCut = {Own, 16, 0, 0, 0, 125, 250, 1, 2};

    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        Bytes noise(1 + random() % 40);
        for (unsigned char& b : noise)
            b = static_cast<unsigned char>(random());
        for (const Bytes& hit : {noise, broken, cut, longCut}) {
            CtvkRtuFramer framer(Own);
            const std::vector<Bytes> got = frames(framer, join({hit, own}), 1 + random() % 9);
            ASSERT_FALSE(got.empty()) << "round " << round;
            EXPECT_EQ(got.back(), own);
            EXPECT_EQ(framer.pendingBytes(), 0);
        }
    }
}

TEST(RtuFramer, AnUnfinishedFrameIsDroppedWhenTheLineFallsSilent)
{
    CtvkRtuFramer framer(Own);
    const Bytes start = {9, 16, 0, 0, 0, 100, 200, 1, 2, 3};   // another slave's, cut off
    framer.append(start.data(), int(start.size()));
    EXPECT_FALSE(framer.next(nullptr));
    framer.discardPending();
    const Bytes other = rtuFrame({9, 6, 0, 0, 0, 1});
    const Bytes own = rtuFrame({Own, 6, 0, 0, 0, 1});
    const std::vector<Bytes> got = frames(framer, join({other, own}));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(framer.counters().otherRequests, 1u);
    EXPECT_EQ(framer.counters().droppedBytes, start.size());
}

TEST(RtuFramer, RandomLinesNeverOverflowNorHandOutABrokenFrame)
{
    std::mt19937 random(11);
    for (int round = 0; round < 50; ++round) {
        CtvkRtuFramer framer(1 + int(random() % 3));
        for (int i = 0; i < 40; ++i) {
            unsigned char piece[300];
            const int n = int(random() % sizeof piece);
            for (int k = 0; k < n; ++k)
                piece[k] = static_cast<unsigned char>(random() % 4 == 0 ? random() % 4 : random());
            int taken = 0;
            while (taken < n) {
                const int t = framer.append(piece + taken, n - taken);
                ASSERT_GT(t, 0) << "no room although every frame was taken";
                taken += t;
                CtvkRtuFramer::Frame f;
                while (framer.next(&f)) {
                    ASSERT_GE(f.length, CtvkRtuFramer::kMinFrameBytes);
                    ASSERT_LE(f.length, CtvkRtuFramer::kMaxFrameBytes);
                    ASSERT_EQ(rtu::crc16(f.data, f.length), 0) << "CRC over the whole frame";
                }
                ASSERT_LT(framer.pendingBytes(), CtvkRtuFramer::kMaxFrameBytes);
            }
        }
    }
}
