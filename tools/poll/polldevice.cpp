#include "polldevice.h"

#include "tvkmodbusrtuserialslave.h"
#include "tvkmodbustcpclient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>


using namespace Quorvan;

namespace tvkpoll {

namespace {

// libmodbus takes a dotted address only; a host name is looked up here.
bool resolveIPv4(const std::string& host, std::string& address, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        error = "cannot resolve host \"" + host + "\": " + ::gai_strerror(rc);
        return false;
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    ::freeaddrinfo(found);
    address = text;
    return true;
}

} // namespace

std::unique_ptr<CtvkModbusClient> makeClient(const PollOptions& o, std::string& error)
{
    std::unique_ptr<CtvkModbusClient> client;
    if (o.mode == Mode::Tcp) {
        std::string address;
        if (!resolveIPv4(o.device, address, error))
            return nullptr;
        auto tcp = std::make_unique<CtvkModbusTcpClient>();
        tcp->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkString::fromAscii(address.c_str()));
        tcp->setConnectionParameter(CtvkModbusDevice::NetworkPort, o.port);
        // A gateway in front of serial devices routes by the unit id: -a
        // means the device behind the address, over TCP as over a serial line.
        tcp->setUnitId(o.slave);
        client = std::move(tcp);
    } else {
        client = std::make_unique<CtvkModbusRtuSerialSlave>();
        client->setConnectionParameter(CtvkModbusDevice::SerialPortName, CtvkString::fromStdString(o.device));
        client->setConnectionParameter(CtvkModbusDevice::SerialBaudRate, o.baudRate);
        const int parity = o.parity == 'E'   ? CtvkModbusDevice::EvenParity
                         : o.parity == 'O' ? CtvkModbusDevice::OddParity
                                           : CtvkModbusDevice::NoParity;
        client->setConnectionParameter(CtvkModbusDevice::SerialParity, parity);
        client->setConnectionParameter(CtvkModbusDevice::SerialDataBits, o.dataBits);
        client->setConnectionParameter(CtvkModbusDevice::SerialStopBits, o.stopBits);
    }
    client->setSlave(o.slave);
    client->setNumberOfRetries(o.retries);
    return client;
}

PollDevice::PollDevice(const PollOptions& options) : m_options(options) {}

PollDevice::~PollDevice()
{
    close();
}

bool PollDevice::open(std::string& error)
{
    if (m_open)
        return true;
    if (!m_client) {
        m_client = makeClient(m_options, error);
        if (!m_client)
            return false;
    }
    if (!m_client->open()) {
        fail(error);
        // Say which device: the library's text alone ("Connection refused")
        // does not tell a wrong port from a wrong host.
        error = m_options.device + (m_options.mode == Mode::Tcp ? ":" + std::to_string(m_options.port) : "")
            + ": " + error;
        return false;
    }
    // The timeout lives in the context open() just made.
    const double timeout = m_options.timeoutSeconds;
    const auto seconds = static_cast<unsigned>(timeout);
    const auto microseconds = static_cast<unsigned>((timeout - seconds) * 1e6 + 0.5);
    if (!m_client->setTimeout(seconds, microseconds >= 1000000 ? 999999 : microseconds)) {
        fail(error);
        m_client->close();
        return false;
    }
    m_open = true;
    return true;
}

void PollDevice::close()
{
    if (m_client)
        m_client->close();
    m_open = false;
}

bool PollDevice::fail(std::string& error)
{
    error = m_client->errorString().toStdString();
    if (error.empty())
        error = "unknown device error";
    return false;
}

bool PollDevice::read(std::vector<unsigned short>& words, std::string& error)
{
    const int address = m_options.address();
    const int count = m_options.isBitTable() ? m_options.count : m_options.count * m_options.width();
    words.assign(std::size_t(count), 0);
    bool ok = false;
    if (m_options.isBitTable()) {
        std::vector<unsigned char> bits(std::size_t(count), 0);
        ok = m_options.table == Table::Coils ? m_client->sendReadColis(address, count, bits.data())
                                             : m_client->sendReadDiscreteInputs(address, count, bits.data());
        for (int i = 0; i < count; ++i)
            words[std::size_t(i)] = bits[std::size_t(i)] ? 1 : 0;
    } else {
        ok = m_options.table == Table::HoldingRegisters
            ? m_client->sendReadHoldingRegisters(address, count, words.data())
            : m_client->sendReadInputRegisters(address, count, words.data());
    }
    if (ok)
        return true;
    fail(error);
    close();
    return false;
}

bool PollDevice::write(const std::vector<unsigned short>& words, std::string& error)
{
    const int address = m_options.address();
    const int count = int(words.size());
    bool ok = false;
    if (m_options.table == Table::Coils) {
        if (count == 1) {
            ok = m_client->sendWriteSingleColis(address, words[0]);
        } else {
            std::vector<unsigned char> bits(words.begin(), words.end());
            ok = m_client->sendWriteMultiCoils(address, count, bits.data());
        }
    } else {
        std::vector<unsigned short> source(words);
        ok = count == 1 ? m_client->sendWriteSingleRegisters(address, source[0])
                        : m_client->sendWriteMultigisters(address, count, source.data());
    }
    if (ok)
        return true;
    fail(error);
    close();
    return false;
}

} // namespace tvkpoll
