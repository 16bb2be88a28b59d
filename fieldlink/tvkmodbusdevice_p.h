// SPDX-License-Identifier: MIT
#ifndef TVKMODBUSDEVICE_P_H
#define TVKMODBUSDEVICE_P_H

#include "tvkmodbusdevice.h"
#include "tvkobject_p.h"
#include "tvkhash.h"

#include <modbus.h>

#include <string>

namespace Quorvan {

class TVK_FIELDLINK_EXPORT CtvkModbusDevicePrivate : public CtvkObjectPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkModbusDevice)

    CtvkModbusDevicePrivate();
    ~CtvkModbusDevicePrivate() override;

    // Stores code and text, then emits "errorOccurred(CtvkModbusDevice::Error)".
    void setPrivateError(const CtvkString& text, CtvkModbusDevice::Error code);
    // Records `code` with libmodbus's text for `err`, an errno value the
    // caller took right after the failing call.
    void setErrnoError(int err, CtvkModbusDevice::Error code);
    // libmodbus's text for the errno value `err` (its own codes included).
    static CtvkString errnoText(int err);
    // What is said of a host name that names nothing, by the blocking and
    // the asynchronous requests alike: the resolver's result `rc`
    // (getaddrinfo's), and for EAI_SYSTEM errno `err` if known (not 0).
    static CtvkString unresolvedHostText(int rc, int err);
    // An open() that failed: the context is released before the error is
    // recorded, so a handler of "errorOccurred" finds the device closed and
    // may open it again; then `line` goes to standard output.
    void failOpen(const CtvkString& text, const std::string& line);
    // Closes and frees the context and forgets it; harmless without one.
    void releaseContext();
    // The context's response timeout in whole milliseconds, rounded up (a
    // timer never fires before the limit); libmodbus's default of 500 ms
    // without a context.
    int responseTimeoutMs() const;
    // The context's byte timeout the same way (libmodbus's default of
    // 500 ms without a context); none set waits the response timeout.
    int byteTimeoutMs() const;

    // Makes `fd` non-blocking; false (errno set) when it cannot.
    static bool setNonBlocking(int fd);
    // One of the library's diagnostic lines: to the installed message
    // handler, else to standard output.
    static void printLine(const std::string& line);

    CtvkModbusDevice::Error error = CtvkModbusDevice::NoError;
    CtvkString errorString;
    modbus_t* modbusContext = nullptr;
    CtvkString serialPortName;
    int dataBits = 8;
    int parity = 2;
    int stopBits = 1;
    int baudRate = 19200;
    int networkPort = 502;
    int slave = 0;
    CtvkString networkAddress;
    CtvkHash<int, CtvkVariant> userParameters;
};

} // namespace Quorvan

#endif
