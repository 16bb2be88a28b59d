// SPDX-License-Identifier: MIT
#ifndef SLAVETOOL_H
#define SLAVETOOL_H

// tvk-modbus-slave as the tests run it: a process of its own, the files it
// reads, and raw Modbus TCP exchanges with it.
#include "childprocess.h"
#include "frames.h"

#include <memory>
#include <string>
#include <vector>

namespace slavetest {

constexpr int kStartMs = 10000;   // generous: the machine may be loaded

// A file that removes itself.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string& text);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
};

// The port of a "... listening on ADDRESS:PORT (...)" line; 0 when the line
// has none.
int listeningPort(const std::string& line);

// The slave on a free port with `extra` options, once it listens; *port
// stays 0 when it never said so.
std::unique_ptr<tvktest::ChildProcess> startSlave(const std::vector<std::string>& extra, int* port);

// Sends `request` on a blocking socket and waits at most timeoutMs for one
// whole answer; empty when none came.
tvktest::Bytes exchange(int fd, const tvktest::Bytes& request, int timeoutMs);

// The lines of `text`.
std::vector<std::string> linesOf(const std::string& text);

} // namespace slavetest

#endif
