// SPDX-License-Identifier: MIT
#include "tvkmodbusasync_p.h"

#include "tvkmodbusclient_p.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <modbus.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

namespace Quorvan {

namespace {

// A character on the line: start bit, 8 data bits, parity or a second stop
// bit, stop bit.
constexpr int kBitsPerCharacter = 11;
// Frames are apart by at least 3.5 characters; above 19200 baud the gap is
// fixed at 1.75 ms.
constexpr int kFixedGapAboveBaud = 19200;
constexpr int kFixedGapUs = 1750;
// Within a frame the line may pause at most 1.5 characters; above 19200
// baud 750 microseconds.
constexpr int kFixedPauseUs = 750;
constexpr int kReadChunkBytes = 512;

long long microsecondsFor(int characters, int baudRate)
{
    const int baud = baudRate > 0 ? baudRate : kFixedGapAboveBaud;
    return static_cast<long long>(characters) * kBitsPerCharacter * 1000000LL / baud;
}

// One character as the line's settings frame it: start bit, data bits,
// parity bit if any, stop bits.
long long characterUs(int baudRate, int dataBits, int parity, int stopBits)
{
    const int baud = baudRate > 0 ? baudRate : kFixedGapAboveBaud;
    const bool parityBit = parity == CtvkModbusDevice::EvenParity || parity == CtvkModbusDevice::OddParity;
    return (1LL + dataBits + (parityBit ? 1 : 0) + stopBits) * 1000000LL / baud;
}

} // namespace

CtvkModbusRtuLink::CtvkModbusRtuLink(CtvkModbusClientPrivate* client) : CtvkModbusAsyncLink(client)
{
    setClassName("CtvkModbusRtuLink");
    storeherits("CtvkModbusRtuLink");
}

CtvkModbusRtuLink::~CtvkModbusRtuLink()
{
    CtvkModbusRtuLink::closeTransport();
}

CtvkLinkFault CtvkModbusRtuLink::openTransport()
{
    // The line is the context's: opening a serial port does not wait, so
    // the device's own open() (with its errors and its line) makes it.
    if (!m_client->modbusContext || modbus_get_socket(m_client->modbusContext) < 0) {
        if (!m_client->mm_func()->open()) {
            CtvkLinkFault recorded;
            recorded.recorded = true;
            return recorded;
        }
    }
    m_line = modbus_get_socket(m_client->modbusContext);
    if (m_line < 0 || !CtvkModbusDevicePrivate::setNonBlocking(m_line))
        return CtvkLinkFault::ofErrno(EBADF);
    const int baud = m_client->baudRate;
    m_gapUs = baud > kFixedGapAboveBaud ? kFixedGapUs : microsecondsFor(7, baud) / 2;   // 3.5 characters
    m_characterUs = characterUs(baud, m_client->dataBits, m_client->parity, m_client->stopBits);
    m_lineFreeAt = Clock::now();
    m_echoPossible = false;
    m_reader = new CtvkSocketNotifier(m_line, CtvkSocketNotifier::Read, this);
    CtvkObject::connect<int>(m_reader, "activated", nullptr, std::function<void(int)>([this](int) { readable(); }));
    linkUp();
    return CtvkLinkFault::none();
}

void CtvkModbusRtuLink::closeTransport()
{
    // The descriptor stays the context's; only the watching ends here.
    delete m_reader;
    m_reader = nullptr;
    m_line = -1;
    m_in.clear();
    m_echoPossible = false;
}

CtvkLinkFault CtvkModbusRtuLink::lineFailed(int err)
{
    // A line that hung up stays dead on its descriptor (an adapter plugged
    // in again is a new device): closed, the next connect opens it afresh.
    // Out of the dispatcher before the descriptor closes.
    closeTransport();
    modbus_close(m_client->modbusContext);
    return CtvkLinkFault::ofErrno(err);
}

int CtvkModbusRtuLink::readLine(std::uint8_t* chunk, int size, CtvkLinkFault* fault)
{
    const ssize_t got = ::read(m_line, chunk, static_cast<std::size_t>(size));
    const int err = errno;
    if (got > 0)
        return static_cast<int>(got);
    if (got < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR))
        return 0;
    pollfd p{m_line, POLLIN, 0};
    if (got == 0 && (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLHUP | POLLERR))))
        return 0;
    // A line that hung up stays readable for ever: it is not watched any more.
    *fault = lineFailed(got == 0 ? EIO : err);
    return -1;
}

CtvkLinkFault CtvkModbusRtuLink::dropUnasked()
{
    // What came since the last answer (a late answer, a repeated one the
    // loop has not read yet, another master's traffic) is nobody's: it
    // goes, and the line must have been quiet since.
    std::uint8_t chunk[kReadChunkBytes];
    CtvkLinkFault fault;
    int got = 0;
    while ((got = readLine(chunk, sizeof chunk, &fault)) > 0)
        m_lineFreeAt = Clock::now();
    m_in.clear();
    return fault;
}

int CtvkModbusRtuLink::silenceLeftMs() const
{
    const auto quietFrom = m_lineFreeAt + std::chrono::microseconds(m_gapUs);
    const auto now = Clock::now();
    if (now >= quietFrom)
        return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(quietFrom - now).count());
}

CtvkLinkFault CtvkModbusRtuLink::sendRequest(CtvkModbusRequest* request)
{
    std::uint8_t frame[rtu::kMaxFrameBytes];
    frame[0] = static_cast<std::uint8_t>(request->unit);
    std::copy(request->pdu, request->pdu + request->pduLength, frame + rtu::kAddressBytes);
    const int length = rtu::appendCrc(frame, rtu::kAddressBytes + request->pduLength);
    observeFrame(true, frame, length);
    m_in.clear();
    const ssize_t written = ::write(m_line, frame, static_cast<std::size_t>(length));
    const int err = errno;
    if (written < 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR)
        return lineFailed(err);
    // A frame the line did not take whole is lost like one the device did
    // not hear: the attempt's time limit ends it. The line is busy until
    // the bytes have gone out at the baud rate.
    const auto now = Clock::now();
    m_lineFreeAt = std::max(now, m_lineFreeAt)
        + std::chrono::microseconds(microsecondsFor(length, m_client->baudRate));
    m_sent.assign(frame, frame + length);
    m_echoPossible = !request->broadcast;
    m_echoEarliest = now + std::chrono::microseconds(m_characterUs * (length - 1));
    m_echoLatest = m_lineFreeAt
        + std::chrono::microseconds(m_client->baudRate > kFixedGapAboveBaud ? kFixedPauseUs : 3 * m_characterUs / 2);
    return CtvkLinkFault::none();
}

void CtvkModbusRtuLink::attemptFailed()
{
    m_in.clear();
    m_echoPossible = false;
}

bool CtvkModbusRtuLink::holdsEcho(Clock::time_point now)
{
    // The echo repeats the frame while it leaves the line. A slave answers
    // only after a silence, and its answer takes the line's time too; a
    // whole copy sooner than the line could carry it comes from a peer
    // without line timing (a pseudo terminal) answering a write at once.
    const std::size_t compared = std::min(m_in.size(), m_sent.size());
    if (now > m_echoLatest || !std::equal(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(compared),
                                          m_sent.begin())) {
        m_echoPossible = false;
        return false;
    }
    if (m_in.size() < m_sent.size())
        return true;   // the rest of the echo may still come
    m_echoPossible = false;
    if (now < m_echoEarliest)
        return false;
    m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(m_sent.size()));
    return m_in.empty();
}

void CtvkModbusRtuLink::readable()
{
    std::uint8_t chunk[kReadChunkBytes];
    CtvkLinkFault fault;
    const int got = readLine(chunk, sizeof chunk, &fault);
    if (got < 0) {
        linkDown(fault);
        return;
    }
    if (got == 0)
        return;
    const auto now = Clock::now();
    m_lineFreeAt = now;
    CtvkModbusRequest* request = firstInFlight();
    if (!request || request->broadcast)
        return;   // nobody asked: noise, or another master's traffic
    m_in.insert(m_in.end(), chunk, chunk + got);
    if (m_echoPossible && holdsEcho(now))
        return;
    const rtu::AnswerScan scan = rtu::scanAnswer(m_in.data(), static_cast<int>(m_in.size()),
                                                 static_cast<std::uint8_t>(request->unit), request->pdu[0]);
    if (!scan.found) {
        m_in.erase(m_in.begin(), m_in.begin() + scan.skip);
        if (!m_in.empty())
            answerUnderWay(request);
        return;
    }
    std::vector<std::uint8_t> frame(m_in.begin() + scan.skip, m_in.begin() + scan.skip + scan.length);
    m_in.clear();
    observeFrame(false, frame.data(), scan.length);
    answerArrived(request, frame.data() + rtu::kAddressBytes, scan.length - rtu::kAddressBytes - rtu::kCrcBytes);
}

} // namespace Quorvan
