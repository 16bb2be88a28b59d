// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSPDU_P_H
#define TVKMODBUSPDU_P_H

#include "tvkfieldlink_global.h"

#include <cstdint>

namespace Quorvan {

// The Modbus protocol data unit (function code and data), as every
// transport of this library frames it: the TCP server and the serial
// responder read requests by these rules, the asynchronous requests read
// answers by them. Pure code: no I/O, no libmodbus context.
namespace pdu {

enum FunctionCode : std::uint8_t {
    ReadCoils = 0x01,
    ReadDiscreteInputs = 0x02,
    ReadHoldingRegisters = 0x03,
    ReadInputRegisters = 0x04,
    WriteSingleCoil = 0x05,
    WriteSingleRegister = 0x06,
    ReadExceptionStatus = 0x07,
    Diagnostics = 0x08,
    GetCommEventCounter = 0x0B,
    GetCommEventLog = 0x0C,
    WriteMultipleCoils = 0x0F,
    WriteMultipleRegisters = 0x10,
    ReportServerId = 0x11,
    ReadFileRecord = 0x14,
    WriteFileRecord = 0x15,
    MaskWriteRegister = 0x16,
    ReadWriteMultipleRegisters = 0x17,
    ReadFifoQueue = 0x18,
};

enum ExceptionCode : std::uint8_t {
    NoException = 0x00,
    IllegalFunction = 0x01,
    IllegalDataAddress = 0x02,
    IllegalDataValue = 0x03,
    ServerDeviceFailure = 0x04,
    Acknowledge = 0x05,
    ServerDeviceBusy = 0x06,
    MemoryParityError = 0x08,
    GatewayPathUnavailable = 0x0A,
    GatewayTargetFailed = 0x0B,
};

// An answer's function code with this bit set carries an exception code.
constexpr std::uint8_t kExceptionBit = 0x80;
// Function code and at most 252 data bytes: what fits one serial frame.
constexpr int kMaxPduBytes = 253;
// The value that writes a single coil on; 0 writes it off.
constexpr int kCoilOn = 0xFF00;
// An exception answer: the function code with its exception bit, the code.
constexpr int kExceptionPduBytes = 2;

// Quantities a single request may carry.
constexpr int kMaxReadBits = 2000;
constexpr int kMaxWriteBits = 1968;
constexpr int kMaxReadRegisters = 125;
constexpr int kMaxWriteRegisters = 123;
constexpr int kMaxReadWriteReadRegisters = 125;
constexpr int kMaxReadWriteWriteRegisters = 121;

// What a length rule answers besides a length: the byte that tells the
// length has not arrived yet, or the function code has no rule.
constexpr int kNeedMore = 0;
constexpr int kNoRule = -1;

inline int word(const std::uint8_t* p)
{
    return (p[0] << 8) | p[1];
}

inline void putWord(std::uint8_t* p, int value)
{
    p[0] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    p[1] = static_cast<std::uint8_t>(value & 0xFF);
}

inline bool isException(std::uint8_t function)
{
    return (function & kExceptionBit) != 0;
}

// The length of the request PDU at `pdu` (function code included), judged
// from its first `available` bytes: a length, kNeedMore or kNoRule.
TVK_FIELDLINK_EXPORT int requestLength(const std::uint8_t* pdu, int available);
// The same for the answer PDU of a server; an exception answer is
// kExceptionPduBytes long whatever its function.
TVK_FIELDLINK_EXPORT int answerLength(const std::uint8_t* pdu, int available);

// Whether a request with this function code may go to every slave at
// once: a write that reads nothing back. Nobody answers a broadcast, so a
// request that reads (or whose function tells no one what it does) cannot
// be one.
TVK_FIELDLINK_EXPORT bool isBroadcastWrite(std::uint8_t function);

// Function codes the register map answers through libmodbus. Their
// requests must have exactly the length their rule gives; any other code
// is answered "illegal function", whatever its length.
TVK_FIELDLINK_EXPORT bool isServed(std::uint8_t function);

// The exception a complete request must get before libmodbus sees it, or
// NoException. libmodbus answers an illegal quantity or an unknown function
// only after sleeping its response timeout and flushing its input (which
// takes the requests queued behind with it), and function 0x07 not at all;
// an event loop must never wait on either.
TVK_FIELDLINK_EXPORT ExceptionCode exceptionBeforeReply(const std::uint8_t* pdu);

// Writes the exception answer to `function` at `out`; answers its length.
TVK_FIELDLINK_EXPORT int exceptionAnswer(std::uint8_t* out, std::uint8_t function, ExceptionCode code);

// The register table a request reaches, numbered as CtvkModbusDataUnit
// numbers them (0: none), and the range of addresses.
struct Access {
    int table = 0;
    int first = 0;
    int count = 0;
    bool write = false;
};
// What a complete request PDU reads and writes: none, one access, or (a
// read-write request) the write and then the read. Answers how many.
TVK_FIELDLINK_EXPORT int accesses(const std::uint8_t* pdu, Access out[2]);

// Request PDUs as a master sends them, written at `out` (room for
// kMaxPduBytes); each answers its length. Bits are one 0/1 value each.
TVK_FIELDLINK_EXPORT int readRequest(std::uint8_t* out, std::uint8_t function, int address, int count);
TVK_FIELDLINK_EXPORT int writeSingleCoilRequest(std::uint8_t* out, int address, bool on);
TVK_FIELDLINK_EXPORT int writeSingleRegisterRequest(std::uint8_t* out, int address, int value);
TVK_FIELDLINK_EXPORT int writeCoilsRequest(std::uint8_t* out, int address, const std::uint16_t* bits, int count);
TVK_FIELDLINK_EXPORT int writeRegistersRequest(std::uint8_t* out, int address, const std::uint16_t* values,
                                               int count);
TVK_FIELDLINK_EXPORT int readWriteRequest(std::uint8_t* out, int readAddress, int readCount, int writeAddress,
                                          const std::uint16_t* values, int writeCount);

enum class AnswerCheck {
    Accepted,    // the answer to this request; values read are handed out
    Exception,   // the server refused it with an exception code
    Invalid,     // the answer to this function, but its data does not fit the request
    Foreign,     // not an answer to this function at all
};

// Judges the answer PDU `answer` (`answerLength` bytes, as its frame gave
// them) to the request PDU `request`. Accepted hands out what was read (one
// 0/1 per bit, one word per register; nothing for writes); Exception hands
// out the exception code.
TVK_FIELDLINK_EXPORT AnswerCheck checkAnswer(const std::uint8_t* request, const std::uint8_t* answer,
                                             int answerLength, std::uint16_t* values, int* exceptionCode);
// How many values checkAnswer hands out for this request at most.
TVK_FIELDLINK_EXPORT int valuesRead(const std::uint8_t* request);

} // namespace pdu

// The MBAP header in front of every Modbus TCP frame: transaction id,
// protocol id (0), length (unit id and PDU), unit id.
namespace mbap {

constexpr int kLengthFieldEnd = 6;   // transaction id, protocol id, length
constexpr int kHeaderBytes = 7;      // and the unit id: the PDU starts here
constexpr int kMinLength = 2;        // unit id and function code
constexpr int kMaxLength = 1 + pdu::kMaxPduBytes;
constexpr int kMaxFrameBytes = kLengthFieldEnd + kMaxLength;

inline int transactionId(const std::uint8_t* frame)
{
    return pdu::word(frame);
}
inline int protocolId(const std::uint8_t* frame)
{
    return pdu::word(frame + 2);
}
inline int length(const std::uint8_t* frame)
{
    return pdu::word(frame + 4);
}
inline int unitId(const std::uint8_t* frame)
{
    return frame[kHeaderBytes - 1];
}

// Writes a header for a PDU of `pduLength` bytes; answers kHeaderBytes.
TVK_FIELDLINK_EXPORT int writeHeader(std::uint8_t* out, int transactionId, int unitId, int pduLength);

// The exception answer to the request frame `request`, header included, at
// `out` (room for kHeaderBytes + kExceptionPduBytes); answers its length.
TVK_FIELDLINK_EXPORT int exceptionFrame(std::uint8_t* out, const std::uint8_t* request, pdu::ExceptionCode code);

enum class Split { Incomplete, Frame, Broken };
// Where the frame at the front of a stream of `available` bytes ends: a
// whole frame (*frameLength set), not all there yet, or a header that no
// Modbus peer sends (a length out of range), after which the stream cannot
// be read any more.
TVK_FIELDLINK_EXPORT Split splitFrame(const std::uint8_t* data, int available, int* frameLength);
// The same for a request a master sent, judged as early as can be: a
// protocol id other than 0 as soon as it has arrived, and a length that
// does not fit the function code (served codes only) as soon as the code,
// or for the writes of several values their byte count, has arrived.
TVK_FIELDLINK_EXPORT Split splitRequest(const std::uint8_t* data, int available, int* frameLength);

} // namespace mbap

// Modbus RTU framing: the slave address, the PDU and a CRC-16 sent low
// byte first.
namespace rtu {

constexpr int kAddressBytes = 1;
constexpr int kCrcBytes = 2;
constexpr int kMaxFrameBytes = kAddressBytes + pdu::kMaxPduBytes + kCrcBytes;
constexpr int kMinFrameBytes = kAddressBytes + 1 + kCrcBytes;
constexpr int kBroadcastAddress = 0;
constexpr int kMaxSlaveAddress = 247;

// Modbus CRC-16 of `length` bytes.
TVK_FIELDLINK_EXPORT unsigned short crc16(const std::uint8_t* data, int length);
// One byte more of a running CRC (start with 0xFFFF).
TVK_FIELDLINK_EXPORT unsigned short crcStep(unsigned short crc, std::uint8_t byte);
// Appends the CRC of the `length` bytes at `frame` behind them; answers the
// frame's new length.
TVK_FIELDLINK_EXPORT int appendCrc(std::uint8_t* frame, int length);
// Whether the last two of the `length` bytes are the CRC of the others.
TVK_FIELDLINK_EXPORT bool crcHolds(const std::uint8_t* frame, int length);

// The whole frame's length by the rule of its PDU (address and CRC
// included), from its first `available` bytes; kNeedMore or kNoRule as the
// PDU rules answer.
TVK_FIELDLINK_EXPORT int requestFrameLength(const std::uint8_t* frame, int available);
TVK_FIELDLINK_EXPORT int answerFrameLength(const std::uint8_t* frame, int available);

// The shortest frame of at least kMinFrameBytes at `frame` whose CRC
// holds, within its first `available` bytes; 0 if none. The end of a frame
// whose function has no length rule.
TVK_FIELDLINK_EXPORT int crcFrameLength(const std::uint8_t* frame, int available);

// The exception answer of `address` to `function`, CRC included, at `out`
// (room for kMinFrameBytes + 1); answers its length.
TVK_FIELDLINK_EXPORT int exceptionFrame(std::uint8_t* out, std::uint8_t address, std::uint8_t function,
                                        pdu::ExceptionCode code);

// Where the answer of `slave` to `function` stands in what a line has
// delivered. Bytes before `skip` are noise (or frames of others) and can go;
// when found, the answer is the `length` bytes at `skip`, its CRC checked.
// An answer whose function has no length rule ends at the first CRC that
// holds.
struct AnswerScan {
    bool found = false;
    int skip = 0;
    int length = 0;
};
TVK_FIELDLINK_EXPORT AnswerScan scanAnswer(const std::uint8_t* data, int available, std::uint8_t slave,
                                           std::uint8_t function);

} // namespace rtu

} // namespace Quorvan

#endif
