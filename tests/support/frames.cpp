// SPDX-License-Identifier: MIT
#include "frames.h"

namespace tvktest {

namespace {

constexpr unsigned kCrcStart = 0xFFFF;
constexpr unsigned kCrcPolynomial = 0xA001;   // 0x8005 bit-reversed: the CRC runs low bit first
constexpr int kBitsPerByte = 8;
constexpr unsigned kByteMask = 0xFF;

unsigned crc(const Bytes& bytes)
{
    unsigned value = kCrcStart;
    for (std::uint8_t b : bytes) {
        value ^= b;
        for (int bit = 0; bit < kBitsPerByte; ++bit)
            value = (value & 1u) ? (value >> 1) ^ kCrcPolynomial : value >> 1;
    }
    return value;
}

} // namespace

void putWord(Bytes& bytes, unsigned value)
{
    bytes.push_back(static_cast<std::uint8_t>((value >> kBitsPerByte) & kByteMask));
    bytes.push_back(static_cast<std::uint8_t>(value & kByteMask));
}

unsigned wordAt(const Bytes& bytes, std::size_t at)
{
    return (unsigned(bytes[at]) << kBitsPerByte) | bytes[at + 1];
}

Bytes mbapFrame(int transactionId, int unit, const Bytes& pdu)
{
    Bytes frame;
    putWord(frame, unsigned(transactionId));
    putWord(frame, 0);   // protocol id: Modbus
    putWord(frame, unsigned(pdu.size() + 1));
    frame.push_back(static_cast<std::uint8_t>(unit));
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

std::size_t mbapFrameLength(const Bytes& bytes)
{
    return bytes.size() < kMbapUncountedBytes ? 0 : kMbapUncountedBytes + wordAt(bytes, kMbapLengthAt);
}

bool takeMbapFrame(Bytes& inbox, Bytes* frame)
{
    const std::size_t length = mbapFrameLength(inbox);
    if (length == 0 || inbox.size() < length)
        return false;
    frame->assign(inbox.begin(), inbox.begin() + static_cast<long>(length));
    inbox.erase(inbox.begin(), inbox.begin() + static_cast<long>(length));
    return true;
}

Bytes readRequest(int transactionId, int function, int address, int count, int unit)
{
    Bytes pdu{static_cast<std::uint8_t>(function)};
    putWord(pdu, unsigned(address));
    putWord(pdu, unsigned(count));
    return mbapFrame(transactionId, unit, pdu);
}

Bytes writeRegistersRequest(int transactionId, int address, const std::vector<int>& values)
{
    Bytes pdu{WriteMultipleRegisters};
    putWord(pdu, unsigned(address));
    putWord(pdu, unsigned(values.size()));
    pdu.push_back(static_cast<std::uint8_t>(values.size() * kRegisterBytes));
    for (int v : values)
        putWord(pdu, unsigned(v));
    return mbapFrame(transactionId, 1, pdu);
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes withCrc(Bytes bytes)
{
    const unsigned value = crc(bytes);
    bytes.push_back(static_cast<std::uint8_t>(value & kByteMask));
    bytes.push_back(static_cast<std::uint8_t>(value >> kBitsPerByte));
    return bytes;
}

Bytes rtuFrame(std::initializer_list<int> bytes)
{
    Bytes out;
    for (int b : bytes)
        out.push_back(static_cast<std::uint8_t>(b));
    return withCrc(out);
}

} // namespace tvktest
