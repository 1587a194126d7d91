// Hands the controller whatever the summary reader could end with. The input is a list of runs
// separated by the byte 0x1E; in each run the first byte says how the reader ended (bit 0
// started, bit 1 killed at the time limit, bit 2 killed by a signal, the bits above the exit
// status) and the rest is what it printed.
#include <cstdint>
#include <string_view>

#include "FuzzCompanion.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quillo::fuzzing::Companion companion;
    auto& platform = companion.platform;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        const auto run = input.substr(0, input.find('\x1e'));
        input.remove_prefix(std::min(run.size() + 1, input.size()));
        const auto how = static_cast<unsigned char>(run.empty() ? 0 : run.front());
        quillo::ProcessResult result;
        result.started = how & 1;
        result.timedOut = how & 2;
        if (!(how & 4)) result.exitStatus = how >> 3;
        result.standardOutput = std::string(run.substr(run.empty() ? 0 : 1));
        // The page load started the first run; later ones start as the refresh timer would.
        if (platform.processes.inFlight() == 0) companion.controller->refreshTansySummary();
        if (platform.processes.inFlight() == 0) return 0;  // no interpreter on this machine
        platform.processes.completeNext(std::move(result));
        platform.loop.runPending();
    }
    return 0;
}
