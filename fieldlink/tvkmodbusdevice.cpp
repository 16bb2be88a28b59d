// SPDX-License-Identifier: MIT
#include "tvkmodbusdevice.h"
#include "tvkmodbusdevice_p.h"

#include "tvkmessagehandler.h"
#include "tvksignal.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <netdb.h>

namespace Quorvan {

namespace {

std::atomic<CtvkMessageHandler> messageHandler{nullptr};

// One of the context's timeouts in whole milliseconds, rounded up (a timer
// never fires before the limit); libmodbus's default of 500 ms without a
// context.
int contextTimeoutMs(modbus_t* context, int (*get)(modbus_t*, uint32_t*, uint32_t*))
{
    constexpr int kLibmodbusDefaultMs = 500;
    uint32_t seconds = 0;
    uint32_t microseconds = 0;
    if (!context || get(context, &seconds, &microseconds) == -1)
        return kLibmodbusDefaultMs;
    return static_cast<int>(seconds * 1000 + (microseconds + 999) / 1000);
}

} // namespace

CtvkMessageHandler tvkInstallFieldlinkMessageHandler(CtvkMessageHandler handler)
{
    return messageHandler.exchange(handler);
}

CtvkModbusDevicePrivate::CtvkModbusDevicePrivate()
    : errorString(CtvkString::fromAscii(""))
    , serialPortName(CtvkString::fromAscii(""))
    , networkAddress(CtvkString::fromAscii("127.0.0.1"))
{
}

// The context belongs to the public object, which releases it.
CtvkModbusDevicePrivate::~CtvkModbusDevicePrivate() = default;

void CtvkModbusDevicePrivate::setPrivateError(const CtvkString& text, CtvkModbusDevice::Error code)
{
    error = code;
    errorString = text;
    mm_func()->transmit<void, CtvkModbusDevice::Error>(code, "errorOccurred(CtvkModbusDevice::Error)");
}

void CtvkModbusDevicePrivate::setErrnoError(int err, CtvkModbusDevice::Error code)
{
    setPrivateError(errnoText(err), code);
}

CtvkString CtvkModbusDevicePrivate::errnoText(int err)
{
    // The text comes from the C library in the locale's encoding.
    return CtvkString::fromLocal8Bit(modbus_strerror(err));
}

CtvkString CtvkModbusDevicePrivate::unresolvedHostText(int rc, int err)
{
    const char* reason = rc == EAI_SYSTEM && err != 0 ? std::strerror(err) : ::gai_strerror(rc);
    return CtvkString::fromLocal8Bit((std::string("the host name could not be resolved: ") + reason).c_str());
}

void CtvkModbusDevicePrivate::failOpen(const CtvkString& text, const std::string& line)
{
    releaseContext();
    // A handler of "errorOccurred" may destroy the device: nothing of it is
    // touched after the error is recorded.
    setPrivateError(text, CtvkModbusDevice::ConnectionError);
    printLine(line);
}

bool CtvkModbusDevicePrivate::setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1)
        return false;
    return (flags & O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void CtvkModbusDevicePrivate::printLine(const std::string& line)
{
    if (const CtvkMessageHandler handler = messageHandler.load())
        handler("fieldlink", line.c_str());
    else
        std::cout << line << std::endl;
}

int CtvkModbusDevicePrivate::responseTimeoutMs() const
{
    return contextTimeoutMs(modbusContext, modbus_get_response_timeout);
}

int CtvkModbusDevicePrivate::byteTimeoutMs() const
{
    const int ms = contextTimeoutMs(modbusContext, modbus_get_byte_timeout);
    return ms > 0 ? ms : responseTimeoutMs();   // none: libmodbus would wait for ever
}

void CtvkModbusDevicePrivate::releaseContext()
{
    // libmodbus accepts a null context in both calls, so closing twice is harmless.
    modbus_close(modbusContext);
    modbus_free(modbusContext);
    modbusContext = nullptr;
}

CtvkModbusDevice::CtvkModbusDevice(CtvkObject* parent)
    : CtvkModbusDevice(new CtvkModbusDevicePrivate, parent)
{
}

// Without a private object of its own kind every accessor would reach past
// the plain one CtvkObject would make in its place.
CtvkModbusDevice::CtvkModbusDevice(CtvkModbusDevicePrivate* d, CtvkObject* parent)
    : CtvkObject(d ? d : new CtvkModbusDevicePrivate, parent)
{
    setClassName("CtvkModbusDevice");
    storeherits("CtvkModbusDevice");
    [[maybe_unused]] static const bool signalsDeclared =
        tvkDeclareSignal<CtvkModbusDevice::Error>("CtvkModbusDevice", "errorOccurred(CtvkModbusDevice::Error)");
}

CtvkModbusDevice::~CtvkModbusDevice()
{
    d_func()->releaseContext();
}

void CtvkModbusDevice::close()
{
    d_func()->releaseContext();
}

CtvkVariant CtvkModbusDevice::connectionParameter(int key) const
{
    const CtvkModbusDevicePrivate* d = d_func();
    switch (key) {
    case SerialPortName: return CtvkVariant(d->serialPortName);
    case SerialParity: return CtvkVariant(d->parity);
    case SerialBaudRate: return CtvkVariant(d->baudRate);
    case SerialDataBits: return CtvkVariant(d->dataBits);
    case SerialStopBits: return CtvkVariant(d->stopBits);
    case NetworkPort: return CtvkVariant(d->networkPort);
    case NetworkAddress: return CtvkVariant(d->networkAddress);
    default: return d->userParameters.value(key);
    }
}

void CtvkModbusDevice::setConnectionParameter(int key, const CtvkVariant& value)
{
    CtvkModbusDevicePrivate* d = d_func();
    switch (key) {
    case SerialPortName: d->serialPortName = value.toString(); break;
    case SerialParity: d->parity = value.toInt(); break;
    case SerialBaudRate: d->baudRate = value.toInt(); break;
    case SerialDataBits: d->dataBits = value.toInt(); break;
    case SerialStopBits: d->stopBits = value.toInt(); break;
    case NetworkPort: d->networkPort = value.toInt(); break;
    case NetworkAddress: d->networkAddress = value.toString(); break;
    default: d->userParameters.insert(key, value); break;
    }
}

void CtvkModbusDevice::setSlave(int slave)
{
    d_func()->slave = slave;
}

int CtvkModbusDevice::slave() const
{
    return d_func()->slave;
}

CtvkModbusDevice::Error CtvkModbusDevice::error() const
{
    return d_func()->error;
}

CtvkString CtvkModbusDevice::errorString() const
{
    return d_func()->errorString;
}

void CtvkModbusDevice::setError(const CtvkString& text, Error code)
{
    d_func()->setPrivateError(text, code);
}

void CtvkModbusDevice::timeout(unsigned* seconds, unsigned* microseconds)
{
    CtvkModbusDevicePrivate* d = d_func();
    // libmodbus writes through both pointers unchecked; read into locals so a
    // caller that wants only one half may pass null for the other.
    uint32_t sec = 0;
    uint32_t usec = 0;
    if (modbus_get_response_timeout(d->modbusContext, &sec, &usec) == -1) {
        d->setErrnoError(errno, ConfigurationError);
        return;
    }
    if (seconds)
        *seconds = sec;
    if (microseconds)
        *microseconds = usec;
}

bool CtvkModbusDevice::setTimeout(unsigned seconds, unsigned microseconds)
{
    CtvkModbusDevicePrivate* d = d_func();
    if (modbus_set_response_timeout(d->modbusContext, seconds, microseconds) == -1) {
        d->setErrnoError(errno, ConfigurationError);
        return false;
    }
    return true;
}

int CtvkModbusDevice::flush()
{
    return modbus_flush(d_func()->modbusContext);
}

} // namespace Quorvan
