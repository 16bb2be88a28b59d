// SPDX-License-Identifier: MIT
#include "tvkmodbusrtuserialslave.h"
#include "tvkmodbusrtuserialslave_p.h"

#include "tvkmodbusasync_p.h"
#include "tvkrtuframer_p.h"

#include <cerrno>
#include <string>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/select.h>

#include <cstring>

namespace Quorvan {

namespace {

// libmodbus refuses a delay for good (negative, no context, no RTU context),
// so asking again and again only freezes the caller; a few attempts cover
// any passing refusal.
constexpr int kInterFrameDelayAttempts = 3;

// Every request waits for its answer with select(), which aborts the process
// for a descriptor numbered FD_SETSIZE or more.
CtvkString unwaitableLineText(int descriptor)
{
    const std::string text = "Serial line descriptor " + std::to_string(descriptor)
        + " is beyond what libmodbus can wait on (select() takes numbers below "
        + std::to_string(FD_SETSIZE) + ")";
    return CtvkString::fromAscii(text.c_str());
}

} // namespace

CtvkModbusRtuSerialSlavePrivate::CtvkModbusRtuSerialSlavePrivate()
{
    serialLine = true;
}

CtvkModbusAsyncLink* CtvkModbusRtuSerialSlavePrivate::createLink()
{
    return new CtvkModbusRtuLink(this);
}

std::string CtvkModbusRtuSerialSlavePrivate::applySerialMode()
{
    const int line = modbus_get_socket(modbusContext);
    if (line < 0)
        return std::string();   // taken at the next open()
    serial_rs485 rs485{};
    if (serialMode != CtvkModbusRtuSerialSlave::Rs232) {
        rs485.flags = SER_RS485_ENABLED
            | (serialMode == CtvkModbusRtuSerialSlave::Rs485RtsOnSend ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
    } else {
        // Plain RS-232 is what a line is unless told otherwise: nothing to
        // undo on a driver that never had RS-485 mode.
        serial_rs485 current{};
        if (::ioctl(line, TIOCGRS485, &current) != 0 || !(current.flags & SER_RS485_ENABLED))
            return std::string();
    }
    if (::ioctl(line, TIOCSRS485, &rs485) == 0)
        return std::string();
    const int err = errno;
    return std::string("RS-485 mode: the line does not take it (") + std::strerror(err) + ")";
}
CtvkModbusRtuSerialSlavePrivate::~CtvkModbusRtuSerialSlavePrivate() = default;


CtvkModbusRtuSerialSlave::CtvkModbusRtuSerialSlave(CtvkObject* parent)
    : CtvkModbusClient(new CtvkModbusRtuSerialSlavePrivate, parent)
{
}

CtvkModbusRtuSerialSlave::CtvkModbusRtuSerialSlave(CtvkModbusRtuSerialSlavePrivate* d, CtvkObject* parent)
    : CtvkModbusClient(d ? d : new CtvkModbusRtuSerialSlavePrivate, parent)
{
    setClassName("CtvkModbusRtuSerialSlave");
    storeherits("CtvkModbusRtuSerialSlave");
}

CtvkModbusRtuSerialSlave::~CtvkModbusRtuSerialSlave()
{
    // The link watches the context's line: it goes before the line closes.
    d_func()->destroyLink();
    CtvkModbusDevice::close();
}

bool CtvkModbusRtuSerialSlave::open()
{
    CtvkModbusRtuSerialSlavePrivate* d = d_func();
    if (!d->modbusContext) {
        d->modbusContext = rtu::newContext(d->serialPortName.toAscii().constData(), d->baudRate, d->parity,
                                           d->dataBits, d->stopBits);
        if (!d->modbusContext) {
            d->setPrivateError(CtvkString::fromAscii("Unable to create the libmodbus context"),
                               ConfigurationError);
            return false;
        }
    } else {
        // modbus_connect opens the port again over the descriptor it holds,
        // leaking it, and would keep the settings it made itself as the ones
        // to restore on close; so the line is closed first (the context and
        // its timeouts stay), and the asynchronous link that watches it
        // lets go of it before.
        if (d->link && d->link->state() == CtvkModbusClient::ConnectedState)
            d->stopLink();
        modbus_close(d->modbusContext);
    }

    modbus_set_slave(d->modbusContext, d->slave);   // an id libmodbus refuses leaves the old one

    if (modbus_connect(d->modbusContext) == -1) {
        d->failOpen(d->errnoText(errno), rtu::kConnectFailedLine);
        return false;
    }
    // Opening the port does not wait, so the descriptor can be judged after.
    const int line = modbus_get_socket(d->modbusContext);
    if (line >= FD_SETSIZE) {
        d->failOpen(unwaitableLineText(line), rtu::kConnectFailedLine);
        return false;
    }
    if (d->serialMode != Rs232) {
        const std::string why = d->applySerialMode();
        if (!why.empty()) {
            // Released before it is recorded: a handler may open it again.
            d->releaseContext();
            d->setPrivateError(CtvkString::fromStdString(why), ConfigurationError);
            return false;
        }
    }
    return true;
}

bool CtvkModbusRtuSerialSlave::setSerialMode(SerialMode mode)
{
    CtvkModbusRtuSerialSlavePrivate* d = d_func();
    d->serialMode = mode;
    const std::string why = d->applySerialMode();
    if (why.empty())
        return true;
    d->setPrivateError(CtvkString::fromStdString(why), ConfigurationError);
    return false;
}

CtvkModbusRtuSerialSlave::SerialMode CtvkModbusRtuSerialSlave::serialMode() const
{
    return static_cast<SerialMode>(d_func()->serialMode);
}

int CtvkModbusRtuSerialSlave::interFrameDelay()
{
    return modbus_rtu_get_rts_delay(d_func()->modbusContext);
}

bool CtvkModbusRtuSerialSlave::setInterFrameDelay(int delay)
{
    CtvkModbusRtuSerialSlavePrivate* d = d_func();
    // -1 is libmodbus's failure, not a delay: without a context a request
    // for -1 must fail, not pass as "already set".
    const int current = modbus_rtu_get_rts_delay(d->modbusContext);
    if (current != -1 && current == delay)
        return true;

    int err = 0;
    for (int i = 0; i < kInterFrameDelayAttempts; ++i) {
        if (modbus_rtu_set_rts_delay(d->modbusContext, delay) == 0)
            return true;
        err = errno;
    }
    d->setErrnoError(err, ConfigurationError);
    return false;
}

} // namespace Quorvan
