#include "FakeMainLoop.h"

#include <algorithm>

namespace quillo::testing {

SourceHandle FakeMainLoop::schedule(std::chrono::milliseconds delay,
                                    std::chrono::milliseconds interval, Task task) {
    const auto id = ++sequence_;
    timers_.emplace(id, Timer{now_ + delay, interval, std::make_shared<Task>(std::move(task))});
    return SourceHandle([this, id, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) timers_.erase(id);
    });
}

bool FakeMainLoop::runOne(std::chrono::milliseconds limit) {
    if (!posted_.empty()) {
        auto task = std::move(posted_.front());
        posted_.pop_front();
        task();
        return true;
    }
    const auto timer = std::ranges::min_element(timers_, {}, [](auto& t) { return t.second.due; });
    if (timer == timers_.end() || timer->second.due > limit) return false;
    now_ = std::max(now_, timer->second.due);
    const auto task = timer->second.task;  // the task may cancel its own timer
    if (timer->second.interval.count() > 0)
        timer->second.due += timer->second.interval;
    else
        timers_.erase(timer);
    (*task)();
    return true;
}

void FakeMainLoop::advance(std::chrono::milliseconds duration) {
    const auto target = now_ + duration;
    while (runOne(target)) continue;
    now_ = target;
}

}  // namespace quillo::testing
