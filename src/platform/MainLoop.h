#pragma once

#include <chrono>
#include <functional>

#include "SourceHandle.h"

namespace quillo {

// The one thread that owns all companion state. Workers hand results back with post().
class MainLoop {
public:
    using Task = std::function<void()>;
    virtual ~MainLoop() = default;

    // Runs the task on a later turn of the main loop, in submission order. Safe from any thread.
    virtual void post(Task task) = 0;
    // Runs the task once, after the delay, unless the handle is cancelled or destroyed first.
    [[nodiscard]] virtual SourceHandle postDelayed(std::chrono::milliseconds delay, Task task) = 0;
    // Runs the task every interval, the first time one interval from now.
    [[nodiscard]] virtual SourceHandle repeating(std::chrono::milliseconds interval, Task task) = 0;
};

}  // namespace quillo
