// SPDX-License-Identifier: MIT
#include "tvkmodbusrtuserialmaster.h"
#include "tvkmodbusrtuserialmaster_p.h"

#include "tvkrtuframer_p.h"

#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <cerrno>
#include <cstring>
#include <functional>

#include <poll.h>
#include <unistd.h>

namespace Quorvan {

namespace {

// No frame pauses this long inside: libmodbus itself gives a frame up after
// its byte timeout of half a second. Whatever is left unfinished before such
// a pause is dropped, so it cannot swallow the frames after it.
constexpr int kFrameSilenceMs = 500;

// The loop comes back while the line stays readable; bounding the reads of
// one activation keeps a chattering line from holding the whole panel.
constexpr int kReadsPerActivation = 8;

} // namespace

CtvkModbusRtuSerialMasterPrivate::CtvkModbusRtuSerialMasterPrivate() : framer(new CtvkRtuFramer) {}
CtvkModbusRtuSerialMasterPrivate::~CtvkModbusRtuSerialMasterPrivate() = default;

void CtvkModbusRtuSerialMasterPrivate::setup()
{
    std::memset(request, 0, sizeof request);
    framer->clear();
}

void CtvkModbusRtuSerialMasterPrivate::tvkClearNotifier()
{
    delete notifier;
    notifier = nullptr;
}

bool CtvkModbusRtuSerialMasterPrivate::watchLine()
{
    const int line = modbus_get_socket(modbusContext);
    if (line < 0)
        return false;
    // Reads must never wait: the event loop says when there is data.
    setNonBlocking(line);
    CtvkModbusRtuSerialMaster* device = mm_func();
    notifier = new CtvkSocketNotifier(line, CtvkSocketNotifier::Read, device);
    CtvkObject::connect<int>(notifier, "activated", device,
                             std::function<void(int)>([device](int) { device->d_func()->processData(); }));
    return true;
}

void CtvkModbusRtuSerialMasterPrivate::lineLost(int err)
{
    // A line that hung up stays readable for ever; watching it would spin
    // the loop. The host learns it here and may close and open again.
    tvkClearNotifier();
    framer->clear();
    if (err)
        setErrnoError(err, CtvkModbusDevice::ConnectionError);
    else
        setPrivateError(CtvkString::fromAscii("The serial line hung up"), CtvkModbusDevice::ConnectionError);
}

void CtvkModbusRtuSerialMasterPrivate::processData()
{
    const int line = modbus_get_socket(modbusContext);
    if (line < 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (framer->pendingBytes() > 0 && now - lastData > std::chrono::milliseconds(kFrameSilenceMs))
        framer->discardPending();

    for (int i = 0; i < kReadsPerActivation; ++i) {
        unsigned char* to = framer->writable();
        const int room = framer->room();
        const ssize_t n = ::read(line, to, std::size_t(room));
        if (n > 0) {
            lastData = now;
            framer->commit(int(n));
            CtvkRtuFramer::Frame frame;
            while (framer->next(&frame))
                answer(frame.data, frame.length, frame.broadcast);
            if (n < room)
                return;   // the line is drained
            continue;
        }
        const int err = errno;
        if (n < 0 && err == EINTR)
            continue;
        if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK))
            return;
        if (n == 0) {
            pollfd p{line, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLHUP | POLLERR)))
                return;
            lineLost(0);
            return;
        }
        lineLost(err);
        return;
    }
}

void CtvkModbusRtuSerialMasterPrivate::answer(const unsigned char* frame, int length, bool broadcast)
{
    std::memcpy(request, frame, std::size_t(length));
    // Broadcasts are applied where they can be and never answered.
    if (const int code = exceptionBeforeReply(request + rtu::kAddressBytes)) {
        if (!broadcast)
            sendException(code);
        return;
    }
    const int sent = modbus_reply(modbusContext, request, length, mapping);
    if (!broadcast)
        answered(sent != -1);
}

void CtvkModbusRtuSerialMasterPrivate::sendException(int code)
{
    std::uint8_t out[rtu::kMinFrameBytes + 1];
    const int length = rtu::exceptionFrame(out, request[0], request[1], static_cast<pdu::ExceptionCode>(code));
    answered(::write(modbus_get_socket(modbusContext), out, std::size_t(length)) == length);
}

void CtvkModbusRtuSerialMasterPrivate::answered(bool whole)
{
    if (whole)
        ++requestsAnswered;
    else
        answerLost();
}

CtvkModbusRtuSerialMaster::CtvkModbusRtuSerialMaster(CtvkObject* parent)
    : CtvkModbusRtuSerialMaster(new CtvkModbusRtuSerialMasterPrivate, parent)
{
}

CtvkModbusRtuSerialMaster::CtvkModbusRtuSerialMaster(CtvkModbusRtuSerialMasterPrivate* d, CtvkObject* parent)
    : CtvkModbusServer(d ? d : new CtvkModbusRtuSerialMasterPrivate, parent)
{
    setClassName("CtvkModbusRtuSerialMaster");
    storeherits("CtvkModbusRtuSerialMaster");
}

CtvkModbusRtuSerialMaster::~CtvkModbusRtuSerialMaster()
{
    CtvkModbusRtuSerialMasterPrivate* d = d_func();
    d->tvkClearNotifier();
    d->releaseContext();
}

CtvkModbusRtuSerialMaster::LineCounters CtvkModbusRtuSerialMaster::lineCounters() const
{
    const CtvkRtuFramer::Counters& c = d_func()->framer->counters();
    LineCounters counters;
    counters.requests = c.requests;
    counters.broadcasts = c.broadcasts;
    counters.otherSlaveFrames = c.otherRequests + c.otherAnswers;
    counters.noiseBytes = c.droppedBytes;
    return counters;
}

bool CtvkModbusRtuSerialMaster::open()
{
    CtvkModbusRtuSerialMasterPrivate* d = d_func();
    bool watched = false;
    if (!d->modbusContext) {
        d->modbusContext = rtu::newContext(d->serialPortName.toAscii().constData(), d->baudRate, d->parity,
                                           d->dataBits, d->stopBits);
        if (!d->modbusContext) {
            d->setPrivateError(CtvkString::fromAscii("Unable to create the libmodbus context"),
                               ConfigurationError);
            return false;
        }
    } else {
        // Connecting again opens a new descriptor (modbus_connect would leak
        // the old one). The notifier goes before its descriptor closes and
        // comes back for the new one, so serving goes on.
        watched = d->notifier != nullptr;
        d->tvkClearNotifier();
        modbus_close(d->modbusContext);
    }

    modbus_set_slave(d->modbusContext, d->slave);
    d->framer->setSlave(d->slave);
    d->setup();

    if (modbus_connect(d->modbusContext) == -1) {
        d->failOpen(d->errnoText(errno), rtu::kConnectFailedLine);
        return false;
    }
    if (watched)
        d->watchLine();
    return true;
}

void CtvkModbusRtuSerialMaster::processRequest()
{
    CtvkModbusRtuSerialMasterPrivate* d = d_func();
    if (d->notifier)
        return;
    // Without an open line there is nothing to watch; a notifier for
    // libmodbus's -1 would watch nothing and hide that.
    if (!d->watchLine())
        d->setPrivateError(CtvkString::fromAscii("The serial line is not open"), ConnectionError);
}

void CtvkModbusRtuSerialMaster::close()
{
    CtvkModbusRtuSerialMasterPrivate* d = d_func();
    d->tvkClearNotifier();
    d->releaseContext();
    d->setup();
}

} // namespace Quorvan
