#include "FakePlatform.h"

namespace quillo::testing {

// --- FakeWebView

void FakeWebView::setTransparentBackground() { log_.push_back("setTransparentBackground"); }

void FakeWebView::setMagnificationAllowed(bool allowed) {
    log_.push_back(std::string("setMagnificationAllowed ") + (allowed ? "true" : "false"));
}

void FakeWebView::setLoadFinishedHandler(std::function<void()> handler) {
    log_.push_back("setLoadFinishedHandler");
    loadFinished_ = std::move(handler);
}

void FakeWebView::addScriptMessageHandler(const std::string& name,
                                          std::shared_ptr<ScriptMessageHandler> handler) {
    log_.push_back("addScriptMessageHandler " + name);
    handlers_[name] = std::move(handler);
}

void FakeWebView::removeScriptMessageHandler(const std::string& name) {
    log_.push_back("removeScriptMessageHandler " + name);
    handlers_.erase(name);
}

void FakeWebView::loadFile(const std::filesystem::path& page) {
    log_.push_back("loadFile " + page.string());
    loadedFile_ = page;
}

void FakeWebView::evaluateScript(const std::string& script) { scripts_.push_back(script); }

void FakeWebView::takeSnapshot(std::function<void(std::optional<std::string>)> completion) {
    log_.push_back("takeSnapshot");
    pendingSnapshots.push_back(std::move(completion));
}

void FakeWebView::post(const std::string& name, const nlohmann::json& body) {
    if (auto it = handlers_.find(name); it != handlers_.end()) it->second->didReceiveScriptMessage(body);
}

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
        if (script.rfind(prefix, 0) != 0 || script.back() != ')') continue;
        const auto argument = script.substr(prefix.size(), script.size() - prefix.size() - 1);
        arguments.push_back(argument.empty() ? nlohmann::json() : nlohmann::json::parse(argument));
    }
    return arguments;
}

std::weak_ptr<ScriptMessageHandler> FakeWebView::handler(const std::string& name) const {
    auto it = handlers_.find(name);
    return it == handlers_.end() ? std::weak_ptr<ScriptMessageHandler>() : it->second;
}

// --- FakePanelWindow

void FakePanelWindow::setFrame(const Rect& frame) {
    stopAnimation();
    frame_ = frame;
    frameChanges.push_back(frame);
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

// --- FakeSecretStore

std::optional<std::string> FakeSecretStore::find(const std::string& service,
                                                 const std::string& account) {
    ++finds;
    auto it = items.find({service, account});
    if (it == items.end()) return std::nullopt;
    return it->second;
}

std::optional<int> FakeSecretStore::add(const std::string& service, const std::string& account,
                                        const std::string& secret) {
    if (failAddWith) return failAddWith;
    items[{service, account}] = secret;
    return std::nullopt;
}

void FakeSecretStore::remove(const std::string& service, const std::string& account) {
    items.erase({service, account});
}

// --- FakeHttpClient

void FakeHttpClient::send(HttpRequest request, std::function<void(HttpResponse)> completion) {
    requests.push_back(std::move(request));
    pending_.push_back(std::move(completion));
}

void FakeHttpClient::completeNext(HttpResponse response) {
    if (pending_.empty()) return;
    auto completion = std::move(pending_.front());
    pending_.pop_front();
    completion(std::move(response));
}

// --- FakeDefaults

std::optional<double> FakeDefaults::number(const std::string& key) const {
    auto it = values.find(key);
    return it == values.end() ? std::nullopt : it->second;
}

void FakeDefaults::setNumbers(const std::vector<std::pair<std::string, double>>& newValues) {
    ++saves;
    for (const auto& [key, value] : newValues) values[key] = value;
}

// --- FakeClipboard

void FakeClipboard::requestText(std::function<void(std::optional<std::string>)> callback) {
    loop_.post([callback = std::move(callback), text = text] { callback(text); });
}

// --- FakeProcessRunner

void FakeProcessRunner::run(std::vector<std::string> argv, std::chrono::milliseconds limit,
                            std::function<void(ProcessResult)> completion) {
    runs.push_back({std::move(argv), limit});
    pending_.push_back(std::move(completion));
}

void FakeProcessRunner::completeNext(ProcessResult result) {
    if (pending_.empty()) return;
    auto completion = std::move(pending_.front());
    pending_.pop_front();
    loop_.post([completion = std::move(completion), result = std::move(result)] {
        completion(result);
    });
}

// --- FakeRandomSource

bool FakeRandomSource::nextBool() {
    if (bools.empty()) return true;
    const bool value = bools.front();
    bools.pop_front();
    return value;
}

double FakeRandomSource::uniform(double low, double high) {
    draws.push_back({low, high});
    if (uniforms.empty()) return low;
    const double value = uniforms.front();
    uniforms.pop_front();
    return value;
}

// --- FakeEnvironment

std::optional<std::string> FakeEnvironment::variable(const std::string& name) const {
    auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
}

std::chrono::system_clock::time_point FakeEnvironment::now() const {
    return start + std::chrono::duration_cast<std::chrono::system_clock::duration>(loop_.now());
}

// --- FakeDirectoryWatcher

SourceHandle FakeDirectoryWatcher::watch(const std::filesystem::path& folder,
                                         std::function<void()> changed) {
    const auto id = ++next_;
    watches_.emplace(id, std::make_pair(folder, std::move(changed)));
    return SourceHandle([this, id, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) watches_.erase(id);
    });
}

void FakeDirectoryWatcher::notify(const std::filesystem::path& folder) {
    std::vector<std::function<void()>> callbacks;
    for (const auto& [id, watch] : watches_)
        if (watch.first == folder) callbacks.push_back(watch.second);
    for (auto& callback : callbacks) callback();
}

std::vector<std::filesystem::path> FakeDirectoryWatcher::watchedFolders() const {
    std::vector<std::filesystem::path> folders;
    for (const auto& [id, watch] : watches_) folders.push_back(watch.first);
    return folders;
}

// --- FakePlatform

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
