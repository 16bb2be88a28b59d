#include "tvkmodbusclient.h"
#include "tvkmodbusclient_p.h"

#include <cerrno>

namespace Quorvan {

namespace {

// libmodbus copies the answer into a null buffer unchecked (after the peer
// has already acted on the request), and puts counts below one on the wire
// as quantities such as 0xFFFF. Neither can be a sound request, so they are
// refused before anything is sent, as libmodbus refuses a missing context.
bool acceptable(int count, const void* buffer)
{
    if (count < 1 || buffer == nullptr) {
        errno = EINVAL;
        return false;
    }
    return true;
}

} // namespace

CtvkModbusClientPrivate::CtvkModbusClientPrivate() = default;
CtvkModbusClientPrivate::~CtvkModbusClientPrivate() = default;

bool CtvkModbusClientPrivate::isOpen() const
{
    return false;
}

void CtvkModbusClientPrivate::init()
{
    numberOfRetries = 3;
}

template <class Request>
int CtvkModbusClientPrivate::attempt(Request request)
{
    // Back to back, no pause: each attempt already waited its response timeout.
    int result = -1;
    for (int i = 0; i < numberOfRetries && result == -1; ++i)
        result = request();
    return result;
}

template <class Request>
int CtvkModbusClientPrivate::attemptWrite(Request request)
{
    // Nobody answers a broadcast (slave 0), yet libmodbus waits its response
    // timeout for an answer. The request went out, and a repeat would be
    // applied again by every device: one attempt, and its timeout is success.
    if (modbusContext && modbus_get_slave(modbusContext) == MODBUS_BROADCAST_ADDRESS) {
        const int result = request();
        return result == -1 && errno == ETIMEDOUT ? 0 : result;
    }
    return attempt(request);
}

bool CtvkModbusClientPrivate::conclude(int result, CtvkModbusDevice::Error code)
{
    const int err = errno;
    if (result != -1)
        return true;
    setErrnoError(err, code);
    return false;
}

int CtvkModbusClientPrivate::processReadCoils(int address, int count, unsigned char* destination)
{
    if (!acceptable(count, destination))
        return -1;
    return attempt([&] { return modbus_read_bits(modbusContext, address, count, destination); });
}

int CtvkModbusClientPrivate::processReadDiscrete(int address, int count, unsigned char* destination)
{
    if (!acceptable(count, destination))
        return -1;
    return attempt([&] { return modbus_read_input_bits(modbusContext, address, count, destination); });
}

int CtvkModbusClientPrivate::processReadRgisters(int address, int count, unsigned short* destination)
{
    if (!acceptable(count, destination))
        return -1;
    return attempt([&] { return modbus_read_registers(modbusContext, address, count, destination); });
}

int CtvkModbusClientPrivate::processReadMInputRegisters(int address, int count, unsigned short* destination)
{
    if (!acceptable(count, destination))
        return -1;
    return attempt([&] { return modbus_read_input_registers(modbusContext, address, count, destination); });
}

int CtvkModbusClientPrivate::processWriteCoils(int address, int state)
{
    return attemptWrite([&] { return modbus_write_bit(modbusContext, address, state); });
}

int CtvkModbusClientPrivate::processWriteMultiColis(int address, int count, unsigned char* source)
{
    if (!acceptable(count, source))
        return -1;
    return attemptWrite([&] { return modbus_write_bits(modbusContext, address, count, source); });
}

int CtvkModbusClientPrivate::processWriteRegisters(int address, unsigned short value)
{
    return attemptWrite([&] { return modbus_write_register(modbusContext, address, value); });
}

int CtvkModbusClientPrivate::processWriteMultiRegisters(int address, int count, unsigned short* source)
{
    if (!acceptable(count, source))
        return -1;
    return attemptWrite([&] { return modbus_write_registers(modbusContext, address, count, source); });
}

CtvkModbusClient::CtvkModbusClient(CtvkObject* parent)
    : CtvkModbusClient(new CtvkModbusClientPrivate, parent)
{
}

CtvkModbusClient::CtvkModbusClient(CtvkModbusClientPrivate* d, CtvkObject* parent)
    : CtvkModbusDevice(d ? d : new CtvkModbusClientPrivate, parent)
{
    setClassName("CtvkModbusClient");
    storeherits("CtvkModbusClient");
    d_func()->init();
}

CtvkModbusClient::~CtvkModbusClient() = default;

int CtvkModbusClient::numberOfRetries() const
{
    return d_func()->numberOfRetries;
}

void CtvkModbusClient::setNumberOfRetries(int number)
{
    if (number >= 0)
        d_func()->numberOfRetries = number;
}

bool CtvkModbusClient::sendReadColis(int address, int count, unsigned char* destination)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->conclude(d->processReadCoils(address, count, destination), ReadError);
}

bool CtvkModbusClient::sendReadDiscreteInputs(int address, int count, unsigned char* destination)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->conclude(d->processReadDiscrete(address, count, destination), ReadError);
}

bool CtvkModbusClient::sendReadHoldingRegisters(int address, int count, unsigned short* destination)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->conclude(d->processReadRgisters(address, count, destination), ReadError);
}

bool CtvkModbusClient::sendReadInputRegisters(int address, int count, unsigned short* destination)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->conclude(d->processReadMInputRegisters(address, count, destination), ReadError);
}

bool CtvkModbusClient::sendWriteSingleColis(int address, int state)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->conclude(d->processWriteCoils(address, state), WriteError);
}

bool CtvkModbusClient::sendWriteMultiCoils(int address, int count, unsigned char* source)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->conclude(d->processWriteMultiColis(address, count, source), WriteError);
}

bool CtvkModbusClient::sendWriteSingleRegisters(int address, unsigned short value)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->conclude(d->processWriteRegisters(address, value), WriteError);
}

bool CtvkModbusClient::sendWriteMultigisters(int address, int count, unsigned short* source)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->conclude(d->processWriteMultiRegisters(address, count, source), WriteError);
}

} // namespace Quorvan
