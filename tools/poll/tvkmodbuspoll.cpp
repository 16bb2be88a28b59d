// SPDX-License-Identifier: MIT
// tvk-modbus-poll [options] host|device [values...]: reads one table of one
// or several Modbus slaves over TCP or a serial line, once or at a steady
// interval, or writes the values given after the device. The options and
// the table output are those engineers know from mbpoll. Everything runs
// on the event loop through the library's asynchronous requests, and the
// output never blocks it. Exit status: 0 when every poll succeeded, 1 on a
// device error, 2 on bad usage.
#include "polldevice.h"
#include "polloptions.h"
#include "polloutput.h"
#include "pollreport.h"
#include "pollsession.h"

#include "tvkeventloop.h"
#include "tvkmessagehandler.h"
#include "tvksocketnotifier.h"

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>

#include <fcntl.h>
#include <unistd.h>

using namespace tvkpoll;

namespace {

// How long what is left of the output may take to go out at the end.
constexpr int kFinalOutputWaitMs = 1000;

// Ctrl-C and SIGTERM ask the tool to stop after the request under way (a
// request is bounded by its attempts and timeout). A second one while that
// request still runs ends the tool at once, as the signal would have
// without this handler.
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
    (void)!::write(g_wakeWrite, "x", 1);
    errno = savedErrno;
}

// The wake pipe ends the loop's wait at once on a signal, without the race
// of checking a flag and then waiting; the loop then says that the tool
// stops, through the output that never blocks.
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
        return tvktool::ExitFault;
    }
    Quorvan::CtvkEventLoop loop;
    OutputChannel out(STDOUT_FILENO);
    OutputChannel err(STDERR_FILENO);
    Quorvan::CtvkSocketNotifier wake(wakeRead, Quorvan::CtvkSocketNotifier::Read);
    Quorvan::CtvkObject::connect<int>(&wake, "activated", nullptr, std::function<void(int)>([&err](int fd) {
                                          char drained[16];
                                          while (::read(fd, drained, sizeof drained) > 0) {
                                          }
                                          err.write("tvk-modbus-poll: stopping (again to quit at once)\n");
                                      }));

    tvktool::ExitStatus status = tvktool::ExitSuccess;
    // Between rounds the session waits on a timer: a stop tells it at once.
    PollSession* running = nullptr;
    Quorvan::CtvkObject::connect<int>(&wake, "activated", nullptr, std::function<void(int)>([&running](int) {
                                          if (running)
                                              running->stopRequestArrived();
                                      }));
    {
        Report report(options, out, err);
        PollDevice device(options);
        PollSession session(options, device, report);
        running = &session;
        report.header();
        status = session.run(loop, [] { return g_stopRequested != 0; });
        running = nullptr;
    }
    out.finish(kFinalOutputWaitMs);
    if (const long dropped = out.droppedLines()) {
        err.write("tvk-modbus-poll: " + std::to_string(dropped) + (dropped == 1 ? " line" : " lines")
                  + " of output dropped: standard output did not take them\n");
    }
    err.finish(kFinalOutputWaitMs);
    return status;
}
