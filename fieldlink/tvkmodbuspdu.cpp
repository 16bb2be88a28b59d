// SPDX-License-Identifier: MIT
#include "tvkmodbuspdu_p.h"

#include <algorithm>

namespace Quorvan {

namespace pdu {

namespace {

// The length a byte count at `at` gives: `base` bytes before and including
// the count, then the counted bytes.
int counted(const std::uint8_t* p, int available, int at, int base)
{
    return available > at ? base + p[at] : kNeedMore;
}

} // namespace

int requestLength(const std::uint8_t* p, int available)
{
    if (available < 1)
        return kNeedMore;
    switch (p[0]) {
    case ReadCoils:
    case ReadDiscreteInputs:
    case ReadHoldingRegisters:
    case ReadInputRegisters:
    case WriteSingleCoil:
    case WriteSingleRegister:
    case Diagnostics:                 // address or sub-function, then one word
        return 5;
    case ReadExceptionStatus:
    case GetCommEventCounter:
    case GetCommEventLog:
    case ReportServerId:
        return 1;
    case WriteMultipleCoils:
    case WriteMultipleRegisters:      // address, quantity, byte count, values
        return counted(p, available, 5, 6);
    case ReadFileRecord:
    case WriteFileRecord:             // byte count, sub-requests
        return counted(p, available, 1, 2);
    case MaskWriteRegister:           // address, AND mask, OR mask
        return 7;
    case ReadWriteMultipleRegisters:  // read address and quantity, write address, quantity, byte count, values
        return counted(p, available, 9, 10);
    case ReadFifoQueue:               // FIFO pointer address
        return 3;
    default:
        return kNoRule;
    }
}

int answerLength(const std::uint8_t* p, int available)
{
    if (available < 1)
        return kNeedMore;
    if (isException(p[0]))
        return kExceptionPduBytes;
    switch (p[0]) {
    case ReadCoils:
    case ReadDiscreteInputs:
    case ReadHoldingRegisters:
    case ReadInputRegisters:
    case GetCommEventLog:
    case ReportServerId:
    case ReadFileRecord:
    case WriteFileRecord:
    case ReadWriteMultipleRegisters:  // byte count, values
        return counted(p, available, 1, 2);
    case WriteSingleCoil:
    case WriteSingleRegister:
    case Diagnostics:
    case GetCommEventCounter:
    case WriteMultipleCoils:
    case WriteMultipleRegisters:      // two words echoed or counted
        return 5;
    case ReadExceptionStatus:
        return 2;
    case MaskWriteRegister:
        return 7;
    case ReadFifoQueue:               // a two-byte byte count
        return available > 2 ? 3 + word(p + 1) : kNeedMore;
    default:
        return kNoRule;
    }
}

bool isBroadcastWrite(std::uint8_t function)
{
    switch (function) {
    case WriteSingleCoil:
    case WriteSingleRegister:
    case WriteMultipleCoils:
    case WriteMultipleRegisters:
    case WriteFileRecord:
    case MaskWriteRegister:
        return true;
    default:
        return false;
    }
}

bool isServed(std::uint8_t function)
{
    switch (function) {
    case ReadCoils:
    case ReadDiscreteInputs:
    case ReadHoldingRegisters:
    case ReadInputRegisters:
    case WriteSingleCoil:
    case WriteSingleRegister:
    case WriteMultipleCoils:
    case WriteMultipleRegisters:
    case ReportServerId:
    case MaskWriteRegister:
    case ReadWriteMultipleRegisters:
        return true;
    default:
        return false;
    }
}

ExceptionCode exceptionBeforeReply(const std::uint8_t* p)
{
    const auto within = [](int count, int most) { return count >= 1 && count <= most; };
    switch (p[0]) {
    case ReadCoils:
    case ReadDiscreteInputs:
        return within(word(p + 3), kMaxReadBits) ? NoException : IllegalDataValue;
    case ReadHoldingRegisters:
    case ReadInputRegisters:
        return within(word(p + 3), kMaxReadRegisters) ? NoException : IllegalDataValue;
    case WriteMultipleCoils: {
        const int count = word(p + 3);
        return within(count, kMaxWriteBits) && p[5] * 8 >= count ? NoException : IllegalDataValue;
    }
    case WriteMultipleRegisters: {
        const int count = word(p + 3);
        return within(count, kMaxWriteRegisters) && p[5] == count * 2 ? NoException : IllegalDataValue;
    }
    case ReadWriteMultipleRegisters: {
        const int writeCount = word(p + 7);
        const bool fits = within(word(p + 3), kMaxReadWriteReadRegisters)
            && within(writeCount, kMaxReadWriteWriteRegisters) && p[9] == writeCount * 2;
        return fits ? NoException : IllegalDataValue;
    }
    case WriteSingleCoil:
    case WriteSingleRegister:
    case MaskWriteRegister:
    case ReportServerId:
        return NoException;
    default:
        return IllegalFunction;
    }
}

int exceptionAnswer(std::uint8_t* out, std::uint8_t function, ExceptionCode code)
{
    out[0] = static_cast<std::uint8_t>(function | kExceptionBit);
    out[1] = code;
    return kExceptionPduBytes;
}

int accesses(const std::uint8_t* p, Access out[2])
{
    // Numbered as CtvkModbusDataUnit numbers its register types.
    constexpr int kDiscreteInputs = 1;
    constexpr int kCoils = 2;
    constexpr int kInputRegisters = 3;
    constexpr int kHoldingRegisters = 4;
    const auto one = [&](int table, int first, int count, bool write) {
        out[0] = Access{table, first, count, write};
        return 1;
    };
    switch (p[0]) {
    case ReadCoils: return one(kCoils, word(p + 1), word(p + 3), false);
    case ReadDiscreteInputs: return one(kDiscreteInputs, word(p + 1), word(p + 3), false);
    case ReadHoldingRegisters: return one(kHoldingRegisters, word(p + 1), word(p + 3), false);
    case ReadInputRegisters: return one(kInputRegisters, word(p + 1), word(p + 3), false);
    case WriteSingleCoil: return one(kCoils, word(p + 1), 1, true);
    case WriteSingleRegister:
    case MaskWriteRegister: return one(kHoldingRegisters, word(p + 1), 1, true);
    case WriteMultipleCoils: return one(kCoils, word(p + 1), word(p + 3), true);
    case WriteMultipleRegisters: return one(kHoldingRegisters, word(p + 1), word(p + 3), true);
    case ReadWriteMultipleRegisters:
        out[0] = Access{kHoldingRegisters, word(p + 5), word(p + 7), true};
        out[1] = Access{kHoldingRegisters, word(p + 1), word(p + 3), false};
        return 2;
    default:
        return 0;
    }
}

namespace {

int bitBytes(int count)
{
    return (count + 7) / 8;
}

// Packs `count` 0/1 values eight to a byte, the first in the lowest bit.
int packBits(std::uint8_t* out, const std::uint16_t* bits, int count)
{
    const int bytes = bitBytes(count);
    for (int i = 0; i < bytes; ++i)
        out[i] = 0;
    for (int i = 0; i < count; ++i)
        if (bits[i])
            out[i / 8] = static_cast<std::uint8_t>(out[i / 8] | (1u << (i % 8)));
    return bytes;
}

int putWords(std::uint8_t* out, const std::uint16_t* values, int count)
{
    for (int i = 0; i < count; ++i)
        putWord(out + 2 * i, values[i]);
    return 2 * count;
}

} // namespace

int readRequest(std::uint8_t* out, std::uint8_t function, int address, int count)
{
    out[0] = function;
    putWord(out + 1, address);
    putWord(out + 3, count);
    return 5;
}

int writeSingleCoilRequest(std::uint8_t* out, int address, bool on)
{
    out[0] = WriteSingleCoil;
    putWord(out + 1, address);
    putWord(out + 3, on ? kCoilOn : 0);
    return 5;
}

int writeSingleRegisterRequest(std::uint8_t* out, int address, int value)
{
    out[0] = WriteSingleRegister;
    putWord(out + 1, address);
    putWord(out + 3, value);
    return 5;
}

int writeCoilsRequest(std::uint8_t* out, int address, const std::uint16_t* bits, int count)
{
    out[0] = WriteMultipleCoils;
    putWord(out + 1, address);
    putWord(out + 3, count);
    out[5] = static_cast<std::uint8_t>(packBits(out + 6, bits, count));
    return 6 + out[5];
}

int writeRegistersRequest(std::uint8_t* out, int address, const std::uint16_t* values, int count)
{
    out[0] = WriteMultipleRegisters;
    putWord(out + 1, address);
    putWord(out + 3, count);
    out[5] = static_cast<std::uint8_t>(putWords(out + 6, values, count));
    return 6 + out[5];
}

int readWriteRequest(std::uint8_t* out, int readAddress, int readCount, int writeAddress,
                     const std::uint16_t* values, int writeCount)
{
    out[0] = ReadWriteMultipleRegisters;
    putWord(out + 1, readAddress);
    putWord(out + 3, readCount);
    putWord(out + 5, writeAddress);
    putWord(out + 7, writeCount);
    out[9] = static_cast<std::uint8_t>(putWords(out + 10, values, writeCount));
    return 10 + out[9];
}

int valuesRead(const std::uint8_t* request)
{
    switch (request[0]) {
    case ReadCoils:
    case ReadDiscreteInputs:
    case ReadHoldingRegisters:
    case ReadInputRegisters:
    case ReadWriteMultipleRegisters:
        return word(request + 3);
    default:
        return 0;
    }
}

AnswerCheck checkAnswer(const std::uint8_t* request, const std::uint8_t* answer, int answerLength,
                        std::uint16_t* values, int* exceptionCode)
{
    if (answerLength < 1)
        return AnswerCheck::Foreign;
    const std::uint8_t function = request[0];
    if (answer[0] == (function | kExceptionBit)) {
        if (answerLength != kExceptionPduBytes)
            return AnswerCheck::Invalid;
        if (exceptionCode)
            *exceptionCode = answer[1];
        return AnswerCheck::Exception;
    }
    if (answer[0] != function)
        return AnswerCheck::Foreign;

    const int count = valuesRead(request);
    switch (function) {
    case ReadCoils:
    case ReadDiscreteInputs:
        if (answerLength != 2 + bitBytes(count) || answer[1] != bitBytes(count))
            return AnswerCheck::Invalid;
        for (int i = 0; i < count; ++i)
            values[i] = (answer[2 + i / 8] >> (i % 8)) & 1u;
        return AnswerCheck::Accepted;
    case ReadHoldingRegisters:
    case ReadInputRegisters:
    case ReadWriteMultipleRegisters:
        if (answerLength != 2 + 2 * count || answer[1] != 2 * count)
            return AnswerCheck::Invalid;
        for (int i = 0; i < count; ++i)
            values[i] = static_cast<std::uint16_t>(word(answer + 2 + 2 * i));
        return AnswerCheck::Accepted;
    case WriteSingleCoil:
    case WriteSingleRegister:
    case WriteMultipleCoils:
    case WriteMultipleRegisters:
        // The address and the value or quantity, echoed.
        for (int i = 0; i < 5; ++i)
            if (answerLength != 5 || answer[i] != request[i])
                return AnswerCheck::Invalid;
        return AnswerCheck::Accepted;
    default:
        return AnswerCheck::Invalid;
    }
}

} // namespace pdu

namespace mbap {

int writeHeader(std::uint8_t* out, int transactionId, int unitId, int pduLength)
{
    pdu::putWord(out, transactionId);
    pdu::putWord(out + 2, 0);
    pdu::putWord(out + 4, 1 + pduLength);
    out[6] = static_cast<std::uint8_t>(unitId);
    return kHeaderBytes;
}

int exceptionFrame(std::uint8_t* out, const std::uint8_t* request, pdu::ExceptionCode code)
{
    // The transaction id and the unit id are echoed.
    const int header = writeHeader(out, transactionId(request), unitId(request), pdu::kExceptionPduBytes);
    return header + pdu::exceptionAnswer(out + header, request[kHeaderBytes], code);
}

Split splitFrame(const std::uint8_t* data, int available, int* frameLength)
{
    if (available < kLengthFieldEnd)
        return Split::Incomplete;
    const int declared = length(data);
    if (declared < kMinLength || declared > kMaxLength)
        return Split::Broken;
    *frameLength = kLengthFieldEnd + declared;
    return available >= *frameLength ? Split::Frame : Split::Incomplete;
}

Split splitRequest(const std::uint8_t* data, int available, int* frameLength)
{
    constexpr int kProtocolIdEnd = 4;
    if (available >= kProtocolIdEnd && protocolId(data) != 0)
        return Split::Broken;   // not Modbus
    const Split split = splitFrame(data, available, frameLength);
    if (split == Split::Broken || available <= kHeaderBytes)
        return split;
    // Only what belongs to this frame is judged, never the next one's bytes.
    const std::uint8_t* request = data + kHeaderBytes;
    if (pdu::isServed(request[0])) {
        const int pduLength = *frameLength - kHeaderBytes;
        const int expected = pdu::requestLength(request, std::min(available, *frameLength) - kHeaderBytes);
        if (expected == pdu::kNeedMore ? split == Split::Frame : expected != pduLength)
            return Split::Broken;
    }
    return split;
}

} // namespace mbap

namespace rtu {

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

// A PDU rule's answer as a whole frame's length.
int frameLength(int pduLength)
{
    return pduLength > 0 ? kAddressBytes + pduLength + kCrcBytes : pduLength;
}

} // namespace

unsigned short crcStep(unsigned short crc, std::uint8_t byte)
{
    return static_cast<unsigned short>((crc >> 8) ^ crcTable.entry[(crc ^ byte) & 0xFFu]);
}

unsigned short crc16(const std::uint8_t* data, int length)
{
    unsigned short crc = 0xFFFF;
    for (int i = 0; i < length; ++i)
        crc = crcStep(crc, data[i]);
    return crc;
}

int appendCrc(std::uint8_t* frame, int length)
{
    const unsigned short crc = crc16(frame, length);
    frame[length] = static_cast<std::uint8_t>(crc & 0xFF);
    frame[length + 1] = static_cast<std::uint8_t>(crc >> 8);
    return length + kCrcBytes;
}

bool crcHolds(const std::uint8_t* frame, int length)
{
    if (length < kCrcBytes)
        return false;
    const auto sent = static_cast<unsigned short>(frame[length - 2] | (frame[length - 1] << 8));
    return crc16(frame, length - kCrcBytes) == sent;
}

int requestFrameLength(const std::uint8_t* frame, int available)
{
    return frameLength(pdu::requestLength(frame + kAddressBytes, available - kAddressBytes));
}

int answerFrameLength(const std::uint8_t* frame, int available)
{
    return frameLength(pdu::answerLength(frame + kAddressBytes, available - kAddressBytes));
}

int crcFrameLength(const std::uint8_t* frame, int available)
{
    const int last = std::min(available, kMaxFrameBytes);
    unsigned short crc = 0xFFFF;
    for (int k = 0; k + kCrcBytes < last; ++k) {
        crc = crcStep(crc, frame[k]);   // the CRC of the first k + 1 bytes
        const int length = k + 1 + kCrcBytes;
        if (length >= kMinFrameBytes && crc == static_cast<unsigned short>(frame[k + 1] | (frame[k + 2] << 8)))
            return length;
    }
    return 0;
}

int exceptionFrame(std::uint8_t* out, std::uint8_t address, std::uint8_t function, pdu::ExceptionCode code)
{
    out[0] = address;
    return appendCrc(out, kAddressBytes + pdu::exceptionAnswer(out + kAddressBytes, function, code));
}

AnswerScan scanAnswer(const std::uint8_t* data, int available, std::uint8_t slave, std::uint8_t function)
{
    // The first complete answer whose CRC holds wins, wherever it starts:
    // noise that looks like the start of one must not hold it back.
    AnswerScan scan;
    scan.skip = available;
    bool waiting = false;
    const auto mayStartHere = [&](int at) {
        if (!waiting)
            scan.skip = at;
        waiting = true;
    };
    for (int at = 0; at < available; ++at) {
        const std::uint8_t* f = data + at;
        const int n = available - at;
        if (f[0] != slave)
            continue;
        if (n < 2) {
            mayStartHere(at);   // the function code is still to come
            continue;
        }
        if ((f[1] & ~pdu::kExceptionBit) != function)
            continue;
        int length = answerFrameLength(f, n);
        if (length == pdu::kNoRule) {
            length = crcFrameLength(f, n);
            if (length == 0) {
                if (n < kMaxFrameBytes)
                    mayStartHere(at);   // its CRC may still come
                continue;
            }
        }
        if (length == pdu::kNeedMore || (length > n && length <= kMaxFrameBytes)) {
            mayStartHere(at);
            continue;
        }
        if (length >= kMinFrameBytes && length <= n && crcHolds(f, length)) {
            scan.found = true;
            scan.skip = at;
            scan.length = length;
            return scan;
        }
    }
    return scan;
}

} // namespace rtu

} // namespace Quorvan
