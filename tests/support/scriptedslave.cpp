// SPDX-License-Identifier: MIT
#include "scriptedslave.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace tvktest {

namespace {

constexpr std::size_t kChunkBytes = 512;
constexpr int kBitsPerCharacter = 11;
constexpr std::size_t kCrcBytes = 2;
// Slave address, function code and CRC: nothing shorter is a request.
constexpr std::size_t kShortestFrame = 4;
// Of a read request: the address and the count of registers.
constexpr std::size_t kAddressAt = 2;
constexpr std::size_t kCountAt = 4;

// The length of the request at the front of `in`, or 0 while its CRC has
// not come.
std::size_t requestLength(const Bytes& in)
{
    for (std::size_t k = kShortestFrame; k <= in.size(); ++k) {
        const Bytes framed = withCrc(Bytes(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(k - kCrcBytes)));
        if (framed[k - 2] == in[k - 2] && framed[k - 1] == in[k - 1])
            return k;
    }
    return 0;
}

// Waits until `fd` is ready for `events` or `wake` is readable; false when
// woken (or the descriptor failed).
bool ready(int fd, short events, int wake, const timespec* limit)
{
    for (;;) {
        pollfd p[2] = {{wake, POLLIN, 0}, {fd, events, 0}};
        const int n = ::ppoll(p, 2, limit, nullptr);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || p[0].revents)
            return false;
        return n == 0 || (p[1].revents & events) != 0;
    }
}

} // namespace

ScriptedSlave::ScriptedSlave(int descriptor, int baud, Script script)
    : m_descriptor(descriptor), m_character(characterTime(baud)), m_script(std::move(script))
{
    m_thread.start([this](int wake) { run(wake); });
}

ScriptedSlave::~ScriptedSlave()
{
    m_thread.stop();
}

std::chrono::microseconds ScriptedSlave::characterTime(int baud)
{
    return std::chrono::microseconds(kBitsPerCharacter * 1000000LL / (baud > 0 ? baud : 1));
}

void ScriptedSlave::chatter(std::uint8_t noise, int everyMs)
{
    m_noise = noise;
    m_chatterMs = everyMs;
}

std::vector<Bytes> ScriptedSlave::requests() const
{
    const std::lock_guard<std::mutex> hold(m_lock);
    return m_requests;
}

std::vector<ScriptedSlave::Clock::time_point> ScriptedSlave::heardAt() const
{
    const std::lock_guard<std::mutex> hold(m_lock);
    return m_heardAt;
}

std::vector<ScriptedSlave::Clock::time_point> ScriptedSlave::sentAt() const
{
    const std::lock_guard<std::mutex> hold(m_lock);
    return m_sentAt;
}

Bytes ScriptedSlave::registersAnswer(const Bytes& request, int base)
{
    const unsigned address = wordAt(request, kAddressAt);
    const unsigned count = wordAt(request, kCountAt);
    Bytes answer{request[0], request[1], static_cast<std::uint8_t>(count * kRegisterBytes)};
    for (unsigned i = 0; i < count; ++i)
        putWord(answer, unsigned(base) + address + i);
    return withCrc(answer);
}

bool ScriptedSlave::pause(int wake, std::chrono::microseconds wait)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    const timespec limit{static_cast<time_t>(seconds.count()),
                         static_cast<long>(std::chrono::nanoseconds(wait - seconds).count())};
    pollfd p{wake, POLLIN, 0};
    for (;;) {
        const int n = ::ppoll(&p, 1, &limit, nullptr);
        if (n < 0 && errno == EINTR)
            continue;
        return n == 0;
    }
}

bool ScriptedSlave::send(int wake, const Step& step)
{
    if (step.afterMs > 0 && !pause(wake, std::chrono::milliseconds(step.afterMs)))
        return false;
    std::size_t done = 0;
    while (done < step.bytes.size()) {
        if (step.paced && !pause(wake, m_character))
            return false;
        if (!ready(m_descriptor, POLLOUT, wake, nullptr))
            return false;
        const std::size_t most = step.paced ? 1 : step.bytes.size() - done;
        const ssize_t n = ::write(m_descriptor, step.bytes.data() + done, most);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        done += n > 0 ? std::size_t(n) : 0;
    }
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        m_sentAt.push_back(Clock::now());
    }
    ++m_stepsSent;
    return true;
}

void ScriptedSlave::run(int wake)
{
    Bytes in;
    int number = 0;
    for (;;) {
        const int chatterMs = m_chatterMs.load();
        const timespec every{chatterMs / 1000, (chatterMs % 1000) * 1000000L};
        pollfd p[2] = {{wake, POLLIN, 0}, {m_descriptor, POLLIN, 0}};
        const int n = ::ppoll(p, 2, chatterMs > 0 ? &every : nullptr, nullptr);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || p[0].revents)
            return;
        if (n == 0) {
            const auto noise = static_cast<std::uint8_t>(m_noise.load());
            (void)!::write(m_descriptor, &noise, 1);
            continue;
        }
        if (!(p[1].revents & POLLIN))
            return;   // the line hung up
        std::uint8_t chunk[kChunkBytes];
        const ssize_t got = ::read(m_descriptor, chunk, sizeof chunk);
        if (got <= 0)
            return;
        in.insert(in.end(), chunk, chunk + got);
        for (std::size_t length; (length = requestLength(in)) > 0;) {
            const Bytes request(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(length));
            in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(length));
            {
                const std::lock_guard<std::mutex> hold(m_lock);
                m_requests.push_back(request);
                m_heardAt.push_back(Clock::now());
            }
            for (const Step& step : m_script(request, number))
                if (!send(wake, step))
                    return;
            ++number;
        }
    }
}

} // namespace tvktest
