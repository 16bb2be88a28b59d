#include "tvkmodbusrtuserialmaster.h"
#include "tvkmodbusrtuserialmaster_p.h"

#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <iostream>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace Quorvan {

namespace {

// No frame pauses this long inside: libmodbus itself gives a frame up after
// its byte timeout of half a second. Whatever is left unfinished before such
// a pause is dropped, so it cannot swallow the frames after it.
constexpr auto FrameSilence = std::chrono::milliseconds(500);

// The loop comes back while the line stays readable; bounding the reads of
// one activation keeps a chattering line from holding the whole panel.
constexpr int ReadsPerActivation = 8;

constexpr int IllegalFunction = 1;
constexpr int IllegalDataValue = 3;
constexpr int ServerDeviceFailure = 4;

int word(const unsigned char* f, int at)
{
    return (f[at] << 8) | f[at + 1];
}

// The exception for a request libmodbus would answer only after sleeping its
// response timeout and flushing the line (which takes the next request with
// it), or would not answer at all (0x07 and every unknown function code);
// 0 when modbus_reply answers it at once. The framer guarantees the bytes
// read here.
int exceptionLibmodbusStallsOn(const unsigned char* f)
{
    switch (f[1]) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS: {
        const int count = word(f, 4);
        return (count < 1 || count > MODBUS_MAX_READ_BITS) ? IllegalDataValue : 0;
    }
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS: {
        const int count = word(f, 4);
        return (count < 1 || count > MODBUS_MAX_READ_REGISTERS) ? IllegalDataValue : 0;
    }
    case MODBUS_FC_WRITE_MULTIPLE_COILS: {
        const int count = word(f, 4);
        return (count < 1 || count > MODBUS_MAX_WRITE_BITS || f[6] * 8 < count) ? IllegalDataValue : 0;
    }
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
        const int count = word(f, 4);
        return (count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || f[6] != count * 2) ? IllegalDataValue : 0;
    }
    case MODBUS_FC_WRITE_AND_READ_REGISTERS: {
        const int readCount = word(f, 4);
        const int writeCount = word(f, 8);
        return (readCount < 1 || readCount > MODBUS_MAX_WR_READ_REGISTERS || writeCount < 1
                || writeCount > MODBUS_MAX_WR_WRITE_REGISTERS || f[10] != writeCount * 2)
            ? IllegalDataValue : 0;
    }
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_REPORT_SLAVE_ID:
    case MODBUS_FC_MASK_WRITE_REGISTER:
        return 0;
    default:
        return IllegalFunction;
    }
}

} // namespace

CtvkModbusRtuSerialMasterPrivate::CtvkModbusRtuSerialMasterPrivate() = default;
CtvkModbusRtuSerialMasterPrivate::~CtvkModbusRtuSerialMasterPrivate() = default;

void CtvkModbusRtuSerialMasterPrivate::setup()
{
    std::memset(request, 0, sizeof request);
    framer.clear();
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
    ::fcntl(line, F_SETFL, ::fcntl(line, F_GETFL) | O_NONBLOCK);
    CtvkModbusRtuSerialMaster* device = mm_func();
    notifier = new CtvkSocketNotifier(line, CtvkSocketNotifier::Read, device);
    CtvkObject::connect<int>(notifier, "activated", device,
                             std::function<void(int)>([device](int) { device->d_func()->processData(); }));
    return true;
}

void CtvkModbusRtuSerialMasterPrivate::lineLost(const CtvkString& text)
{
    // A line that hung up stays readable for ever; watching it would spin
    // the loop. The host learns it here and may close and open again.
    tvkClearNotifier();
    framer.clear();
    setPrivateError(text, CtvkModbusDevice::ConnectionError);
}

void CtvkModbusRtuSerialMasterPrivate::processData()
{
    const int line = modbus_get_socket(modbusContext);
    if (line < 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (framer.pendingBytes() > 0 && now - lastData > FrameSilence)
        framer.discardPending();

    for (int i = 0; i < ReadsPerActivation; ++i) {
        unsigned char* to = framer.writable();
        const int room = framer.room();
        const ssize_t n = ::read(line, to, std::size_t(room));
        if (n > 0) {
            lastData = now;
            framer.commit(int(n));
            CtvkRtuFramer::Frame frame;
            while (framer.next(&frame))
                answer(frame);
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
            lineLost(CtvkString::fromAscii("The serial line hung up"));
            return;
        }
        lineLost(CtvkString::fromAscii(modbus_strerror(err)));
        return;
    }
}

void CtvkModbusRtuSerialMasterPrivate::answer(const CtvkRtuFramer::Frame& frame)
{
    std::memcpy(request, frame.data, std::size_t(frame.length));
    // Broadcasts are applied where they can be and never answered.
    if (!mapping) {
        if (!frame.broadcast)
            sendException(ServerDeviceFailure);
        return;
    }
    if (const int code = exceptionLibmodbusStallsOn(request)) {
        if (!frame.broadcast)
            sendException(code);
        return;
    }
    modbus_reply(modbusContext, request, frame.length, mapping);
}

void CtvkModbusRtuSerialMasterPrivate::sendException(int code)
{
    unsigned char out[5] = {request[0], static_cast<unsigned char>(request[1] | 0x80),
                            static_cast<unsigned char>(code), 0, 0};
    const unsigned short crc = rtu::crc16(out, 3);
    out[3] = static_cast<unsigned char>(crc & 0xFF);
    out[4] = static_cast<unsigned char>(crc >> 8);
    // A line that takes no more is not waited for: the master asks again.
    (void)!::write(modbus_get_socket(modbusContext), out, sizeof out);
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
    d->framer.setSlave(d->slave);
    d->setup();

    if (modbus_connect(d->modbusContext) == -1) {
        const int err = errno;
        // Released first, so a handler of "errorOccurred" finds the device
        // closed and may open it again.
        d->releaseContext();
        d->setPrivateError(CtvkString::fromAscii(modbus_strerror(err)), ConnectionError);
        std::cout << "connect failed" << std::endl;
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
