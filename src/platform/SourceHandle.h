#pragma once

#include <functional>
#include <utility>

namespace quillo {

// Owns one pending main-loop source (a delayed task or a repeating timer). Destroying or cancelling
// the handle removes the source, so an owner that goes away can never be called back by it.
class SourceHandle {
public:
    SourceHandle() = default;
    explicit SourceHandle(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    SourceHandle(SourceHandle&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
    SourceHandle& operator=(SourceHandle&& other) noexcept {
        if (this != &other) {
            cancel();
            cancel_ = std::exchange(other.cancel_, nullptr);
        }
        return *this;
    }
    SourceHandle(const SourceHandle&) = delete;
    SourceHandle& operator=(const SourceHandle&) = delete;
    ~SourceHandle() { cancel(); }

    void cancel() {
        if (auto c = std::exchange(cancel_, nullptr)) c();
    }
    // Lets the source run to completion without an owner; used for fire-and-forget delays.
    void release() { cancel_ = nullptr; }
    explicit operator bool() const { return static_cast<bool>(cancel_); }

private:
    std::function<void()> cancel_;
};

}  // namespace quillo
