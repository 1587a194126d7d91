#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillo {

struct ProcessResult {
    bool started = false;
    bool timedOut = false;           // killed at the time limit
    std::optional<int> exitStatus;   // absent when killed by a signal or never started
    std::string standardOutput;      // everything the child wrote, read while it ran
};

class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    // Runs argv[0] with the rest as arguments, inheriting the environment and working folder.
    // Standard error is discarded. The completion runs on the main loop.
    virtual void run(std::vector<std::string> argv, std::chrono::milliseconds limit,
                     std::function<void(ProcessResult)> completion) = 0;
};

}  // namespace quillo
