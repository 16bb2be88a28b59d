// SPDX-License-Identifier: MIT
// The asynchronous requests' answer framing, TCP and RTU: whatever a server
// or a line sends, the splitter and the scanner must hand out only whole
// frames inside the bytes given, and the answer check must hand out no more
// values than the request asked for, bits as 0 or 1.
#include "tvkmodbuspdu_p.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace Quorvan;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// A request the client could have sent, chosen by the first input bytes.
int makeRequest(const std::uint8_t* in, std::size_t size, std::uint8_t* request)
{
    const std::uint8_t kind = size > 0 ? in[0] : 0;
    const int address = size > 2 ? (in[1] << 8) | in[2] : 0;
    const int count = size > 3 ? 1 + in[3] % 125 : 1;
    const std::uint16_t values[125] = {1, 0, 1};
    switch (kind % 7) {
    case 0: return pdu::readRequest(request, pdu::ReadCoils, address, count * 16);
    case 1: return pdu::readRequest(request, pdu::ReadDiscreteInputs, address, count);
    case 2: return pdu::readRequest(request, pdu::ReadHoldingRegisters, address, count);
    case 3: return pdu::readRequest(request, pdu::ReadInputRegisters, address, count);
    case 4: return pdu::writeSingleRegisterRequest(request, address, count);
    case 5: return pdu::writeCoilsRequest(request, address, values, 3);
    default: return pdu::readWriteRequest(request, address, count, address, values, 2);
    }
}

void judge(const std::uint8_t* request, const std::uint8_t* answer, int length)
{
    std::uint16_t values[pdu::kMaxReadBits];
    int exception = -1;
    const pdu::AnswerCheck verdict = pdu::checkAnswer(request, answer, length, values, &exception);
    const int count = pdu::valuesRead(request);
    check(count <= pdu::kMaxReadBits);
    if (verdict == pdu::AnswerCheck::Exception)
        check(exception >= 0 && exception <= 0xFF && length == pdu::kExceptionPduBytes);
    if (verdict == pdu::AnswerCheck::Accepted && (request[0] == pdu::ReadCoils || request[0] == pdu::ReadDiscreteInputs))
        for (int i = 0; i < count; ++i)
            check(values[i] <= 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint8_t request[pdu::kMaxPduBytes];
    makeRequest(data, size, request);
    const std::size_t header = size < 4 ? size : 4;
    const std::uint8_t* stream = data + header;
    const int n = static_cast<int>(size - header);

    // TCP: frames one after another, as a server's stream delivers them.
    int at = 0;
    while (at < n) {
        int length = 0;
        const mbap::Split split = mbap::splitFrame(stream + at, n - at, &length);
        if (split != mbap::Split::Frame)
            break;
        check(length >= mbap::kLengthFieldEnd + mbap::kMinLength && length <= mbap::kMaxFrameBytes);
        check(at + length <= n);
        const std::uint8_t* answer = stream + at + mbap::kHeaderBytes;
        const int answerLength = length - mbap::kHeaderBytes;
        if (pdu::answerLength(answer, answerLength) == answerLength)
            judge(request, answer, answerLength);
        at += length;
    }

    // RTU: the same bytes as a line delivers them, a few at a time.
    std::vector<std::uint8_t> line;
    const std::uint8_t slave = n > 0 ? stream[0] : 1;
    for (int i = 0; i < n; i += 7) {
        line.insert(line.end(), stream + i, stream + (i + 7 < n ? i + 7 : n));
        const rtu::AnswerScan scan = rtu::scanAnswer(line.data(), static_cast<int>(line.size()), slave, request[0]);
        check(scan.skip >= 0 && scan.skip <= static_cast<int>(line.size()));
        if (scan.found) {
            check(scan.skip + scan.length <= static_cast<int>(line.size()));
            check(scan.length >= rtu::kMinFrameBytes && scan.length <= rtu::kMaxFrameBytes);
            const std::uint8_t* frame = line.data() + scan.skip;
            check(frame[0] == slave && rtu::crcHolds(frame, scan.length));
            judge(request, frame + rtu::kAddressBytes, scan.length - rtu::kAddressBytes - rtu::kCrcBytes);
            line.clear();
        } else {
            line.erase(line.begin(), line.begin() + scan.skip);
        }
    }
    return 0;
}
