// SPDX-License-Identifier: MIT
#include "tvkmodbusserver.h"
#include "tvkmodbusserver_p.h"

#include "tvkmodbuspdu_p.h"

#include <cerrno>

namespace Quorvan {

namespace {

const char* const kOutOfRange = "Address Out of the alloced range";

// One table of the map as the operations below see it. An absent map gives
// a table that is not there, so every address is outside it; a table of
// count 0 exists (libmodbus gives it no entries array) and holds no address.
template <class T>
struct Table {
    bool present = false;
    int start = 0;
    int count = 0;
    T* entries = nullptr;

    // Wide arithmetic: start + count may pass INT_MAX.
    bool holds(long long address) const
    {
        return present && address >= start && address < static_cast<long long>(start) + count;
    }
    bool holdsRange(long long first, int many) const { return holds(first) && holds(first + many - 1); }
    T& at(long long address) const { return entries[address - start]; }
};

Table<std::uint8_t> coilTable(const modbus_mapping_t* m)
{
    return m ? Table<std::uint8_t>{true, m->start_bits, m->nb_bits, m->tab_bits} : Table<std::uint8_t>{};
}

Table<std::uint8_t> discreteInputTable(const modbus_mapping_t* m)
{
    return m ? Table<std::uint8_t>{true, m->start_input_bits, m->nb_input_bits, m->tab_input_bits}
             : Table<std::uint8_t>{};
}

Table<std::uint16_t> holdingRegisterTable(const modbus_mapping_t* m)
{
    return m ? Table<std::uint16_t>{true, m->start_registers, m->nb_registers, m->tab_registers}
             : Table<std::uint16_t>{};
}

Table<std::uint16_t> inputRegisterTable(const modbus_mapping_t* m)
{
    return m ? Table<std::uint16_t>{true, m->start_input_registers, m->nb_input_registers, m->tab_input_registers}
             : Table<std::uint16_t>{};
}

template <class T>
T readOne(const Table<T>& table, bool* ok, int address)
{
    const bool inside = table.holds(address);
    if (ok)
        *ok = inside;
    return inside ? table.at(address) : T(0);
}

template <class T>
bool writeOne(const Table<T>& table, int address, T value)
{
    if (!table.holds(address))
        return false;
    table.at(address) = value;
    return true;
}

template <class T>
bool writeMany(const Table<T>& table, int address, const CtvkVector<T>& values)
{
    if (!table.present)
        return false;
    for (int i = 0; i < values.size(); ++i) {
        if (!table.holds(static_cast<long long>(address) + i))
            return false;
        table.at(static_cast<long long>(address) + i) = values.at(i);
    }
    return true;
}

template <class T>
CtvkVector<T> readMany(const Table<T>& table, bool* ok, int address, int count)
{
    CtvkVector<T> result;
    bool inside = table.present;
    for (int i = 0; inside && i < count; ++i) {
        inside = table.holds(static_cast<long long>(address) + i);
        if (inside)
            result.append(table.at(static_cast<long long>(address) + i));
    }
    if (ok)
        *ok = inside;
    return result;
}

bool isRegisterType(CtvkModbusDataUnit::RegisterType type)
{
    return type >= CtvkModbusDataUnit::DiscreteInputs && type <= CtvkModbusDataUnit::HoldingRegisters;
}

bool isBitTable(CtvkModbusDataUnit::RegisterType type)
{
    return type == CtvkModbusDataUnit::DiscreteInputs || type == CtvkModbusDataUnit::Coils;
}

} // namespace

CtvkModbusServerPrivate::CtvkModbusServerPrivate() = default;

// The map belongs to the public object, which releases it.
CtvkModbusServerPrivate::~CtvkModbusServerPrivate() = default;

int CtvkModbusServerPrivate::exceptionBeforeReply(const unsigned char* request) const
{
    return mapping ? pdu::exceptionBeforeReply(request) : pdu::ServerDeviceFailure;
}

int CtvkModbusServerPrivate::expectedException(const unsigned char* request) const
{
    if (const int early = exceptionBeforeReply(request))
        return early;
    pdu::Access reached[2];
    const int n = pdu::accesses(request, reached);
    for (int i = 0; i < n; ++i) {
        const pdu::Access& a = reached[i];
        bool inside = true;
        switch (a.table) {
        case CtvkModbusDataUnit::Coils: inside = coilTable(mapping).holdsRange(a.first, a.count); break;
        case CtvkModbusDataUnit::DiscreteInputs: inside = discreteInputTable(mapping).holdsRange(a.first, a.count); break;
        case CtvkModbusDataUnit::HoldingRegisters: inside = holdingRegisterTable(mapping).holdsRange(a.first, a.count); break;
        case CtvkModbusDataUnit::InputRegisters: inside = inputRegisterTable(mapping).holdsRange(a.first, a.count); break;
        default: break;
        }
        if (!inside)
            return pdu::IllegalDataAddress;
    }
    if (request[0] == pdu::WriteSingleCoil) {
        const int value = pdu::word(request + 3);
        if (value != 0 && value != pdu::kCoilOn)
            return pdu::IllegalDataValue;
    }
    return 0;
}

void CtvkModbusServerPrivate::releaseMapping()
{
    modbus_mapping_free(mapping);   // accepts null
    mapping = nullptr;
}

unsigned char CtvkModbusServerPrivate::processReadCoilsRequest(bool* ok, int address)
{
    return readOne(coilTable(mapping), ok, address);
}

unsigned char CtvkModbusServerPrivate::processReadDiscreteInputsRequest(bool* ok, int address)
{
    return readOne(discreteInputTable(mapping), ok, address);
}

unsigned short CtvkModbusServerPrivate::processReadHoldingRegistersRequest(bool* ok, int address)
{
    return readOne(holdingRegisterTable(mapping), ok, address);
}

unsigned short CtvkModbusServerPrivate::processReadInputRegistersRequest(bool* ok, int address)
{
    return readOne(inputRegisterTable(mapping), ok, address);
}

bool CtvkModbusServerPrivate::processWriteCoilsRequest(int address, unsigned char value)
{
    return writeOne(coilTable(mapping), address, value);
}

bool CtvkModbusServerPrivate::processWriteDiscreteInputsRequest(int address, unsigned char value)
{
    return writeOne(discreteInputTable(mapping), address, value);
}

bool CtvkModbusServerPrivate::processWriteHoldingRegistersRequest(int address, unsigned short value)
{
    return writeOne(holdingRegisterTable(mapping), address, value);
}

bool CtvkModbusServerPrivate::processWriteInputRegistersRequest(int address, unsigned short value)
{
    return writeOne(inputRegisterTable(mapping), address, value);
}

bool CtvkModbusServerPrivate::processWriteMultiCoilsRequest(int address, const CtvkVector<unsigned char>& values)
{
    return writeMany(coilTable(mapping), address, values);
}

bool CtvkModbusServerPrivate::processWriteMultiDiscreteInputsRequest(int address,
                                                                     const CtvkVector<unsigned char>& values)
{
    return writeMany(discreteInputTable(mapping), address, values);
}

bool CtvkModbusServerPrivate::processWriteMultiHoldingRegistersRequest(int address,
                                                                       const CtvkVector<unsigned short>& values)
{
    return writeMany(holdingRegisterTable(mapping), address, values);
}

bool CtvkModbusServerPrivate::processWriteMultiInputRegistersRequest(int address,
                                                                     const CtvkVector<unsigned short>& values)
{
    return writeMany(inputRegisterTable(mapping), address, values);
}

CtvkVector<unsigned char> CtvkModbusServerPrivate::processReadMultiCoilsRequest(bool* ok, int address, int count)
{
    return readMany(coilTable(mapping), ok, address, count);
}

CtvkVector<unsigned char> CtvkModbusServerPrivate::processReadMultiDiscreteInputsRequest(bool* ok, int address,
                                                                                         int count)
{
    return readMany(discreteInputTable(mapping), ok, address, count);
}

CtvkVector<unsigned short> CtvkModbusServerPrivate::processReadMultiHoldingRegistersRequest(bool* ok, int address,
                                                                                           int count)
{
    return readMany(holdingRegisterTable(mapping), ok, address, count);
}

CtvkVector<unsigned short> CtvkModbusServerPrivate::processReadMultiInputRegistersRequest(bool* ok, int address,
                                                                                         int count)
{
    return readMany(inputRegisterTable(mapping), ok, address, count);
}

CtvkModbusServer::CtvkModbusServer(CtvkObject* parent)
    : CtvkModbusServer(new CtvkModbusServerPrivate, parent)
{
}

CtvkModbusServer::CtvkModbusServer(CtvkModbusServerPrivate* d, CtvkObject* parent)
    : CtvkModbusDevice(d ? d : new CtvkModbusServerPrivate, parent)
{
    setClassName("CtvkModbusServer");
    storeherits("CtvkModbusServer");
}

// Transports stop serving in their own destructors, before this one runs,
// so no request can reach the map once it is gone.
CtvkModbusServer::~CtvkModbusServer()
{
    d_func()->releaseMapping();
}

void CtvkModbusServer::setStartAddressAndNum(int coilsStart, int coilsCount,
                                             int discreteInputsStart, int discreteInputsCount,
                                             int holdingRegistersStart, int holdingRegistersCount,
                                             int inputRegistersStart, int inputRegistersCount)
{
    CtvkModbusServerPrivate* d = d_func();
    // The earlier tables are not used after this call, whether or not new
    // ones can be made.
    d->releaseMapping();
    // libmodbus takes the eight as unsigned. A negative start comes back
    // as the same int in the map, and libmodbus and the table operations
    // here both find address a at entry a - start. A negative count would
    // ask for billions of entries instead, and is refused.
    const bool negativeCount = coilsCount < 0 || discreteInputsCount < 0 || holdingRegistersCount < 0
        || inputRegistersCount < 0;
    modbus_mapping_t* mapping = nullptr;
    int err = EINVAL;
    if (!negativeCount) {
        mapping = modbus_mapping_new_start_address(
            static_cast<unsigned>(coilsStart), static_cast<unsigned>(coilsCount),
            static_cast<unsigned>(discreteInputsStart), static_cast<unsigned>(discreteInputsCount),
            static_cast<unsigned>(holdingRegistersStart), static_cast<unsigned>(holdingRegistersCount),
            static_cast<unsigned>(inputRegistersStart), static_cast<unsigned>(inputRegistersCount));
        err = errno;
    }
    if (!mapping) {
        d->setErrnoError(err, ConfigurationError);
        return;
    }
    d->mapping = mapping;
}

bool CtvkModbusServer::data(CtvkModbusDataUnit::RegisterType type, int address, unsigned short* value) const
{
    // The error record is the only state a read changes.
    CtvkModbusServerPrivate* d = const_cast<CtvkModbusServerPrivate*>(d_func());
    bool ok = false;
    unsigned short found = 0;
    switch (type) {
    case CtvkModbusDataUnit::DiscreteInputs: found = d->processReadDiscreteInputsRequest(&ok, address); break;
    case CtvkModbusDataUnit::Coils: found = d->processReadCoilsRequest(&ok, address); break;
    case CtvkModbusDataUnit::InputRegisters: found = d->processReadInputRegistersRequest(&ok, address); break;
    case CtvkModbusDataUnit::HoldingRegisters: found = d->processReadHoldingRegistersRequest(&ok, address); break;
    default: break;
    }
    if (!ok) {
        d->setPrivateError(CtvkString::fromAscii(kOutOfRange), ReadError);
        return false;
    }
    if (value)
        *value = found;
    return true;
}

bool CtvkModbusServer::setData(CtvkModbusDataUnit::RegisterType type, int address, unsigned short value)
{
    CtvkModbusServerPrivate* d = d_func();
    const unsigned char bit = value ? 1 : 0;
    bool ok = false;
    switch (type) {
    case CtvkModbusDataUnit::DiscreteInputs: ok = d->processWriteDiscreteInputsRequest(address, bit); break;
    case CtvkModbusDataUnit::Coils: ok = d->processWriteCoilsRequest(address, bit); break;
    case CtvkModbusDataUnit::InputRegisters: ok = d->processWriteInputRegistersRequest(address, value); break;
    case CtvkModbusDataUnit::HoldingRegisters: ok = d->processWriteHoldingRegistersRequest(address, value); break;
    default: return true;   // not a table: nothing to write
    }
    if (!ok)
        d->setPrivateError(CtvkString::fromAscii(kOutOfRange), WriteError);
    return ok;
}

bool CtvkModbusServer::setData(const CtvkModbusDataUnit& unit)
{
    CtvkModbusServerPrivate* d = d_func();
    const CtvkModbusDataUnit::RegisterType type = unit.registerType;
    if (!isRegisterType(type))
        return false;

    bool ok = false;
    if (isBitTable(type)) {
        CtvkVector<unsigned char> bytes;
        bytes.reserve(unit.values.size());
        for (const CtvkVariant& v : unit.values)
            bytes.append(static_cast<unsigned char>(v.toInt()));
        ok = type == CtvkModbusDataUnit::Coils ? d->processWriteMultiCoilsRequest(unit.startAddress, bytes)
                                               : d->processWriteMultiDiscreteInputsRequest(unit.startAddress, bytes);
    } else {
        CtvkVector<unsigned short> words;
        words.reserve(unit.values.size());
        for (const CtvkVariant& v : unit.values)
            words.append(static_cast<unsigned short>(v.toInt()));
        ok = type == CtvkModbusDataUnit::HoldingRegisters
            ? d->processWriteMultiHoldingRegistersRequest(unit.startAddress, words)
            : d->processWriteMultiInputRegistersRequest(unit.startAddress, words);
    }
    if (!ok)
        d->setPrivateError(CtvkString::fromAscii(kOutOfRange), WriteError);
    return ok;
}

bool CtvkModbusServer::data(CtvkModbusDataUnit* unit) const
{
    CtvkModbusServerPrivate* d = const_cast<CtvkModbusServerPrivate*>(d_func());
    bool ok = false;
    if (unit) {
        const modbus_mapping_t* m = d->mapping;
        const int start = unit->startAddress;
        auto appendAll = [unit](const auto& read) {
            for (int i = 0; i < read.size(); ++i)
                unit->values.append(CtvkVariant(static_cast<int>(read.at(i))));
        };
        // The count is the table's size, not the unit's: a unit that starts
        // at the table's first entry gets the whole table, one that starts
        // further in gets the rest of it and the range error.
        switch (unit->registerType) {
        case CtvkModbusDataUnit::DiscreteInputs:
            appendAll(d->processReadMultiDiscreteInputsRequest(&ok, start, m ? m->nb_input_bits : 0));
            break;
        case CtvkModbusDataUnit::Coils:
            appendAll(d->processReadMultiCoilsRequest(&ok, start, m ? m->nb_bits : 0));
            break;
        case CtvkModbusDataUnit::InputRegisters:
            appendAll(d->processReadMultiInputRegistersRequest(&ok, start, m ? m->nb_input_registers : 0));
            break;
        case CtvkModbusDataUnit::HoldingRegisters:
            appendAll(d->processReadMultiHoldingRegistersRequest(&ok, start, m ? m->nb_registers : 0));
            break;
        default:
            break;
        }
    }
    if (!ok) {
        d->setPrivateError(CtvkString::fromAscii(kOutOfRange), WriteError);
        return false;
    }
    return true;
}

std::uint64_t CtvkModbusServer::requestsAnswered() const
{
    return d_func()->requestsAnswered;
}

std::uint64_t CtvkModbusServer::answersLost() const
{
    return d_func()->answersLost;
}

int CtvkModbusServer::socketDescriptor()
{
    return modbus_get_socket(d_func()->modbusContext);
}

void CtvkModbusServer::setSocketDescriptor(int socket)
{
    modbus_set_socket(d_func()->modbusContext, socket);
}

} // namespace Quorvan
