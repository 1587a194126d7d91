#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace quillo {

// The process's surroundings: its variables, the user's folders, the wall clock, the bundle, and
// the way out.
class Environment {
public:
    virtual ~Environment() = default;
    // Nothing when unset; an empty text when set to nothing.
    virtual std::optional<std::string> variable(const std::string& name) const = 0;
    virtual std::filesystem::path homeDirectory() const = 0;
    // $XDG_DATA_HOME, else ~/.local/share.
    virtual std::filesystem::path dataHome() const = 0;
    virtual std::chrono::system_clock::time_point now() const = 0;
    // The resource bundle folder; a process without one has stopped with a fatal message.
    virtual std::filesystem::path resourceBundle() const = 0;
    // Ends the application as its quit command does; the real one does not return.
    virtual void quit() = 0;
};

}  // namespace quillo
