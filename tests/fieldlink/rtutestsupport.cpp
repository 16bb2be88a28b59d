#include "rtutestsupport.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

extern char** environ;

namespace tvktest {

namespace {

unsigned short crc(const Bytes& bytes)
{
    unsigned short value = 0xFFFF;
    for (unsigned char b : bytes) {
        value ^= b;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1u) ? static_cast<unsigned short>((value >> 1) ^ 0xA001u)
                                 : static_cast<unsigned short>(value >> 1);
    }
    return value;
}

int millisecondsLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    return left > 0 ? int(left) : 0;
}

} // namespace

Bytes withCrc(Bytes bytes)
{
    const unsigned short value = crc(bytes);
    bytes.push_back(static_cast<unsigned char>(value & 0xFF));
    bytes.push_back(static_cast<unsigned char>(value >> 8));
    return bytes;
}

Bytes rtuFrame(std::initializer_list<int> bytes)
{
    Bytes out;
    for (int b : bytes)
        out.push_back(static_cast<unsigned char>(b));
    return withCrc(out);
}

PtyPair::PtyPair()
{
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    m_master = master;
    m_slave = slave;
    m_path = name;
}

PtyPair::~PtyPair()
{
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
}

void PtyPair::closePeer()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = m_master = -1;
}

void PtyPair::write(const Bytes& bytes) const
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

Bytes PtyPair::read(int waitMs, std::size_t expected) const
{
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (expected == 0 || out.size() < expected) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, millisecondsLeft(deadline)) <= 0)
            break;
        unsigned char buf[512];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

PtyLink::PtyLink()
{
    if (!m_a.ok() || !m_b.ok() || ::pipe2(m_wake, O_CLOEXEC) != 0)
        return;
    m_thread = std::thread([this] { relay(); });
}

PtyLink::~PtyLink()
{
    if (m_thread.joinable()) {
        const char stop = 0;
        (void)!::write(m_wake[1], &stop, 1);
        m_thread.join();
    }
    for (int fd : m_wake)
        if (fd >= 0)
            ::close(fd);
}

void PtyLink::relay()
{
    for (;;) {
        pollfd p[3] = {{m_a.peer(), POLLIN, 0}, {m_b.peer(), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(p, 3, -1) < 0)
            continue;
        if (p[2].revents)
            return;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & POLLIN))
                continue;
            unsigned char buf[512];
            const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n > 0)
                (i == 0 ? m_b : m_a).write(Bytes(buf, buf + n));
        }
    }
}

LibmodbusResponder::LibmodbusResponder(int descriptor, int slave)
    : m_descriptor(descriptor)
{
    m_ctx = modbus_new_rtu("/dev/null", 19200, 'N', 8, 1);
    m_map = modbus_mapping_new(100, 100, 100, 100);
    for (int a = 0; a < 100; ++a) {
        m_map->tab_bits[a] = a % 3 == 0;
        m_map->tab_input_bits[a] = a % 2;
        m_map->tab_registers[a] = static_cast<uint16_t>(1000 + a);
        m_map->tab_input_registers[a] = static_cast<uint16_t>(2000 + a);
    }
    modbus_set_slave(m_ctx, slave);
    modbus_set_socket(m_ctx, descriptor);
    if (::pipe2(m_wake, O_CLOEXEC) == 0)
        m_thread = std::thread([this] { run(); });
}

LibmodbusResponder::~LibmodbusResponder()
{
    if (m_thread.joinable()) {
        const char stop = 0;
        (void)!::write(m_wake[1], &stop, 1);
        m_thread.join();
    }
    for (int fd : m_wake)
        if (fd >= 0)
            ::close(fd);
    modbus_set_socket(m_ctx, -1);   // the descriptor belongs to the PtyPair
    modbus_free(m_ctx);
    modbus_mapping_free(m_map);
}

void LibmodbusResponder::run()
{
    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        pollfd p[2] = {{m_descriptor, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0)
            continue;
        if (p[1].revents)
            return;
        const int length = modbus_receive(m_ctx, request);
        if (length > 0 && modbus_reply(m_ctx, request, length, m_map) > 0)
            ++m_served;
    }
}

PymodbusSerialPeer::PymodbusSerialPeer(const std::vector<std::string>& arguments)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> words = {"/usr/bin/python3",
                                      std::string(TVK_PEERS_DIR) + "/pymodbus_serial.py"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    m_out = out[0];
    ::fcntl(m_out, F_SETFL, O_NONBLOCK);
}

PymodbusSerialPeer::~PymodbusSerialPeer()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    if (m_out >= 0)
        ::close(m_out);
}

void PymodbusSerialPeer::collect(int waitMs)
{
    if (m_out < 0)
        return;
    pollfd p{m_out, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0)
        return;
    char buf[512];
    ssize_t n;
    while ((n = ::read(m_out, buf, sizeof buf)) > 0)
        m_output.append(buf, std::size_t(n));
}

bool PymodbusSerialPeer::finished()
{
    collect(0);
    if (m_pid <= 0)
        return true;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) != m_pid)
        return false;
    m_pid = -1;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    collect(0);
    return true;
}

bool PymodbusSerialPeer::waitForOutput(const std::string& text, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_output.find(text) == std::string::npos) {
        const int left = millisecondsLeft(deadline);
        if (left == 0 || (finished() && m_output.find(text) == std::string::npos))
            return m_output.find(text) != std::string::npos;
        collect(std::min(left, 20));
    }
    return true;
}

RtuArguments& lastRtu()
{
    static RtuArguments arguments;
    return arguments;
}

bool LowDescriptorsTaken::possible()
{
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max >= FD_SETSIZE + 64;
}

LowDescriptorsTaken::LowDescriptorsTaken()
{
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    m_savedLimit = limit.rlim_cur;
    if (limit.rlim_cur < FD_SETSIZE + 64 && limit.rlim_max >= FD_SETSIZE + 64) {
        limit.rlim_cur = FD_SETSIZE + 64;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0)
        return;
    for (int fd = 0; fd < FD_SETSIZE; ++fd)
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF && ::dup2(null, fd) == fd)
            m_taken.push_back(fd);
    if (null < FD_SETSIZE)
        m_taken.push_back(null);   // dup2 skipped it: it was taken already
    else
        ::close(null);
}

LowDescriptorsTaken::~LowDescriptorsTaken()
{
    for (int fd : m_taken)
        ::close(fd);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = m_savedLimit;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace tvktest

extern "C" modbus_t* modbus_new_rtu(const char* device, int baud, char parity, int dataBits, int stopBits)
{
    using Real = modbus_t* (*)(const char*, int, char, int, int);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "modbus_new_rtu"));
    tvktest::RtuArguments& last = tvktest::lastRtu();
    last.device = device ? device : "";
    last.baud = baud;
    last.parity = parity;
    last.dataBits = dataBits;
    last.stopBits = stopBits;
    return real(device, baud, parity, dataBits, stopBits);
}

extern "C" int modbus_set_slave(modbus_t* ctx, int slave)
{
    using Real = int (*)(modbus_t*, int);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "modbus_set_slave"));
    tvktest::lastRtu().slave = slave;
    return real(ctx, slave);
}
