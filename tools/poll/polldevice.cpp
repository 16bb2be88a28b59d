#include "polldevice.h"

#include "tvkmodbusreply.h"
#include "tvkmodbusrtuserialslave.h"
#include "tvkmodbustcpclient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// The library would say "Connection refused" of a name that does not
// resolve; the lookup is made once, before the first connection, to say
// what is wrong.
bool resolves(const std::string& host, int port, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (found)
        ::freeaddrinfo(found);
    if (rc == 0)
        return true;
    error = "cannot resolve host \"" + host + "\": " + ::gai_strerror(rc);
    return false;
}

// A loopback listener that is never accepted from: the kernel completes a
// connection to it at once.
class LoopbackListener {
public:
    LoopbackListener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof at;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(m_fd, 1) != 0
            || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&at), &length) != 0)
            m_error = errno;
        else
            m_port = ntohs(at.sin_port);
    }
    ~LoopbackListener()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int port() const { return m_port; }
    int error() const { return m_error; }

private:
    int m_fd = -1;
    int m_port = 0;
    int m_error = 0;
};

} // namespace

PollDevice::PollDevice(const PollOptions& options) : m_options(options)
{
    if (options.mode == Mode::Tcp) {
        m_client = std::make_unique<CtvkModbusTcpClient>();
        m_client->setConnectionParameter(CtvkModbusDevice::NetworkAddress,
                                         CtvkString::fromStdString(options.device));
        m_client->setConnectionParameter(CtvkModbusDevice::NetworkPort, options.port);
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
    }
    m_client->setNumberOfRetries(options.retries);
}

PollDevice::~PollDevice()
{
    m_client->close();
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
    if (m_client->connectDevice())
        return true;
    error = where() + ": " + m_client->errorString().toStdString();
    return false;
}

CtvkModbusClient::State PollDevice::state() const
{
    return m_client->state();
}

// The asynchronous requests wait the response timeout of the libmodbus
// context, which only the device's open() makes: on a serial line it opens
// the port (which does not wait), and the line is then the one the requests
// go out on.
bool PollDevice::prepare(std::string& error)
{
    if (m_options.mode == Mode::Tcp) {
        if (!resolves(m_options.device, m_options.port, error) || !prepareTimeout(error))
            return false;
    } else {
        if (!m_client->open()) {
            error = where() + ": " + m_client->errorString().toStdString();
            return false;
        }
        if (!prepareTimeout(error))
            return false;
    }
    m_prepared = true;
    return true;
}

bool PollDevice::prepareTimeout(std::string& error)
{
    if (m_options.mode == Mode::Tcp) {
        // A TCP client makes its context only by connecting, and the
        // library keeps no timeout without one. Until it does, the context
        // that carries the timeout is made against a listener of this
        // process, which is closed at once: the device sees one connection,
        // the asynchronous one, and nothing waits on the network.
        LoopbackListener listener;
        if (listener.error()) {
            error = std::string("cannot set the timeout: ") + std::strerror(listener.error());
            return false;
        }
        m_client->setConnectionParameter(CtvkModbusDevice::NetworkAddress, CtvkString::fromAscii("127.0.0.1"));
        m_client->setConnectionParameter(CtvkModbusDevice::NetworkPort, listener.port());
        const bool opened = m_client->open();
        m_client->setConnectionParameter(CtvkModbusDevice::NetworkAddress,
                                         CtvkString::fromStdString(m_options.device));
        m_client->setConnectionParameter(CtvkModbusDevice::NetworkPort, m_options.port);
        if (!opened) {
            error = "cannot set the timeout: " + m_client->errorString().toStdString();
            return false;
        }
    }
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
