// SPDX-License-Identifier: MIT
// tvk-modbus-slave: a Modbus slave simulator on the fieldlink library, for
// panel engineers and for tests. It serves the four tables over TCP from one
// event loop, printing connections as they come and go and the requests per
// second while there is traffic (with -v every request), or on a serial
// line (RTU) as one slave id. It ends with status 0 on Ctrl-C or SIGTERM.
// Its output never holds up the loop: lines that are not read in time are
// dropped and counted.
//
// Exit status: 0 stopped by a signal; 1 the server could not be opened, could
// not listen, or its serial line hung up; 2 bad usage, an initial-values
// file that cannot be read (every bad line is named), or a certificate, key,
// CA or rules file that cannot be used.
#include "slaveinitfile.h"
#include "slavemonitor.h"
#include "slaveoptions.h"

#include "tvkeventloop.h"
#include "tvkmodbusdataunit.h"
#include "tvkmodbusrtuserialmaster.h"
#include "tvkmodbustcpserver.h"
#include "tvksignal.h"
#include "tvksocketnotifier.h"
#include "tvktoolexit.h"

#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace Quorvan;
using namespace tvkslave;
using namespace tvktool;

namespace {

int parityCode(const std::string& parity)
{
    if (parity == "even")
        return CtvkModbusDevice::EvenParity;
    if (parity == "odd")
        return CtvkModbusDevice::OddParity;
    return CtvkModbusDevice::NoParity;
}

CtvkModbusDataUnit::RegisterType registerType(Table table)
{
    switch (table) {
    case Table::Coils: return CtvkModbusDataUnit::Coils;
    case Table::DiscreteInputs: return CtvkModbusDataUnit::DiscreteInputs;
    case Table::HoldingRegisters: return CtvkModbusDataUnit::HoldingRegisters;
    case Table::InputRegisters: break;
    }
    return CtvkModbusDataUnit::InputRegisters;
}

std::string describe(const Layout& layout)
{
    std::string text;
    for (Table t : {Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters, Table::InputRegisters}) {
        const TableLayout& l = layout.of(t);
        if (!text.empty())
            text += ", ";
        text += std::string(tableName(t)) + " ";
        text += l.size > 0 ? std::to_string(l.start) + ".." + std::to_string(l.start + l.size - 1) : "none";
    }
    return text;
}

// Lays out the tables and fills them; false (with the reason said) when
// the map cannot be built.
bool prepareTables(CtvkModbusServer& server, const Options& options, const std::vector<InitialBlock>& blocks,
                   Console& console)
{
    const Layout& l = options.layout;
    server.setStartAddressAndNum(l.coils.start, l.coils.size, l.discreteInputs.start, l.discreteInputs.size,
                                 l.holdingRegisters.start, l.holdingRegisters.size, l.inputRegisters.start,
                                 l.inputRegisters.size);
    if (server.error() == CtvkModbusDevice::ConfigurationError) {
        console.error("cannot build the tables: " + server.errorString().toStdString());
        return false;
    }
    for (const InitialBlock& b : blocks)
        for (std::size_t i = 0; i < b.values.size(); ++i)
            server.setData(registerType(b.table), b.address + static_cast<int>(i), b.values[i]);
    return true;
}

int runTcp(const Options& options, const std::vector<InitialBlock>& blocks, int signals, CtvkEventLoop& loop,
           Console& console)
{
    CtvkModbusTcpServer server;
    server.setUnitIds(options.unitIds);
    server.setAnswerDelay(options.delayMs);
    return tvktool::runTcpServer(server, options.tcp, console, loop, signals, describe(options.layout),
                                 [&] { return prepareTables(server, options, blocks, console); });
}

int runSerial(const Options& options, const std::vector<InitialBlock>& blocks, int signals, CtvkEventLoop& loop,
              Console& console)
{
    const SerialOptions& o = options.serial;
    CtvkModbusRtuSerialMaster server;
    server.setConnectionParameter(CtvkModbusDevice::SerialPortName,
                                  CtvkVariant(CtvkString::fromAscii(o.device.c_str())));
    server.setConnectionParameter(CtvkModbusDevice::SerialBaudRate, CtvkVariant(o.baud));
    server.setConnectionParameter(CtvkModbusDevice::SerialParity, CtvkVariant(parityCode(o.parity)));
    server.setConnectionParameter(CtvkModbusDevice::SerialDataBits, CtvkVariant(o.dataBits));
    server.setConnectionParameter(CtvkModbusDevice::SerialStopBits, CtvkVariant(o.stopBits));
    server.setSlave(o.slaveId);
    if (!prepareTables(server, options, blocks, console))
        return tvktool::ExitFault;
    // The library says its own line when the port cannot be opened; the
    // reason goes to standard error here.
    if (!server.open()) {
        console.error("cannot open " + o.device + ": " + server.errorString().toStdString());
        return tvktool::ExitFault;
    }
    server.processRequest();
    if (server.error() == CtvkModbusDevice::ConnectionError) {
        console.error("cannot watch " + o.device + ": " + server.errorString().toStdString());
        server.close();
        return tvktool::ExitFault;
    }
    // A line that hangs up is not coming back by itself: say so and stop.
    CtvkObject::connect<CtvkModbusDevice::Error>(
        &server, "errorOccurred(CtvkModbusDevice::Error)", nullptr,
        std::function<void(CtvkModbusDevice::Error)>([&](CtvkModbusDevice::Error code) {
            if (code != CtvkModbusDevice::ConnectionError)
                return;
            console.error("serial line lost: " + server.errorString().toStdString());
            loop.exit(tvktool::ExitFault);
        }));
    const char parity = static_cast<char>(std::toupper(static_cast<unsigned char>(o.parity[0])));
    console.info("serving slave " + std::to_string(o.slaveId) + " on " + o.device + " at " + std::to_string(o.baud)
                 + " baud, " + std::to_string(o.dataBits) + parity + std::to_string(o.stopBits) + " ("
                 + describe(options.layout) + ")");
    LineMonitor monitor(&server, &console);
    std::string stoppedBy;
    const int status = serve(loop, signals, &stoppedBy);
    server.close();
    if (!stoppedBy.empty())
        console.closing("stopping on " + stoppedBy + ": " + std::to_string(server.requestsAnswered())
                            + " requests answered",
                        kDrainAtExitMs);
    return status;
}

int run(const Options& options, const std::vector<InitialBlock>& blocks)
{
    // A reader of the output that goes away must not end the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    CtvkEventLoop loop;
    Console console("tvk-modbus-slave", options.tcp.verbosity);
    const LibraryLines libraryLines(&console);
    int status = tvktool::ExitFault;
    const int signals = signalDescriptor();
    if (signals < 0) {
        console.error(std::string("cannot watch signals: ") + std::strerror(errno));
    } else {
        status = options.serial.device.empty() ? runTcp(options, blocks, signals, loop, console)
                                               : runSerial(options, blocks, signals, loop, console);
        ::close(signals);
    }
    console.finish(kDrainAtExitMs);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    const int parsed = parseCommandLine(argc, argv, &options);
    if (parsed >= 0)
        return parsed;

    std::vector<InitialBlock> blocks;
    if (!options.initFile.empty()) {
        std::vector<InitFileError> errors;
        if (!readInitialValuesFile(options.initFile, options.layout, &blocks, &errors)) {
            const std::string name = options.initFile == "-" ? "<stdin>" : options.initFile;
            for (const InitFileError& e : errors) {
                if (e.line > 0)
                    std::fprintf(stderr, "%s:%d: %s\n", name.c_str(), e.line, e.message.c_str());
                else
                    std::fprintf(stderr, "tvk-modbus-slave: %s: %s\n", name.c_str(), e.message.c_str());
            }
            return tvktool::ExitUsage;
        }
    }
    return run(options, blocks);
}
