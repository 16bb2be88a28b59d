// SPDX-License-Identifier: MIT
#ifndef DEMO_LIFECYCLE_H
#define DEMO_LIFECYCLE_H

#include <functional>
#include <memory>
#include <string>

namespace Quorvan {
class CtvkEventLoop;
class CtvkSocketNotifier;
}

// How the demo begins and ends, apart from what it shows and polls: the
// signals that stop it, the temporary folder it works in, and its exit
// statuses.

enum DemoExit { DemoExitOk = 0, DemoExitFault = 1, DemoExitUsage = 2 };

constexpr const char* kDemoProgram = "tvk-demo-panel";

// Catches SIGTERM, SIGINT and SIGHUP while it lives. The handler only notes
// the signal and writes a byte into a pipe that the event loop watches;
// ending the children and removing the files happen on the way out of the
// loop, as after a run that ended by itself.
class DemoStopSignals {
public:
    DemoStopSignals();
    // Puts the earlier handlers back.
    ~DemoStopSignals();
    DemoStopSignals(const DemoStopSignals&) = delete;
    DemoStopSignals& operator=(const DemoStopSignals&) = delete;

    // Makes `loop` exit with 0 on a stop signal, after telling `announce`
    // the signal's name.
    void stopLoop(Quorvan::CtvkEventLoop* loop, std::function<void(const char*)> announce);

private:
    int m_pipe[2] = {-1, -1};
    std::unique_ptr<Quorvan::CtvkSocketNotifier> m_notifier;
};

// True once a stop signal came: waits outside the loop give up then.
bool demoStopRequested();
// The first stop signal's name ("SIGTERM"), or null while none came.
const char* demoStopSignalName();

// The demo's temporary folder: the simulators' logs and initial values, the
// pseudo-terminal links, the live view's log of the libraries' lines. It
// goes with everything in it when this object does, unless it is kept.
class DemoFiles {
public:
    explicit DemoFiles(bool keep) : m_keep(keep) {}
    ~DemoFiles();
    DemoFiles(const DemoFiles&) = delete;
    DemoFiles& operator=(const DemoFiles&) = delete;

    // Makes the folder; false with the reason on standard error.
    bool make();
    const std::string& dir() const { return m_dir; }
    std::string path(const std::string& name) const { return m_dir + "/" + name; }
    bool kept() const { return m_keep; }

private:
    bool m_keep;
    std::string m_dir;
};

// Answers true when `path` names a readable file; otherwise says why on
// standard error ("... not found" for a path that names nothing).
bool demoScriptReadable(const std::string& path);

#endif
