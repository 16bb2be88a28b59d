// SPDX-License-Identifier: MIT
#include "polldevice.h"

#include "tvkmodbusreply.h"
#include "tvkmodbusrtuserialslave.h"
#include "tvkmodbustcpclient.h"

using namespace Quorvan;

namespace tvkpoll {

namespace {

constexpr unsigned kMicrosecondsPerSecond = 1000000;

CtvkModbusDataUnit::RegisterType registerType(Table table)
{
    switch (table) {
    case Table::Coils:
        return CtvkModbusDataUnit::Coils;
    case Table::DiscreteInputs:
        return CtvkModbusDataUnit::DiscreteInputs;
    case Table::InputRegisters:
        return CtvkModbusDataUnit::InputRegisters;
    case Table::HoldingRegisters:
        return CtvkModbusDataUnit::HoldingRegisters;
    }
    return CtvkModbusDataUnit::Invalid;
}

} // namespace

PollDevice::PollDevice(const PollOptions& options) : m_options(options)
{
    if (options.mode == Mode::Tcp) {
        m_client = std::make_unique<CtvkModbusTcpClient>();
        m_client->setConnectionParameter(CtvkModbusDevice::NetworkAddress,
                                         CtvkString::fromStdString(options.device));
        m_client->setConnectionParameter(CtvkModbusDevice::NetworkPort, options.port);
        if (options.tls) {
            CtvkModbusTlsConfiguration tls;
            tls.certificateFile = CtvkString::fromStdString(options.certificate);
            tls.privateKeyFile = CtvkString::fromStdString(options.key);
            tls.caCertificates = CtvkString::fromStdString(options.ca);
            static_cast<CtvkModbusTcpClient*>(m_client.get())->setTlsConfiguration(tls);
        }
    } else {
        m_client = std::make_unique<CtvkModbusRtuSerialSlave>();
        m_client->setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                         CtvkString::fromStdString(options.device));
        m_client->setConnectionParameter(CtvkModbusDevice::SerialBaudRate, options.baudRate);
        const int parity = options.parity == 'E'   ? CtvkModbusDevice::EvenParity
                         : options.parity == 'O' ? CtvkModbusDevice::OddParity
                                                 : CtvkModbusDevice::NoParity;
        m_client->setConnectionParameter(CtvkModbusDevice::SerialParity, parity);
        m_client->setConnectionParameter(CtvkModbusDevice::SerialDataBits, options.dataBits);
        m_client->setConnectionParameter(CtvkModbusDevice::SerialStopBits, options.stopBits);
        // Taken when the line opens, which says so if its driver has no RS-485 mode.
        static_cast<CtvkModbusRtuSerialSlave*>(m_client.get())
            ->setSerialMode(static_cast<CtvkModbusRtuSerialSlave::SerialMode>(options.serialMode));
    }
    m_client->setNumberOfRetries(options.retries);
}

PollDevice::~PollDevice()
{
    m_client->close();
}

std::string PollDevice::tlsDetail() const
{
    const auto* tcp = dynamic_cast<const CtvkModbusTcpClient*>(m_client.get());
    return tcp && m_options.tls ? tcp->tlsErrorDetail() : std::string();
}

bool PollDevice::misconfigured() const
{
    return m_options.tls && m_client->error() == CtvkModbusDevice::ConfigurationError;
}

std::string PollDevice::where() const
{
    return m_options.device + (m_options.mode == Mode::Tcp ? ":" + std::to_string(m_options.port) : "");
}

bool PollDevice::connect(std::string& error)
{
    if (!m_prepared && !prepare(error))
        return false;
    if (m_client->state() != CtvkModbusClient::UnconnectedState)
        return true;
    if (!m_client->connectDevice()) {
        error = where() + ": " + m_client->errorString().toStdString();
        return false;
    }
    // The context that holds the timeout exists from the connect on.
    return applyTimeout(error);
}

CtvkModbusClient::State PollDevice::state() const
{
    return m_client->state();
}

// On a serial line the device's own open() opens the port (which does not
// wait), and the line is then the one the requests go out on.
bool PollDevice::prepare(std::string& error)
{
    if (m_options.mode != Mode::Tcp && !m_client->open()) {
        error = where() + ": " + m_client->errorString().toStdString();
        return false;
    }
    m_prepared = true;
    return true;
}

// The asynchronous requests wait the response timeout of the device's
// libmodbus context.
bool PollDevice::applyTimeout(std::string& error)
{
    const double timeout = m_options.timeoutSeconds;
    const auto seconds = static_cast<unsigned>(timeout);
    const auto microseconds = static_cast<unsigned>((timeout - seconds) * kMicrosecondsPerSecond + 0.5);
    if (!m_client->setTimeout(seconds, microseconds >= kMicrosecondsPerSecond ? kMicrosecondsPerSecond - 1
                                                                              : microseconds)) {
        error = "cannot set the timeout: " + m_client->errorString().toStdString();
        return false;
    }
    return true;
}

CtvkModbusReply* PollDevice::sendReportSlaveId(int slave)
{
    constexpr unsigned char kReportServerId = 0x11;
    return m_client->sendRawRequest({kReportServerId}, slave);
}

CtvkModbusReply* PollDevice::sendRead(int slave)
{
    return m_client->sendReadRequest(
        CtvkModbusDataUnit(registerType(m_options.table), m_options.address(), m_options.units()), slave);
}

CtvkModbusReply* PollDevice::sendWrite(int slave, const std::vector<unsigned short>& words)
{
    CtvkModbusDataUnit unit(registerType(m_options.table), m_options.address(), 0);
    unit.values.reserve(int(words.size()));
    for (const unsigned short word : words)
        unit.values.append(CtvkVariant(int(word)));
    return m_client->sendWriteRequest(unit, slave);
}

std::vector<unsigned short> wordsRead(const CtvkModbusReply& reply)
{
    const CtvkModbusDataUnit result = reply.result();
    std::vector<unsigned short> words;
    words.reserve(std::size_t(result.values.size()));
    for (const CtvkVariant& value : result.values)
        words.push_back(static_cast<unsigned short>(value.toInt()));
    return words;
}

} // namespace tvkpoll
