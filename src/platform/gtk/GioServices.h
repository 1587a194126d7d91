#pragma once

#include <functional>
#include <random>

#include "platform/Clipboard.h"
#include "platform/Environment.h"
#include "platform/RandomSource.h"
#include "platform/Workspace.h"

namespace quillo::gtk {

class GioWorkspace : public Workspace {
public:
    void openURI(const std::string& uri) override;
};

// The CLIPBOARD selection (what Ctrl+C copies), read asynchronously.
class GtkClipboardText : public Clipboard {
public:
    void requestText(std::function<void(std::optional<std::string>)> callback) override;
};

class SystemRandomSource : public RandomSource {
public:
    bool nextBool() override;
    double uniform(double low, double high) override;

private:
    std::mt19937_64 engine_{std::random_device{}()};
};

class ProcessEnvironment : public Environment {
public:
    // The bundle is asked for only when first needed: a missing bundle is a fatal stop at that
    // moment, not at start-up of a command that never looks at it.
    explicit ProcessEnvironment(std::function<std::filesystem::path()> bundle)
        : bundle_(std::move(bundle)) {}
    std::optional<std::string> variable(const std::string& name) const override;
    std::filesystem::path homeDirectory() const override;
    std::filesystem::path dataHome() const override;
    std::chrono::system_clock::time_point now() const override;
    std::filesystem::path resourceBundle() const override { return bundle_(); }
    void quit() override;

private:
    std::function<std::filesystem::path()> bundle_;
};

}  // namespace quillo::gtk
