// SPDX-License-Identifier: MIT
#include "demo_lifecycle.h"

#include "tvkeventloop.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace Quorvan;

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

volatile std::sig_atomic_t g_caught = 0;
// Set before the handlers are installed and cleared after they are gone.
int g_stopPipe = -1;
struct sigaction g_previous[kStopSignalCount];

extern "C" void onStopSignal(int signo)
{
    const int saved = errno;
    if (g_caught == 0)
        g_caught = signo;
    const char byte = 1;
    // Non-blocking: a full pipe already holds a wake-up.
    const ssize_t written = ::write(g_stopPipe, &byte, 1);
    (void)written;
    errno = saved;
}

} // namespace

DemoStopSignals::DemoStopSignals()
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int err = errno;
        std::fprintf(stderr, "%s: cannot catch stop signals: %s\n", kDemoProgram, std::strerror(err));
        m_pipe[0] = m_pipe[1] = -1;
        return;
    }
    g_stopPipe = m_pipe[1];
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kStopSignalCount; ++i)
        ::sigaction(kStopSignals[i], &action, &g_previous[i]);
}

DemoStopSignals::~DemoStopSignals()
{
    // Out of the loop before its descriptor is closed.
    m_notifier.reset();
    if (m_pipe[1] < 0)
        return;
    for (int i = 0; i < kStopSignalCount; ++i)
        ::sigaction(kStopSignals[i], &g_previous[i], nullptr);
    g_stopPipe = -1;
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
}

void DemoStopSignals::stopLoop(CtvkEventLoop* loop, std::function<void(const char*)> announce)
{
    if (m_pipe[0] < 0)
        return;
    m_notifier.reset(new CtvkSocketNotifier(m_pipe[0], CtvkSocketNotifier::Read));
    CtvkObject::connect<int>(m_notifier.get(), "activated", nullptr,
                             std::function<void(int)>([loop, announce](int fd) {
                                 char bytes[16];
                                 while (::read(fd, bytes, sizeof bytes) > 0) {
                                 }
                                 if (announce)
                                     announce(demoStopSignalName());
                                 loop->exit(DemoExitOk);
                             }));
}

bool demoStopRequested()
{
    return g_caught != 0;
}

const char* demoStopSignalName()
{
    switch (g_caught) {
    case 0: return nullptr;
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

DemoFiles::~DemoFiles()
{
    if (m_dir.empty() || m_keep)
        return;
    ::nftw(m_dir.c_str(), [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); },
           8, FTW_DEPTH | FTW_PHYS);
}

bool DemoFiles::make()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tvk-demo-XXXXXX";
    if (!::mkdtemp(&pattern[0])) {
        const int err = errno;
        std::fprintf(stderr, "%s: cannot make a temporary folder %s: %s\n", kDemoProgram, pattern.c_str(),
                     std::strerror(err));
        return false;
    }
    m_dir = pattern;
    return true;
}

bool demoScriptReadable(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT)
            std::fprintf(stderr, "%s: script %s not found\n", kDemoProgram, path.c_str());
        else
            std::fprintf(stderr, "%s: script %s: %s\n", kDemoProgram, path.c_str(), std::strerror(err));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s: script %s is not a file\n", kDemoProgram, path.c_str());
        return false;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        const int err = errno;
        std::fprintf(stderr, "%s: script %s cannot be read: %s\n", kDemoProgram, path.c_str(), std::strerror(err));
        return false;
    }
    return true;
}
