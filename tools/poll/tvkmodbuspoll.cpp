// tvk-modbus-poll [options] host|device [values...]: reads one table of a
// Modbus device over TCP or a serial line, once or at a steady interval, or
// writes the values given after the device. The options are those engineers
// know from the common command-line Modbus masters. Exit status: 0 when every
// poll succeeded, 1 on a device error, 2 on bad usage.
#include "polldevice.h"
#include "polloptions.h"
#include "pollvalues.h"

#include "tvkmessagehandler.h"

#include <csignal>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace tvkpoll;

namespace {

using Clock = std::chrono::steady_clock;

std::string utcNow()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(millis));
    return text;
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(u));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Writes each poll's result as a table for people or one JSON line for
// programs. Table mode sends errors to standard error, JSON mode keeps them
// in the object.
class Report {
public:
    explicit Report(const PollOptions& options) : m_o(options) {}

    void values(long poll, const std::vector<ShownValue>& shown)
    {
        const std::string time = utcNow();
        if (m_o.json) {
            std::cout << head(time) << ",\"values\":[";
            for (std::size_t i = 0; i < shown.size(); ++i)
                std::cout << (i ? "," : "") << shown[i].json;
            std::cout << "]}\n";
        } else {
            std::cout << "-- poll " << poll << " at " << time << ": slave " << m_o.slave << ", "
                      << tableName(m_o.table) << "\n";
            for (const ShownValue& v : shown)
                std::cout << "[" << v.reference << "]: \t" << v.text << "\n";
        }
        std::cout.flush();
    }

    void written(const std::vector<ShownValue>& shown)
    {
        if (m_o.json) {
            std::cout << head(utcNow()) << ",\"written\":[";
            for (std::size_t i = 0; i < shown.size(); ++i)
                std::cout << (i ? "," : "") << shown[i].json;
            std::cout << "]}\n";
        } else {
            std::cout << "Written " << shown.size() << (shown.size() == 1 ? " reference.\n" : " references.\n");
        }
        std::cout.flush();
    }

    void error(long poll, const std::string& text)
    {
        const std::string time = utcNow();
        if (m_o.json) {
            std::cout << head(time) << ",\"error\":" << jsonString(text) << "}\n";
            std::cout.flush();
        } else {
            std::cerr << "-- poll " << poll << " at " << time << ": " << text << "\n";
        }
    }

private:
    std::string head(const std::string& time) const
    {
        return "{\"time\":\"" + time + "\",\"table\":" + jsonString(tableName(m_o.table))
            + ",\"start\":" + std::to_string(m_o.reference);
    }

    const PollOptions& m_o;
};

// Ctrl-C and SIGTERM ask the tool to stop after the request under way (a
// request is bounded by its attempts and timeout, and libmodbus resumes its
// wait when a signal interrupts it). A second one while that request still
// runs ends the tool at once, as the signal would have without this handler.
volatile sig_atomic_t g_stopRequested = 0;
int g_wakeWrite = -1;

void onStopSignal(int sig)
{
    if (g_stopRequested) {
        ::signal(sig, SIG_DFL);
        ::raise(sig);   // delivered when this handler returns
        return;
    }
    g_stopRequested = 1;
    const int savedErrno = errno;
    static const char notice[] = "tvk-modbus-poll: stopping (again to quit at once)\n";
    (void)!::write(STDERR_FILENO, notice, sizeof notice - 1);
    (void)!::write(g_wakeWrite, "x", 1);
    errno = savedErrno;
}

// The wake pipe lets the wait between polls end at once on a signal, without
// the race of checking a flag and then sleeping.
int installStopHandler()
{
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    g_wakeWrite = wake[1];
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return wake[0];
}

// Waits until `deadline` or a stop request; true when one came.
bool interruptedBefore(int wakeRead, Clock::time_point deadline)
{
    while (!g_stopRequested) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{wakeRead, POLLIN, 0};
        ::poll(&p, 1, left > 60000 ? 60000 : int(left));
    }
    return true;
}

int writeOnce(PollDevice& device, const PollOptions& o, Report& report)
{
    std::vector<unsigned short> words;
    std::string message;
    encodeValues(o.writeValues, o.table, o.format, o.bigEndianWords, words, message);   // checked at parsing
    if (!device.open(message) || !device.write(words, message)) {
        report.error(1, message);
        return 1;
    }
    report.written(decodeValues(words, o));
    return 0;
}

int pollLoop(PollDevice& device, const PollOptions& o, Report& report, int wakeRead)
{
    long failed = 0;
    long poll = 0;
    const auto interval = std::chrono::milliseconds(o.intervalMs);
    auto next = Clock::now();
    bool interrupted = g_stopRequested;
    while (!interrupted) {
        ++poll;
        next += interval;
        std::string message;
        std::vector<unsigned short> words;
        const bool opened = device.open(message);
        if (opened && device.read(words, message)) {
            report.values(poll, decodeValues(words, o));
        } else {
            report.error(poll, message);
            ++failed;
            // A device that cannot be reached at all at the start is most
            // likely a wrong address: say so at once instead of polling on.
            if (poll == 1 && !opened)
                return 1;
        }
        if (o.polls > 0 && poll >= o.polls)
            break;
        if (next < Clock::now())   // a slow poll: start the next one now, not a burst
            next = Clock::now();
        interrupted = interruptedBefore(wakeRead, next);
    }
    if (o.polls != 1)
        std::cerr << "--- " << poll << (poll == 1 ? " poll, " : " polls, ") << failed << " failed\n";
    return failed ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    const ParseOutcome parsed = parsePollOptions(argc, argv, std::cout, std::cerr);
    if (!parsed.run)
        return parsed.exitStatus;
    const PollOptions& options = parsed.options;

    // The library's own line on a failed connect ("error = ...") says what
    // the error message says already; standard output is the results'.
    Quorvan::tvkInstallMessageHandler([](const char*, const char*) {});

    const int wakeRead = installStopHandler();
    if (wakeRead < 0) {
        std::perror("tvk-modbus-poll");
        return 1;
    }
    PollDevice device(options);
    Report report(options);
    if (!options.writeValues.empty())
        return writeOnce(device, options, report);
    return pollLoop(device, options, report, wakeRead);
}
