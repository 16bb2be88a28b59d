// SPDX-License-Identifier: MIT
#ifndef TVKTEST_FRAMES_H
#define TVKTEST_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tvktest {

// Modbus frames built byte by byte, independent of libmodbus and of the
// library's own protocol unit, so that a test does not check the code with
// itself.
using Bytes = std::vector<std::uint8_t>;

// The function codes the builders and the fake slave know.
enum FunctionCode : std::uint8_t {
    ReadCoils = 0x01,
    ReadDiscreteInputs = 0x02,
    ReadHoldingRegisters = 0x03,
    ReadInputRegisters = 0x04,
    WriteSingleCoil = 0x05,
    WriteSingleRegister = 0x06,
    WriteMultipleCoils = 0x0F,
    WriteMultipleRegisters = 0x10,
};

constexpr std::size_t kRegisterBytes = 2;
// Set in the function code of an exception answer.
constexpr std::uint8_t kExceptionBit = 0x80;
// Transaction id, protocol id, length, unit id.
constexpr std::size_t kMbapHeaderBytes = 7;
// Where the MBAP length stands; it counts what follows it, the unit id and
// the PDU.
constexpr std::size_t kMbapLengthAt = 4;
constexpr std::size_t kMbapUncountedBytes = kMbapLengthAt + 2;

// A 16-bit value as Modbus puts it on the wire, high byte first.
void putWord(Bytes& bytes, unsigned value);
unsigned wordAt(const Bytes& bytes, std::size_t at);

// Modbus TCP: the MBAP header for `pdu` (function code first), then the PDU.
Bytes mbapFrame(int transactionId, int unit, const Bytes& pdu);
// The length of the frame at the front of `bytes` as its header gives it; 0
// while the header is not in.
std::size_t mbapFrameLength(const Bytes& bytes);
// Moves the whole frame at the front of `inbox` to *frame; false while it
// has not all arrived.
bool takeMbapFrame(Bytes& inbox, Bytes* frame);
Bytes readRequest(int transactionId, int function, int address, int count, int unit = 1);
Bytes writeRegistersRequest(int transactionId, int address, const std::vector<int>& values);
Bytes concat(std::initializer_list<Bytes> parts);

// Modbus RTU: the bytes given followed by their CRC, low byte first.
Bytes withCrc(Bytes bytes);
Bytes rtuFrame(std::initializer_list<int> bytes);

} // namespace tvktest

#endif
