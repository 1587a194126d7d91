#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FakeMainLoop.h"
#include "platform/Platform.h"

namespace quillo::testing {

// The oldest of the queue, taken out; the fallback when the queue is empty.
template <typename T>
T takeOldest(std::deque<T>& queue, T fallback = {}) {
    if (queue.empty()) return fallback;
    T oldest = std::move(queue.front());
    queue.pop_front();
    return oldest;
}

// Calls the oldest waiting completion with the result; nothing when none waits.
template <typename Result>
void completeOldest(std::deque<std::function<void(Result)>>& waiting, Result result) {
    if (auto completion = takeOldest(waiting)) completion(std::move(result));
}

// One shared record of what the controller asked of the platform, in order, so tests can check
// sequences that cross several fakes ("addScriptMessageHandler companion", "configureFloating").
using CallLog = std::vector<std::string>;

class FakeWebView : public WebView {
public:
    explicit FakeWebView(CallLog& log) : log_(log) {}

    void setTransparentBackground() override { log_.push_back("setTransparentBackground"); }
    void setMagnificationAllowed(bool on) override {
        log_.push_back(on ? "setMagnificationAllowed true" : "setMagnificationAllowed false");
    }
    void setLoadFinishedHandler(std::function<void()> handler) override {
        log_.push_back("setLoadFinishedHandler");
        loadFinished_ = std::move(handler);
    }
    void addScriptMessageHandler(const std::string& name,
                                 std::shared_ptr<ScriptMessageHandler> handler) override {
        log_.push_back("addScriptMessageHandler " + name);
        handlers_[name] = std::move(handler);
    }
    void removeScriptMessageHandler(const std::string& name) override {
        log_.push_back("removeScriptMessageHandler " + name);
        handlers_.erase(name);
    }
    void loadFile(const std::filesystem::path& page) override {
        log_.push_back("loadFile " + page.string());
    }
    void evaluateScript(const std::string& script) override { scripts_.push_back(script); }
    // Snapshots wait for completeSnapshot().
    void takeSnapshot(std::function<void(std::optional<std::string>)> completion) override {
        log_.push_back("takeSnapshot");
        snapshots_.push_back(std::move(completion));
    }

    // Test side.
    void finishLoad() {
        if (loadFinished_) loadFinished_();
    }
    std::weak_ptr<ScriptMessageHandler> handler(const std::string& name) const {
        const auto it = handlers_.find(name);
        return it == handlers_.end() ? nullptr : it->second;
    }
    // Delivers a message as the page would post it, to whatever handler holds the name now.
    void post(const std::string& name, const nlohmann::json& body) {
        if (const auto h = handler(name).lock()) h->didReceiveScriptMessage(body);
    }
    const std::vector<std::string>& scripts() const { return scripts_; }
    void clearScripts() { scripts_.clear(); }
    // The scripts that call the page function, e.g. "quilloSetDiary", and their JSON arguments.
    std::vector<std::string> scriptsCalling(const std::string& function) const {
        std::vector<std::string> found;
        for (const auto& script : scripts_)
            if (script.find(function + "?.(") != std::string::npos) found.push_back(script);
        return found;
    }
    std::vector<nlohmann::json> argumentsOf(const std::string& function) const {
        std::vector<nlohmann::json> arguments;
        const auto prefix = "window." + function + "?.(";
        for (const auto& script : scripts_) {
            if (!script.starts_with(prefix) || !script.ends_with(')')) continue;
            const auto argument = script.substr(prefix.size(), script.size() - prefix.size() - 1);
            arguments.push_back(argument.empty() ? nlohmann::json()
                                                 : nlohmann::json::parse(argument));
        }
        return arguments;
    }
    // Answers the oldest snapshot asked for with the PNG bytes (nothing = failure).
    void completeSnapshot(std::optional<std::string> png) {
        completeOldest(snapshots_, std::move(png));
    }

private:
    CallLog& log_;
    std::function<void()> loadFinished_;
    std::map<std::string, std::shared_ptr<ScriptMessageHandler>> handlers_;
    std::vector<std::string> scripts_;
    std::deque<std::function<void(std::optional<std::string>)>> snapshots_;
};

class FakePanelWindow : public PanelWindow {
public:
    FakePanelWindow(CallLog& log, MainLoop& loop, Size size) : log_(log), loop_(loop) {
        frame_.size = size;
    }
    void configureFloating() override { log_.push_back("configureFloating"); }
    void setContent(WebView&) override { log_.push_back("setContent"); }
    void showWithoutFocus() override { log_.push_back("showWithoutFocus"); }
    void present() override { log_.push_back("present"); }
    Rect frame() const override { return frame_; }
    void setFrame(const Rect& frame) override {
        stopAnimation();
        frameChanges.push_back(frame_ = frame);
    }
    // The frame jumps to the target at once; `done` runs on the turn after the virtual clock has
    // moved by the duration, or after a newer frame change has stopped the animation.
    void animateFrame(const Rect& frame, std::chrono::milliseconds duration,
                      std::function<void()> done) override {
        stopAnimation();
        animations.push_back({frame_ = frame, duration});
        animationDone_ = std::move(done);
        animationEnd_ = loop_.postDelayed(duration, [this] { stopAnimation(); });
    }
    void displayNow() override { log_.push_back("displayNow"); }

    struct Animation {
        Rect target;
        std::chrono::milliseconds duration;
    };
    std::vector<Animation> animations;
    std::vector<Rect> frameChanges;  // every frame set at once, in order

private:
    void stopAnimation() {
        animationEnd_.cancel();
        if (auto done = std::exchange(animationDone_, nullptr)) loop_.post(std::move(done));
    }

    CallLog& log_;
    MainLoop& loop_;
    Rect frame_;
    std::function<void()> animationDone_;
    SourceHandle animationEnd_;
};

class FakeScreens : public Screens {
public:
    std::vector<Screen> all() const override { return screens; }
    std::optional<Screen> main() const override {
        if (mainIndex && *mainIndex < screens.size()) return screens[*mainIndex];
        return std::nullopt;
    }
    std::optional<Point> pointer() const override { return pointerAt; }
    Point fromPageScreen(Point p) const override { return {p.x, -p.y}; }  // upside down
    std::vector<Screen> screens;
    std::optional<std::size_t> mainIndex = 0;
    std::optional<Point> pointerAt;
};

struct FakeMotionPreference : MotionPreference {
    bool reduced() const override { return reduce; }
    bool reduce = false;
};

class FakeSecretStore : public SecretStore {
public:
    std::optional<std::string> find(const std::string& service,
                                    const std::string& account) override {
        const auto it = items.find({service, account});
        return it == items.end() ? std::nullopt : std::optional(it->second);
    }
    std::optional<int> add(const std::string& service, const std::string& account,
                           const std::string& secret) override {
        if (!failAddWith) items[{service, account}] = secret;
        return failAddWith;
    }
    void remove(const std::string& service, const std::string& account) override {
        items.erase({service, account});
    }
    std::map<std::pair<std::string, std::string>, std::string> items;
    std::optional<int> failAddWith;  // the status the next adds fail with
};

class FakeHttpClient : public HttpClient {
public:
    void send(HttpRequest request, std::function<void(HttpResponse)> completion) override {
        requests.push_back(std::move(request));
        pending_.push_back(std::move(completion));
    }
    // Completes the oldest request in flight with the response.
    void completeNext(HttpResponse response) { completeOldest(pending_, std::move(response)); }
    std::size_t inFlight() const { return pending_.size(); }
    std::vector<HttpRequest> requests;  // every request sent, in order

private:
    std::deque<std::function<void(HttpResponse)>> pending_;
};

class FakeDefaults : public Defaults {
public:
    bool has(const std::string& key) const override { return values.count(key) > 0; }
    std::optional<double> number(const std::string& key) const override {
        const auto it = values.find(key);
        return it == values.end() ? std::nullopt : it->second;
    }
    void setNumbers(const std::vector<std::pair<std::string, double>>& numbers) override {
        ++saves;
        for (const auto& [key, value] : numbers) values[key] = value;
    }
    // A key present with nothing means a stored value that is not a number.
    std::map<std::string, std::optional<double>> values;
    int saves = 0;
};

class FakeWorkspace : public Workspace {
public:
    void openURI(const std::string& uri) override { opened.push_back(uri); }
    std::vector<std::string> opened;
};

class FakeClipboard : public Clipboard {
public:
    explicit FakeClipboard(MainLoop& loop) : loop_(loop) {}
    // Answers on a later main-loop turn, as the real clipboard does.
    void requestText(std::function<void(std::optional<std::string>)> callback) override {
        loop_.post([callback = std::move(callback), text = text] { callback(text); });
    }
    std::optional<std::string> text;

private:
    MainLoop& loop_;
};

class FakeProcessRunner : public ProcessRunner {
public:
    explicit FakeProcessRunner(MainLoop& loop) : loop_(loop) {}
    void run(std::vector<std::string> argv, std::chrono::milliseconds limit,
             std::function<void(ProcessResult)> completion) override {
        runs.push_back({std::move(argv), limit});
        pending_.push_back([this, completion = std::move(completion)](ProcessResult result) {
            loop_.post([completion, result = std::move(result)] { completion(result); });
        });
    }
    // Completes the oldest run; its completion arrives on the next main-loop turn.
    void completeNext(ProcessResult result) { completeOldest(pending_, std::move(result)); }
    std::size_t inFlight() const { return pending_.size(); }
    struct Run {
        std::vector<std::string> argv;
        std::chrono::milliseconds limit;
    };
    std::vector<Run> runs;

private:
    MainLoop& loop_;
    std::deque<std::function<void(ProcessResult)>> pending_;
};

// Answers from queues the test fills; when a queue is empty: true, and the interval's low end.
class FakeRandomSource : public RandomSource {
public:
    bool nextBool() override { return takeOldest(bools, true); }
    double uniform(double low, double high) override {
        draws.push_back({low, high});
        return takeOldest(uniforms, low);  // taken as it is, whatever the interval
    }
    std::deque<bool> bools;
    std::deque<double> uniforms;
    struct Draw {
        double low, high;
        friend bool operator==(const Draw&, const Draw&) = default;
    };
    std::vector<Draw> draws;  // the intervals asked for, in order
};

class FakeEnvironment : public Environment {
public:
    explicit FakeEnvironment(const FakeMainLoop& loop) : loop_(loop) {}
    std::optional<std::string> variable(const std::string& name) const override {
        const auto it = variables.find(name);
        return it == variables.end() ? std::nullopt : std::optional(it->second);
    }
    std::filesystem::path homeDirectory() const override { return home; }
    std::filesystem::path dataHome() const override { return home / ".local/share"; }
    // The wall clock starts at `start` and moves with the virtual clock of the main loop.
    std::chrono::system_clock::time_point now() const override {
        return start + std::chrono::duration_cast<std::chrono::system_clock::duration>(loop_.now());
    }
    std::filesystem::path resourceBundle() const override { return bundle; }
    void quit() override { ++quits; }

    std::map<std::string, std::string> variables;
    std::filesystem::path home, bundle;
    std::chrono::system_clock::time_point start;
    int quits = 0;

private:
    const FakeMainLoop& loop_;
};

class FakeDirectoryWatcher : public DirectoryWatcher {
public:
    SourceHandle watch(const std::filesystem::path& folder,
                       std::function<void()> changed) override {
        watches_.emplace(++next_, std::make_pair(folder, std::move(changed)));
        return SourceHandle([this, id = next_, alive = std::weak_ptr<bool>(alive_)] {
            if (alive.lock()) watches_.erase(id);
        });
    }
    // Tells every watcher of the folder that it changed.
    void notify(const std::filesystem::path& folder) {
        std::vector<std::function<void()>> callbacks;  // a callback may change the watches
        for (const auto& [id, watch] : watches_)
            if (watch.first == folder) callbacks.push_back(watch.second);
        for (auto& callback : callbacks) callback();
    }
    std::vector<std::filesystem::path> watchedFolders() const {
        std::vector<std::filesystem::path> folders;
        for (const auto& [id, watch] : watches_) folders.push_back(watch.first);
        return folders;
    }

private:
    std::uint64_t next_ = 0;
    std::map<std::uint64_t, std::pair<std::filesystem::path, std::function<void()>>> watches_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// All fakes together. Keeps the web views and panels it made reachable for the test.
class FakePlatform : public Platform {
public:
    FakePlatform();

    MainLoop& mainLoop() override { return loop; }
    Screens& screens() override { return screenList; }
    SecretStore& secretStore() override { return secrets; }
    HttpClient& httpClient() override { return http; }
    Defaults& defaults() override { return defaultsStore; }
    Workspace& workspace() override { return workspaceOpener; }
    Clipboard& clipboard() override { return clipboardText; }
    ProcessRunner& processRunner() override { return processes; }
    RandomSource& random() override { return randomSource; }
    Environment& environment() override { return env; }
    DirectoryWatcher& directoryWatcher() override { return watcher; }
    MotionPreference& motion() override { return motionPreference; }
    std::unique_ptr<WebView> createWebView() override;
    std::unique_ptr<PanelWindow> createPanel(Size contentSize) override;

    CallLog log;
    FakeMainLoop loop;
    FakeScreens screenList;
    FakeSecretStore secrets;
    FakeHttpClient http;
    FakeDefaults defaultsStore;
    FakeWorkspace workspaceOpener;
    FakeClipboard clipboardText{loop};
    FakeProcessRunner processes{loop};
    FakeRandomSource randomSource;
    FakeEnvironment env{loop};
    FakeDirectoryWatcher watcher;
    FakeMotionPreference motionPreference;

    // The last web view and panel made; owned by the controller, valid while it lives.
    FakeWebView* webView = nullptr;
    FakePanelWindow* panel = nullptr;
};

}  // namespace quillo::testing
