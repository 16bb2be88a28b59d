// SPDX-License-Identifier: MIT
#include "tvkmodbusclient.h"
#include "tvkmodbusclient_p.h"

#include "tvkmodbusasync_p.h"
#include "tvkmodbusreply.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

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

// Whether a request may carry this server address: a serial line's slave
// ids end at 247, a TCP unit id is a byte.
bool serverAddressFits(int address, bool serialLine)
{
    return address >= 0 && address <= (serialLine ? rtu::kMaxSlaveAddress : 0xFF);
}

} // namespace

CtvkModbusClientPrivate::CtvkModbusClientPrivate() = default;
CtvkModbusClientPrivate::~CtvkModbusClientPrivate() = default;

CtvkModbusAsyncLink* CtvkModbusClientPrivate::createLink()
{
    return new CtvkModbusNoLink(this);
}

void CtvkModbusClientPrivate::stopLink()
{
    if (link)
        link->disconnectDevice();
}

void CtvkModbusClientPrivate::destroyLink()
{
    delete link;
    link = nullptr;
}

std::weak_ptr<void> CtvkModbusClientPrivate::aliveToken()
{
    if (!m_alive)
        m_alive = std::make_shared<char>(0);
    return m_alive;
}

namespace {

// A read the protocol takes: its function code and the largest count.
bool readFunction(CtvkModbusDataUnit::RegisterType type, std::uint8_t* function, int* most)
{
    switch (type) {
    case CtvkModbusDataUnit::Coils:
        *function = pdu::ReadCoils;
        *most = pdu::kMaxReadBits;
        return true;
    case CtvkModbusDataUnit::DiscreteInputs:
        *function = pdu::ReadDiscreteInputs;
        *most = pdu::kMaxReadBits;
        return true;
    case CtvkModbusDataUnit::HoldingRegisters:
        *function = pdu::ReadHoldingRegisters;
        *most = pdu::kMaxReadRegisters;
        return true;
    case CtvkModbusDataUnit::InputRegisters:
        *function = pdu::ReadInputRegisters;
        *most = pdu::kMaxReadRegisters;
        return true;
    default:
        return false;
    }
}

std::vector<std::uint16_t> wordsOf(const CtvkModbusDataUnit& unit, bool bits)
{
    std::vector<std::uint16_t> words;
    for (int i = 0; i < unit.values.size(); ++i) {
        const int v = unit.values.at(i).toInt();
        words.push_back(bits ? (v != 0 ? 1 : 0) : static_cast<std::uint16_t>(v & 0xFFFF));
    }
    return words;
}

bool addressable(int address, int count)
{
    return address >= 0 && count >= 1 && address + count <= 0x10000;
}

} // namespace

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
    // Nobody answers a broadcast (slave 0 on a serial line), yet libmodbus
    // waits its response timeout for an answer. The request went out, and a
    // repeat would be applied again by every device: one attempt, and its
    // timeout is success. Over TCP, unit 0 is an ordinary address.
    if (serialLine && modbusContext && modbus_get_slave(modbusContext) == MODBUS_BROADCAST_ADDRESS) {
        const int result = request();
        return result == -1 && errno == ETIMEDOUT ? 0 : result;
    }
    return attempt(request);
}

bool CtvkModbusClientPrivate::mayBlock(CtvkModbusDevice::Error code)
{
    if (!link)
        return true;
    if (link->busy()) {
        setPrivateError(
            CtvkString::fromAscii("Blocking request refused: asynchronous requests are open on this device"), code);
        return false;
    }
    return link->settleForBlocking();
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
    [[maybe_unused]] static const bool signalsDeclared = tvkDeclareSignal<int>("CtvkModbusClient", "stateChanged(int)");
    d_func()->init();
}

CtvkModbusClient::~CtvkModbusClient()
{
    d_func()->destroyLink();
}

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
    return d->mayBlock(ReadError) && d->conclude(d->processReadCoils(address, count, destination), ReadError);
}

bool CtvkModbusClient::sendReadDiscreteInputs(int address, int count, unsigned char* destination)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->mayBlock(ReadError) && d->conclude(d->processReadDiscrete(address, count, destination), ReadError);
}

bool CtvkModbusClient::sendReadHoldingRegisters(int address, int count, unsigned short* destination)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->mayBlock(ReadError) && d->conclude(d->processReadRgisters(address, count, destination), ReadError);
}

bool CtvkModbusClient::sendReadInputRegisters(int address, int count, unsigned short* destination)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->mayBlock(ReadError) && d->conclude(d->processReadMInputRegisters(address, count, destination), ReadError);
}

bool CtvkModbusClient::sendWriteSingleColis(int address, int state)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->mayBlock(WriteError) && d->conclude(d->processWriteCoils(address, state), WriteError);
}

bool CtvkModbusClient::sendWriteMultiCoils(int address, int count, unsigned char* source)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->mayBlock(WriteError) && d->conclude(d->processWriteMultiColis(address, count, source), WriteError);
}

bool CtvkModbusClient::sendWriteSingleRegisters(int address, unsigned short value)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->mayBlock(WriteError) && d->conclude(d->processWriteRegisters(address, value), WriteError);
}

bool CtvkModbusClient::sendWriteMultigisters(int address, int count, unsigned short* source)
{
    CtvkModbusClientPrivate* d = d_func();
    return d->mayBlock(WriteError) && d->conclude(d->processWriteMultiRegisters(address, count, source), WriteError);
}

void CtvkModbusClient::close()
{
    // The serial link watches the context's line: it goes first.
    d_func()->stopLink();
    CtvkModbusDevice::close();
}

bool CtvkModbusClient::connectDevice()
{
    CtvkModbusClientPrivate* d = d_func();
    return d->linkToUse()->connectDevice();
}

void CtvkModbusClient::disconnectDevice()
{
    d_func()->stopLink();
}

CtvkModbusClient::State CtvkModbusClient::state() const
{
    const CtvkModbusClientPrivate* d = d_func();
    return d->link ? d->link->state() : UnconnectedState;
}

void CtvkModbusClient::setConnectTimeout(int milliseconds)
{
    if (milliseconds >= 0)
        d_func()->connectTimeoutMs = milliseconds;
}

int CtvkModbusClient::connectTimeout() const
{
    return d_func()->connectTimeoutMs;
}

void CtvkModbusClient::setAutoReconnect(int firstDelayMs, int maximumDelayMs)
{
    CtvkModbusClientPrivate* d = d_func();
    d->reconnectFirstMs = std::max(firstDelayMs, 0);
    d->reconnectMostMs = std::max(maximumDelayMs, d->reconnectFirstMs);
    if (d->link)
        d->link->reconnectSettingsChanged();
}

int CtvkModbusClient::autoReconnectFirstDelay() const
{
    return d_func()->reconnectFirstMs;
}

int CtvkModbusClient::autoReconnectMaximumDelay() const
{
    return d_func()->reconnectMostMs;
}

void CtvkModbusClient::setRequestsWaitForReconnect(bool wait)
{
    d_func()->requestsWaitForReconnect = wait;
}

bool CtvkModbusClient::requestsWaitForReconnect() const
{
    return d_func()->requestsWaitForReconnect;
}

int CtvkModbusClient::reconnectAttempts() const
{
    const CtvkModbusClientPrivate* d = d_func();
    return d->link ? d->link->reconnectAttempts() : 0;
}

int CtvkModbusClient::maximumRequestsInFlight() const
{
    return d_func()->maximumInFlight;
}

void CtvkModbusClient::setMaximumRequestsInFlight(int number)
{
    CtvkModbusClientPrivate* d = d_func();
    if (number < 1)
        return;
    d->maximumInFlight = std::min(number, CtvkModbusAsyncLink::kMostInFlight);
    if (d->link)
        d->link->setMaximumInFlight(d->maximumInFlight);
}

CtvkModbusAsyncLink* CtvkModbusClientPrivate::linkToUse()
{
    if (!link)
        link = createLink();
    return link;
}

CtvkModbusReply* CtvkModbusClientPrivate::sendAsync(std::unique_ptr<CtvkModbusRequest> request, int err)
{
    CtvkModbusAsyncLink* l = linkToUse();
    // On a serial line address 0 reaches every slave and none answers: only
    // a write can go there, and it goes once.
    if (!err && serialLine && request->unit == rtu::kBroadcastAddress) {
        if (pdu::isBroadcastWrite(request->pdu[0]))
            request->broadcast = true;
        else
            err = EINVAL;
    }
    if (err)
        return l->refuse(request->unit, request->failure, err);
    return l->submit(std::move(request));
}

CtvkModbusReply* CtvkModbusClient::sendReadRequest(const CtvkModbusDataUnit& read, int serverAddress)
{
    CtvkModbusClientPrivate* d = d_func();
    auto request = std::make_unique<CtvkModbusRequest>();
    request->unit = serverAddress;
    request->failure = ReadError;
    request->result = CtvkModbusDataUnit(read.registerType, read.startAddress, 0);
    std::uint8_t function = 0;
    int most = 0;
    const int count = read.values.size();
    int err = 0;
    if (!readFunction(read.registerType, &function, &most) || !addressable(read.startAddress, count)
        || !serverAddressFits(serverAddress, d->serialLine))
        err = EINVAL;
    else if (count > most)
        err = EMBMDATA;   // what libmodbus answers the blocking request
    else
        request->pduLength = pdu::readRequest(request->pdu, function, read.startAddress, count);
    return d->sendAsync(std::move(request), err);
}

CtvkModbusReply* CtvkModbusClient::sendWriteRequest(const CtvkModbusDataUnit& write, int serverAddress)
{
    CtvkModbusClientPrivate* d = d_func();
    auto request = std::make_unique<CtvkModbusRequest>();
    request->unit = serverAddress;
    request->failure = WriteError;
    request->result = write;
    const bool coils = write.registerType == CtvkModbusDataUnit::Coils;
    const std::vector<std::uint16_t> words = wordsOf(write, coils);
    const int count = static_cast<int>(words.size());
    const int most = coils ? pdu::kMaxWriteBits : pdu::kMaxWriteRegisters;
    int err = 0;
    if ((!coils && write.registerType != CtvkModbusDataUnit::HoldingRegisters)
        || !addressable(write.startAddress, count) || !serverAddressFits(serverAddress, d->serialLine))
        err = EINVAL;
    else if (count > most)
        err = EMBMDATA;
    else if (count == 1)
        request->pduLength = coils ? pdu::writeSingleCoilRequest(request->pdu, write.startAddress, words[0] != 0)
                                   : pdu::writeSingleRegisterRequest(request->pdu, write.startAddress, words[0]);
    else
        request->pduLength = coils ? pdu::writeCoilsRequest(request->pdu, write.startAddress, words.data(), count)
                                   : pdu::writeRegistersRequest(request->pdu, write.startAddress, words.data(), count);
    return d->sendAsync(std::move(request), err);
}

CtvkModbusReply* CtvkModbusClient::sendRawRequest(const std::vector<unsigned char>& pdu, int serverAddress)
{
    CtvkModbusClientPrivate* d = d_func();
    auto request = std::make_unique<CtvkModbusRequest>();
    request->unit = serverAddress;
    request->failure = ReadError;
    request->raw = true;
    int err = 0;
    if (pdu.empty() || pdu.size() > static_cast<std::size_t>(pdu::kMaxPduBytes) || pdu::isException(pdu[0])
        || !serverAddressFits(serverAddress, d->serialLine)) {
        err = EINVAL;
    } else {
        std::copy(pdu.begin(), pdu.end(), request->pdu);
        request->pduLength = static_cast<int>(pdu.size());
    }
    return d->sendAsync(std::move(request), err);
}

void CtvkModbusClient::setFrameObserver(std::function<void(bool sent, const unsigned char* frame, int length)> observer)
{
    d_func()->frameObserver = std::move(observer);
}

CtvkModbusReply* CtvkModbusClient::sendReadWriteRequest(const CtvkModbusDataUnit& read, const CtvkModbusDataUnit& write,
                                                       int serverAddress)
{
    CtvkModbusClientPrivate* d = d_func();
    auto request = std::make_unique<CtvkModbusRequest>();
    request->unit = serverAddress;
    request->failure = WriteError;
    request->result = CtvkModbusDataUnit(read.registerType, read.startAddress, 0);
    const std::vector<std::uint16_t> words = wordsOf(write, false);
    const int writeCount = static_cast<int>(words.size());
    const int readCount = read.values.size();
    int err = 0;
    if (read.registerType != CtvkModbusDataUnit::HoldingRegisters
        || write.registerType != CtvkModbusDataUnit::HoldingRegisters || !addressable(read.startAddress, readCount)
        || !addressable(write.startAddress, writeCount) || !serverAddressFits(serverAddress, d->serialLine))
        err = EINVAL;
    else if (readCount > pdu::kMaxReadWriteReadRegisters || writeCount > pdu::kMaxReadWriteWriteRegisters)
        err = EMBMDATA;
    else
        request->pduLength = pdu::readWriteRequest(request->pdu, read.startAddress, readCount, write.startAddress,
                                                   words.data(), writeCount);
    return d->sendAsync(std::move(request), err);
}

} // namespace Quorvan
