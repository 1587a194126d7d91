#include "FakePlatform.h"

namespace quillo::testing {

std::vector<std::string> FakeWebView::scriptsCalling(const std::string& function) const {
    std::vector<std::string> found;
    for (const auto& script : scripts_)
        if (script.find(function + "?.(") != std::string::npos) found.push_back(script);
    return found;
}

std::vector<nlohmann::json> FakeWebView::argumentsOf(const std::string& function) const {
    std::vector<nlohmann::json> arguments;
    const auto prefix = "window." + function + "?.(";
    for (const auto& script : scripts_) {
        if (!script.starts_with(prefix) || !script.ends_with(')')) continue;
        const auto argument = script.substr(prefix.size(), script.size() - prefix.size() - 1);
        arguments.push_back(argument.empty() ? nlohmann::json() : nlohmann::json::parse(argument));
    }
    return arguments;
}

void FakePanelWindow::animateFrame(const Rect& frame, std::chrono::milliseconds duration,
                                   std::function<void()> done) {
    stopAnimation();
    frame_ = frame;
    animations.push_back({frame, duration});
    animationDone_ = std::move(done);
    animationEnd_ = loop_.postDelayed(duration, [this] { stopAnimation(); });
}

void FakePanelWindow::stopAnimation() {
    animationEnd_.cancel();
    if (auto done = std::exchange(animationDone_, nullptr)) loop_.post(std::move(done));
}

SourceHandle FakeDirectoryWatcher::watch(const std::filesystem::path& folder,
                                         std::function<void()> changed) {
    const auto id = ++next_;
    watches_.emplace(id, std::make_pair(folder, std::move(changed)));
    return SourceHandle([this, id, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) watches_.erase(id);
    });
}

void FakeDirectoryWatcher::notify(const std::filesystem::path& folder) {
    std::vector<std::function<void()>> callbacks;  // a callback may change the watches
    for (const auto& [id, watch] : watches_)
        if (watch.first == folder) callbacks.push_back(watch.second);
    for (auto& callback : callbacks) callback();
}

std::vector<std::filesystem::path> FakeDirectoryWatcher::watchedFolders() const {
    std::vector<std::filesystem::path> folders;
    for (const auto& [id, watch] : watches_) folders.push_back(watch.first);
    return folders;
}

FakePlatform::FakePlatform() {
    // One 1600 x 900 monitor with a 28-point panel at the top, as on a default desktop.
    screenList.screens = {Screen{{{0, 0}, {1600, 900}}, {{0, 0}, {1600, 872}}}};
    env.start = std::chrono::system_clock::from_time_t(1796558400);  // 2026-12-06 12:00 UTC
}

std::unique_ptr<WebView> FakePlatform::createWebView() {
    log.push_back("createWebView");
    auto view = std::make_unique<FakeWebView>(log);
    webView = view.get();
    return view;
}

std::unique_ptr<PanelWindow> FakePlatform::createPanel(Size contentSize) {
    log.push_back("createPanel " + std::to_string(static_cast<int>(contentSize.width)) + "x" +
                  std::to_string(static_cast<int>(contentSize.height)));
    auto window = std::make_unique<FakePanelWindow>(log, loop, contentSize);
    panel = window.get();
    return window;
}

}  // namespace quillo::testing
