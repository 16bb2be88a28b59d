// SPDX-License-Identifier: MIT
#ifndef POLL_POLLREPORT_H
#define POLL_POLLREPORT_H

#include "polloptions.h"
#include "pollvalues.h"

#include <string>
#include <vector>

namespace tvkpoll {

class OutputChannel;

// Why a request failed: the library's text, and the exception code when
// the device answered with one (the text is then the exception's name).
struct Failure {
    std::string text;
    int exceptionCode = 0;

    // "exception 2 (Illegal data address)", or the text.
    std::string describe() const;
};

// Writes the results as mbpoll's table for people, or one JSON line per
// slave and poll for programs. The table's errors go to standard error,
// JSON keeps them in the object. -q leaves the values and the errors only;
// -v adds each request and its outcome on standard error.
class Report {
public:
    Report(const PollOptions& options, OutputChannel& out, OutputChannel& err);

    // mbpoll's configuration block, before the first request.
    void header();
    void values(long poll, int slave, const std::vector<ShownValue>& shown);
    void written(int slave, const std::vector<ShownValue>& shown);
    // The answer PDU of function 17: byte count, id, run indicator, data.
    void slaveId(long poll, int slave, const std::vector<unsigned char>& answer);
    // With -v, a frame as it went out ("[01][03]...") or came in ("<01><03>...").
    void frame(bool sent, const unsigned char* bytes, int length);
    // `poll` is 0 for the write.
    void failed(long poll, int slave, const Failure& failure);
    // After the last poll or the write.
    void end(long polls, long requests, long failed);

    void requestSent(int slave, int units);
    void requestDone(int slave, long elapsedMs, const Failure* failure);
    void connection(const std::string& text);

private:
    std::string jsonHead(long poll, int slave) const;

    const PollOptions& m_o;
    OutputChannel& m_out;
    OutputChannel& m_err;
};

} // namespace tvkpoll

#endif
