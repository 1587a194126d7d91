#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/MainLoop.h"

namespace quillo::testing {

// A main loop on a virtual clock. Nothing runs until the test says so: runPending() runs what is
// due now, advance() moves the clock and fires timers in time order. Tests never sleep.
class FakeMainLoop : public MainLoop {
public:
    void post(Task task) override;
    [[nodiscard]] SourceHandle postDelayed(std::chrono::milliseconds delay, Task task) override;
    [[nodiscard]] SourceHandle repeating(std::chrono::milliseconds interval, Task task) override;

    // Runs posted tasks (and what they post) until none is left; timers due now fire as well.
    void runPending();
    // Moves the virtual clock forward, firing every timer that comes due on the way.
    void advance(std::chrono::milliseconds duration);
    std::chrono::milliseconds now() const { return now_; }
    // Delayed tasks and timers still scheduled, plus posted tasks not yet run.
    std::size_t pendingSources() const;
    // When the earliest timer fires, if any.
    std::optional<std::chrono::milliseconds> nextDue() const;

private:
    struct Timer {
        std::chrono::milliseconds due;
        std::chrono::milliseconds interval;  // zero for a one-shot task
        std::shared_ptr<Task> task;
    };
    using Key = std::pair<std::chrono::milliseconds, std::uint64_t>;  // (due, order of arming)

    SourceHandle schedule(std::chrono::milliseconds delay, std::chrono::milliseconds interval,
                          Task task);
    bool runOnePosted();
    bool fireOneDue(std::chrono::milliseconds limit);

    std::chrono::milliseconds now_{0};
    std::uint64_t sequence_ = 0;
    std::map<std::uint64_t, Timer> timers_;  // by id
    mutable std::mutex postedMutex_;
    std::deque<Task> posted_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quillo::testing
