#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>

#include "platform/MainLoop.h"

namespace quillo::testing {

// A main loop on a virtual clock. Nothing runs until the test says so: runPending() runs what is
// due now, advance() moves the clock and fires timers in time order. Tests never sleep.
class FakeMainLoop : public MainLoop {
public:
    void post(Task task) override { posted_.push_back(std::move(task)); }
    [[nodiscard]] SourceHandle postDelayed(std::chrono::milliseconds delay, Task task) override {
        return schedule(delay, {}, std::move(task));
    }
    [[nodiscard]] SourceHandle repeating(std::chrono::milliseconds interval, Task task) override {
        return schedule(interval, interval, std::move(task));
    }

    // Runs posted tasks (and what they post) until none is left; timers due now fire as well.
    void runPending() {
        while (runOne(now_)) continue;
    }
    // Moves the virtual clock forward, firing every timer that comes due on the way.
    void advance(std::chrono::milliseconds duration);
    std::chrono::milliseconds now() const { return now_; }
    // Delayed tasks and timers still scheduled, plus posted tasks not yet run.
    std::size_t pendingSources() const { return timers_.size() + posted_.size(); }

private:
    struct Timer {
        std::chrono::milliseconds due, interval;  // a zero interval: once
        std::shared_ptr<Task> task;
    };
    SourceHandle schedule(std::chrono::milliseconds delay, std::chrono::milliseconds interval,
                          Task task);
    // Runs the oldest posted task, else the earliest timer due by the limit; false if none.
    bool runOne(std::chrono::milliseconds limit);

    std::chrono::milliseconds now_{0};
    std::uint64_t sequence_ = 0;
    std::map<std::uint64_t, Timer> timers_;  // by id, so the first of equal due times came first
    std::deque<Task> posted_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quillo::testing
