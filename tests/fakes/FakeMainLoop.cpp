#include "FakeMainLoop.h"

#include <limits>

namespace quillo::testing {

void FakeMainLoop::post(Task task) {
    std::lock_guard lock(postedMutex_);
    posted_.push_back(std::move(task));
}

SourceHandle FakeMainLoop::postDelayed(std::chrono::milliseconds delay, Task task) {
    return schedule(delay, std::chrono::milliseconds::zero(), std::move(task));
}

SourceHandle FakeMainLoop::repeating(std::chrono::milliseconds interval, Task task) {
    return schedule(interval, interval, std::move(task));
}

SourceHandle FakeMainLoop::schedule(std::chrono::milliseconds delay,
                                    std::chrono::milliseconds interval, Task task) {
    const auto id = ++sequence_;
    timers_.emplace(id, Timer{now_ + delay, interval, std::make_shared<Task>(std::move(task))});
    return SourceHandle([this, id, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) timers_.erase(id);
    });
}

bool FakeMainLoop::runOnePosted() {
    Task task;
    {
        std::lock_guard lock(postedMutex_);
        if (posted_.empty()) return false;
        task = std::move(posted_.front());
        posted_.pop_front();
    }
    task();
    return true;
}

bool FakeMainLoop::fireOneDue(std::chrono::milliseconds limit) {
    auto earliest = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.due <= limit &&
            (earliest == timers_.end() || it->second.due < earliest->second.due))
            earliest = it;  // ids grow, so the first of equal due times is the first armed
    }
    if (earliest == timers_.end()) return false;
    now_ = std::max(now_, earliest->second.due);
    auto task = earliest->second.task;
    if (earliest->second.interval.count() > 0) {
        earliest->second.due += earliest->second.interval;
    } else {
        timers_.erase(earliest);
    }
    (*task)();
    return true;
}

void FakeMainLoop::runPending() {
    while (runOnePosted() || fireOneDue(now_)) {
    }
}

void FakeMainLoop::advance(std::chrono::milliseconds duration) {
    const auto target = now_ + duration;
    runPending();
    while (fireOneDue(target)) runPending();
    now_ = target;
    runPending();
}

std::size_t FakeMainLoop::pendingSources() const {
    std::lock_guard lock(postedMutex_);
    return timers_.size() + posted_.size();
}

std::optional<std::chrono::milliseconds> FakeMainLoop::nextDue() const {
    std::optional<std::chrono::milliseconds> due;
    for (const auto& [id, timer] : timers_)
        if (!due || timer.due < *due) due = timer.due;
    return due;
}

}  // namespace quillo::testing
