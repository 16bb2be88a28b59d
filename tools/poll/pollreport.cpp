// SPDX-License-Identifier: MIT
#include "pollreport.h"
#include "polloutput.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace tvkpoll {

namespace {

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

// "t/o 1.00 s"
std::string timeoutText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "t/o %.2f s", seconds);
    return text;
}

std::string dataType(const PollOptions& o)
{
    if (o.isBitTable())
        return tableInfo(o.table).mbpollName;
    const char* endian = o.bigEndianWords ? " (big endian)" : " (little endian)";
    const std::string value = o.format == Format::Int32     ? std::string("32-bit integer") + endian
                            : o.format == Format::Float32 ? std::string("32-bit float") + endian
                                                          : std::string("16-bit register");
    return value + ", " + tableInfo(o.table).mbpollName + " table";
}

std::string slaveList(const std::vector<int>& slaves)
{
    std::string list;
    for (const int s : slaves)
        list += (list.empty() ? "" : ",") + std::to_string(s);
    return list;
}

std::string valueList(const std::vector<ShownValue>& shown)
{
    std::string list;
    for (std::size_t i = 0; i < shown.size(); ++i)
        list += (i ? "," : "") + shown[i].json;
    return list;
}

int functionCode(const PollOptions& o, int units)
{
    const TableInfo& info = tableInfo(o.table);
    if (!o.isWrite())
        return info.readFunction;
    return units == 1 ? info.writeSingleFunction : info.writeMultipleFunction;
}

} // namespace

std::string Failure::describe() const
{
    return exceptionCode ? "exception " + std::to_string(exceptionCode) + " (" + text + ")" : text;
}

Report::Report(const PollOptions& options, OutputChannel& out, OutputChannel& err)
    : m_o(options), m_out(out), m_err(err)
{
}

void Report::header()
{
    if (m_o.json || m_o.quiet)
        return;
    const std::string rate = ", poll rate " + std::to_string(m_o.intervalMs) + " ms\n";
    const std::string timeout = timeoutText(m_o.timeoutSeconds);
    std::string text = std::string("tvk-modbus-poll ") + programVersion() + " - Modbus master\n\n";
    text += std::string("Protocol configuration: Modbus ")
        + (m_o.mode == Mode::Rtu ? "RTU" : m_o.tls ? "TCP over TLS" : "TCP") + "\n";
    if (m_o.reportSlaveId) {
        text += "Slave configuration...: address = " + slaveList(m_o.slaves) + ", report slave id\n";
    } else {
        text += "Slave configuration...: address = [" + slaveList(m_o.slaves) + "]\n";
        text += "                        start reference = " + std::to_string(m_o.reference)
            + ", count = " + std::to_string(m_o.count) + "\n";
    }
    if (m_o.mode == Mode::Tcp) {
        text += "Communication.........: " + m_o.device + ", port " + std::to_string(m_o.port) + ", " + timeout + rate;
    } else {
        char line[64];
        std::snprintf(line, sizeof line, ", %10d-%d%c%d \n", m_o.baudRate, m_o.dataBits, m_o.parity, m_o.stopBits);
        text += "Communication.........: " + m_o.device + line;
        text += "                        " + timeout + rate;
    }
    if (!m_o.reportSlaveId)
        text += "Data type.............: " + dataType(m_o) + "\n\n";
    m_out.write(text);
}

std::string Report::jsonHead(long poll, int slave) const
{
    return "{\"time\":\"" + utcNow() + "\"" + (poll > 0 ? ",\"poll\":" + std::to_string(poll) : "")
        + ",\"slave\":" + std::to_string(slave) + ",\"table\":" + jsonString(tableName(m_o.table))
        + ",\"start\":" + std::to_string(m_o.reference);
}

void Report::values(long poll, int slave, const std::vector<ShownValue>& shown)
{
    if (m_o.json) {
        m_out.write(jsonHead(poll, slave) + ",\"values\":[" + valueList(shown) + "]}\n");
        return;
    }
    std::string text;
    if (!m_o.quiet)
        text = "-- Polling slave " + std::to_string(slave) + (m_o.isPolling() ? "... Ctrl-C to stop)\n" : "...\n");
    for (const ShownValue& v : shown)
        text += "[" + std::to_string(v.reference) + "]: \t" + v.text + "\n";
    m_out.write(text);
}

void Report::written(int slave, const std::vector<ShownValue>& shown)
{
    if (m_o.json)
        m_out.write(jsonHead(0, slave) + ",\"written\":[" + valueList(shown) + "]}\n");
    else if (!m_o.quiet)
        m_out.write("Written " + std::to_string(shown.size()) + " references.\n");
}

void Report::failed(long poll, int slave, const Failure& failure)
{
    if (m_o.json) {
        std::string text = jsonHead(poll, slave) + ",\"error\":" + jsonString(failure.describe());
        if (failure.exceptionCode)
            text += ",\"exception\":{\"code\":" + std::to_string(failure.exceptionCode)
                + ",\"name\":" + jsonString(failure.text) + "}";
        m_out.write(text + "}\n");
        return;
    }
    if (!m_o.quiet && !m_o.isWrite())
        m_out.write("-- Polling slave " + std::to_string(slave)
                    + (m_o.isPolling() ? "... Ctrl-C to stop)\n" : "...\n"));
    m_err.write(std::string(m_o.isWrite() ? "Write " : "Read ") + tableInfo(m_o.table).mbpollName
                + " failed: " + failure.describe() + "\n");
}

void Report::end(long polls, long requests, long failed)
{
    if (m_o.quiet)
        return;
    if (!m_o.isWrite() && m_o.isPolling()) {
        std::string text = "--- " + std::to_string(polls) + (polls == 1 ? " poll, " : " polls, ");
        if (m_o.slaves.size() > 1)
            text += std::to_string(requests) + (requests == 1 ? " request, " : " requests, ");
        m_err.write(text + std::to_string(failed) + " failed\n");
    } else if (!m_o.json) {
        m_out.write("\n");
    }
}

void Report::slaveId(long poll, int slave, const std::vector<unsigned char>& answer)
{
    // Function, byte count, then the id, the run indicator (0xFF on) and
    // what the device adds, as mbpoll shows them.
    const int count = answer.size() > 1 ? answer[1] : 0;
    const int id = answer.size() > 2 ? answer[2] : 0;
    const bool on = answer.size() > 3 && answer[3] == 0xFF;
    // The rest is the device's to fill: text mostly, but a byte that is not
    // printable ASCII is shown as \xHH, never handed raw to a terminal.
    std::string data;
    for (std::size_t i = 4; i < answer.size(); ++i) {
        const unsigned char c = answer[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            data += static_cast<char>(c);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", unsigned(c));
        data += escaped;
    }
    if (m_o.json) {
        m_out.write("{\"time\":\"" + utcNow() + "\",\"poll\":" + std::to_string(poll) + ",\"slave\":"
                    + std::to_string(slave) + ",\"slaveId\":{\"length\":" + std::to_string(count) + ",\"id\":"
                    + std::to_string(id) + ",\"status\":" + (on ? "\"on\"" : "\"off\"") + ",\"data\":"
                    + jsonString(data) + "}}\n");
        return;
    }
    char line[64];
    std::snprintf(line, sizeof line, "Id    : 0x%02X\n", id);
    m_out.write("Length: " + std::to_string(count) + "\n" + line + "Status: " + (on ? "On" : "Off") + "\nData  : "
                + data + "\n");
}

void Report::frame(bool sent, const unsigned char* bytes, int length)
{
    // As libmodbus's debug mode, which is what mbpoll -v shows.
    std::string text;
    char byte[8];
    for (int i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, sent ? "[%.2X]" : "<%.2X>", bytes[i]);
        text += byte;
    }
    m_err.write(text + (sent ? "\nWaiting for a confirmation...\n" : "\n"));
}

void Report::requestSent(int slave, int units)
{
    if (!m_o.verbose)
        return;
    const char* what = m_o.isWrite() ? "write" : "read";
    m_err.write("request to slave " + std::to_string(slave) + ": function " + std::to_string(functionCode(m_o, units))
                + " (" + what + " " + tableName(m_o.table) + "), address " + std::to_string(m_o.address())
                + ", count " + std::to_string(units) + "\n");
}

void Report::requestDone(int slave, long elapsedMs, const Failure* failure)
{
    if (!m_o.verbose)
        return;
    const std::string after = " after " + std::to_string(elapsedMs) + " ms";
    m_err.write(failure ? "slave " + std::to_string(slave) + " failed" + after + ": " + failure->describe() + "\n"
                        : "slave " + std::to_string(slave) + " answered" + after + "\n");
}

void Report::connection(const std::string& text)
{
    if (m_o.verbose)
        m_err.write(text + "\n");
}

} // namespace tvkpoll
