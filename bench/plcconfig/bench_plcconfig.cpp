// SPDX-License-Identifier: MIT
// Reading a large script through CtvkParsePlcCommon against the JSON
// library's own DOM parse of the same bytes, side by side in one run.
//
// Time: the two are interleaved, several repetitions each, medians compared.
// The reference parses bytes already in memory (default flags); the reader
// also reads the file, which is in the page cache after the first run.
// Memory: each side runs once in a fresh child process (this program,
// re-executed); the child reports the growth of its peak resident set
// (VmHWM) across the phase, which is compared with the file size.
#include "benchstats.h"
#include "childprocess.h"
#include "plcscriptgenerator.h"
#include "tvkmessagehandler.h"
#include "tvkparseplccommon.h"

#include <rapidjson/document.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

using bench::cpuSeconds;
using bench::median;

namespace {

// What the child's one line of figures starts with (the reader itself
// writes its version line to the same output).
constexpr const char* kResultPrefix = "result ";
// A phase over the largest script may take long on a loaded machine.
constexpr int kMeasureTimeoutMs = 10 * 60 * 1000;

long peakRssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Child: one phase, prints "result <peak growth KiB> <check>" (the reader
// itself writes its version line to the same output).
int measureChild(const std::string& mode, const std::string& path)
{
    const long before = peakRssKiB();
    long check = 0;
    if (mode == "plc") {
        Quorvan::CtvkParsePlcCommon script(path);
        check = script.isValid() ? static_cast<long>(script.triggers().size()) : -1;
        std::printf("%s%ld %ld\n", kResultPrefix, peakRssKiB() - before, check);
    } else {
        const std::string bytes = readFile(path);
        rapidjson::Document doc;
        doc.Parse(bytes.c_str());
        check = doc.HasParseError() ? -1 : static_cast<long>(doc.Size());
        std::printf("%s%ld %ld\n", kResultPrefix, peakRssKiB() - before, check);
    }
    return 0;
}

// Runs one phase in a fresh copy of this program; false when it failed.
bool runChild(const char* mode, const std::string& path, long& growthKiB)
{
    tvktest::ChildProcess child({"/proc/self/exe", "--measure", mode, path}, tvktest::ChildProcess::Errors::Inherited);
    const std::string line = child.waitForLine(kResultPrefix, kMeasureTimeoutMs);
    long check = -1;
    if (!line.empty())
        std::istringstream(line.substr(line.find(kResultPrefix) + std::strlen(kResultPrefix))) >> growthKiB >> check;
    return child.waitForExit(kMeasureTimeoutMs) == 0 && check >= 0;
}

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

} // namespace

int main(int argc, char** argv)
{
    // The reader's own lines ("parse version: 3") have no place in the table.
    Quorvan::tvkInstallMessageHandler([](const char*, const char*) {});
    if (argc == 4 && std::strcmp(argv[1], "--measure") == 0)
        return measureChild(argv[2], argv[3]);

    std::size_t megabytes = 50;
    int repetitions = 9;
    if (argc > 1)
        megabytes = static_cast<std::size_t>(std::strtoul(argv[1], nullptr, 10));
    if (argc > 2)
        repetitions = std::atoi(argv[2]);

    char dirTemplate[] = "/tmp/tvk-plcbench-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string path = std::string(dirTemplate) + "/script.json";
    PlcScriptGenerator generator(20260101u);
    std::size_t fileSize = 0;
    {
        const std::string text = generator.generate(megabytes << 20, 600);
        fileSize = text.size();
        std::ofstream(path, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    std::printf("script: %.1f MB, %zu triggers, 600 mold blocks\n", fileSize / 1048576.0, generator.triggers());

    const std::string bytes = readFile(path);
    std::vector<double> reference, reader, referenceCpu, readerCpu;
    bool ok = true;
    for (int i = 0; i < repetitions; ++i) {
        for (int side = 0; side < 2; ++side) {
            const bool referenceFirst = (i % 2) == 0;
            // Only reading is timed; each result is destroyed after the clock stops.
            if ((side == 0) == referenceFirst) {
                rapidjson::Document doc;
                const double cpu = cpuSeconds();
                const auto start = std::chrono::steady_clock::now();
                doc.Parse(bytes.c_str());
                reference.push_back(seconds(std::chrono::steady_clock::now() - start));
                referenceCpu.push_back(cpuSeconds() - cpu);
                ok = ok && !doc.HasParseError();
            } else {
                Quorvan::CtvkParsePlcCommon script;
                const double cpu = cpuSeconds();
                const auto start = std::chrono::steady_clock::now();
                script.parse(path);
                reader.push_back(seconds(std::chrono::steady_clock::now() - start));
                readerCpu.push_back(cpuSeconds() - cpu);
                ok = ok && script.isValid() && script.triggers().size() == generator.triggers();
            }
        }
    }

    long referenceKiB = 0, readerKiB = 0;
    ok = runChild("dom", path, referenceKiB) && ok;
    ok = runChild("plc", path, readerKiB) && ok;
    std::remove(path.c_str());
    rmdir(dirTemplate);

    const double fileKiB = fileSize / 1024.0;
    const double refTime = median(reference), plcTime = median(reader);
    std::printf("\n%-28s %14s %14s %8s %8s\n", "", "rapidjson DOM", "script reader", "ratio", "goal");
    std::printf("%-28s %12.1fms %12.1fms %8.2f %8s\n", "median time", refTime * 1e3, plcTime * 1e3,
                plcTime / refTime, "<= 1.5");
    const double refCpu = median(referenceCpu), plcCpu = median(readerCpu);
    std::printf("%-28s %12.1fms %12.1fms %8.2f %8s\n", "median CPU time", refCpu * 1e3, plcCpu * 1e3,
                plcCpu / refCpu, "<= 1.5");
    // Each round runs both sides back to back, so its ratio sees the same
    // machine load on both; the median of those is the steadiest figure.
    std::vector<double> roundRatios;
    for (std::size_t i = 0; i < reader.size() && i < reference.size(); ++i)
        roundRatios.push_back(readerCpu[i] / referenceCpu[i]);
    std::printf("%-28s %14s %14s %8.2f %8s\n", "median of round ratios (CPU)", "", "", median(roundRatios),
                "<= 1.5");
    const double refMin = *std::min_element(reference.begin(), reference.end());
    const double plcMin = *std::min_element(reader.begin(), reader.end());
    std::printf("%-28s %12.1fms %12.1fms %8.2f\n", "fastest run", refMin * 1e3, plcMin * 1e3, plcMin / refMin);
    std::printf("%-28s %12.1fMB %12.1fMB\n", "peak RSS growth", referenceKiB / 1024.0, readerKiB / 1024.0);
    std::printf("%-28s %14.2f %14.2f %8s %8s\n", "peak growth / file size", referenceKiB / fileKiB,
                readerKiB / fileKiB, "", "<= 3.0");
    std::printf("(%d repetitions each, interleaved; reference DOM growth includes its copy of the file)\n",
                repetitions);
    if (!ok) {
        std::printf("FAILED: a parse did not succeed\n");
        return 1;
    }
    return 0;
}
