// SPDX-License-Identifier: MIT
// The protocol unit every transport frames by: one table of PDUs with the
// lengths and early exceptions each must give.
#include "tvkmodbuspdu_p.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Quorvan;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct PduCase {
    const char* what;
    Bytes pdu;
    int request;     // requestLength over the whole PDU
    int answer;      // answerLength of the same bytes read as an answer
    int exception;   // exceptionBeforeReply, for requests with a rule
};

const PduCase kCases[] = {
    {"read coils", {0x01, 0, 0, 0, 8}, 5, 2, pdu::NoException},
    {"read 2001 coils", {0x01, 0, 0, 0x07, 0xD1}, 5, 2, pdu::IllegalDataValue},
    {"read 0 discrete inputs", {0x02, 0, 0, 0, 0}, 5, 2, pdu::IllegalDataValue},
    {"read 125 holding registers", {0x03, 0, 0, 0, 125}, 5, 2, pdu::NoException},
    {"read 126 input registers", {0x04, 0, 0, 0, 126}, 5, 2, pdu::IllegalDataValue},
    {"write single coil", {0x05, 0, 1, 0xFF, 0}, 5, 5, pdu::NoException},
    {"write single register", {0x06, 0, 1, 0x12, 0x34}, 5, 5, pdu::NoException},
    {"read exception status", {0x07}, 1, 2, pdu::IllegalFunction},
    {"diagnostics", {0x08, 0, 0, 0xAB, 0xCD}, 5, 5, pdu::IllegalFunction},
    {"write 9 coils", {0x0F, 0, 0, 0, 9, 2, 0xFF, 0x01}, 8, 5, pdu::NoException},
    {"write 9 coils in 1 byte", {0x0F, 0, 0, 0, 9, 1, 0xFF}, 7, 5, pdu::IllegalDataValue},
    {"write 2 registers", {0x10, 0, 0, 0, 2, 4, 0, 1, 0, 2}, 10, 5, pdu::NoException},
    {"write 2 registers in 3 bytes", {0x10, 0, 0, 0, 2, 3, 0, 1, 0}, 9, 5, pdu::IllegalDataValue},
    {"report server id", {0x11}, 1, pdu::kNeedMore, pdu::NoException},
    {"mask write", {0x16, 0, 1, 0xFF, 0, 0, 0x0F}, 7, 7, pdu::NoException},
    {"read/write", {0x17, 0, 0, 0, 1, 0, 5, 0, 1, 2, 0xAA, 0xBB}, 12, 2, pdu::NoException},
    {"read/write 122 written", {0x17, 0, 0, 0, 1, 0, 5, 0, 122, 2, 0, 0}, 12, 2, pdu::IllegalDataValue},
    {"read FIFO", {0x18, 0, 4}, 3, 3 + 4, pdu::IllegalFunction},
    {"unknown function", {0x41, 1, 2, 3, 4}, pdu::kNoRule, pdu::kNoRule, pdu::IllegalFunction},
};

} // namespace

TEST(ModbusPdu, LengthsAndEarlyExceptionsByFunctionCode)
{
    for (const PduCase& c : kCases) {
        SCOPED_TRACE(c.what);
        const int n = static_cast<int>(c.pdu.size());
        EXPECT_EQ(pdu::requestLength(c.pdu.data(), n), c.request);
        EXPECT_EQ(pdu::answerLength(c.pdu.data(), n), c.answer);
        if (c.request > 0) {
            EXPECT_EQ(c.request, n) << "the table's PDU is the whole request";
            EXPECT_EQ(pdu::exceptionBeforeReply(c.pdu.data()), c.exception);
        }
    }
}

TEST(ModbusPdu, CountedLengthsWaitForTheirCountByte)
{
    const std::uint8_t write[] = {0x10, 0, 0, 0, 2, 4};
    EXPECT_EQ(pdu::requestLength(write, 5), pdu::kNeedMore);
    EXPECT_EQ(pdu::requestLength(write, 6), 10);
    const std::uint8_t readWrite[] = {0x17, 0, 0, 0, 1, 0, 5, 0, 1, 2};
    EXPECT_EQ(pdu::requestLength(readWrite, 9), pdu::kNeedMore);
    EXPECT_EQ(pdu::requestLength(readWrite, 10), 12);
    const std::uint8_t fifo[] = {0x18, 0x01, 0x02};
    EXPECT_EQ(pdu::answerLength(fifo, 2), pdu::kNeedMore);
    EXPECT_EQ(pdu::answerLength(fifo, 3), 3 + 0x102);
    EXPECT_EQ(pdu::requestLength(fifo, 0), pdu::kNeedMore);
    const std::uint8_t exception[] = {0x83};
    EXPECT_EQ(pdu::answerLength(exception, 1), pdu::kExceptionPduBytes);
}

TEST(ModbusPdu, ExceptionFramesEchoTheRequest)
{
    // Transaction id and unit id echoed, length 3, function with its bit.
    const std::uint8_t request[] = {0x12, 0x34, 0, 0, 0, 6, 0x11, 0x03, 0, 0, 0, 200};
    std::uint8_t tcp[mbap::kHeaderBytes + pdu::kExceptionPduBytes];
    ASSERT_EQ(mbap::exceptionFrame(tcp, request, pdu::IllegalDataValue), 9);
    EXPECT_EQ(Bytes(tcp, tcp + 9), (Bytes{0x12, 0x34, 0, 0, 0, 3, 0x11, 0x83, 0x03}));

    std::uint8_t rtu[rtu::kMinFrameBytes + 1];
    ASSERT_EQ(rtu::exceptionFrame(rtu, 0x07, 0x41, pdu::IllegalFunction), 5);
    EXPECT_EQ(Bytes(rtu, rtu + 3), (Bytes{0x07, 0xC1, 0x01}));
    EXPECT_TRUE(rtu::crcHolds(rtu, 5));
    rtu[2] ^= 1;
    EXPECT_FALSE(rtu::crcHolds(rtu, 5));
}

TEST(ModbusPdu, RtuFrameLengthsAddAddressAndCrc)
{
    // A read of 10 holding registers from slave 1, with the CRC libmodbus sends.
    const std::uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    EXPECT_TRUE(rtu::crcHolds(request, 8));
    EXPECT_EQ(rtu::requestFrameLength(request, 8), 8);
    EXPECT_EQ(rtu::requestFrameLength(request, 1), pdu::kNeedMore);
    const std::uint8_t answer[] = {0x01, 0x03, 0x14};
    EXPECT_EQ(rtu::answerFrameLength(answer, 3), 5 + 0x14);
    const std::uint8_t unknown[] = {0x01, 0x41, 0x00};
    EXPECT_EQ(rtu::requestFrameLength(unknown, 3), pdu::kNoRule);
}
