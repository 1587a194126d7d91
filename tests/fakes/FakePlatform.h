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

// One shared record of what the controller asked of the platform, in order, so tests can check
// sequences that cross several fakes ("addScriptMessageHandler companion", "configureFloating").
using CallLog = std::vector<std::string>;

class FakeWebView : public WebView {
public:
    explicit FakeWebView(CallLog& log) : log_(log) {}

    void setTransparentBackground() override;
    void setMagnificationAllowed(bool allowed) override;
    void setLoadFinishedHandler(std::function<void()> handler) override;
    void addScriptMessageHandler(const std::string& name,
                                 std::shared_ptr<ScriptMessageHandler> handler) override;
    void removeScriptMessageHandler(const std::string& name) override;
    void loadFile(const std::filesystem::path& page) override;
    void evaluateScript(const std::string& script) override;
    void takeSnapshot(std::function<void(std::optional<std::string>)> completion) override;

    // Test side.
    void finishLoad() { if (loadFinished_) loadFinished_(); }
    // Delivers a message as the page would post it, to whatever handler holds the name now.
    void post(const std::string& name, const nlohmann::json& body);
    const std::vector<std::string>& scripts() const { return scripts_; }
    // Scripts that call the given page function, e.g. "quilloSetDiary".
    std::vector<std::string> scriptsCalling(const std::string& function) const;
    // The JSON argument of each call of the page function.
    std::vector<nlohmann::json> argumentsOf(const std::string& function) const;
    void clearScripts() { scripts_.clear(); }
    bool hasHandler(const std::string& name) const { return handlers_.count(name) > 0; }
    std::weak_ptr<ScriptMessageHandler> handler(const std::string& name) const;
    const std::optional<std::filesystem::path>& loadedFile() const { return loadedFile_; }
    // The next snapshot answers with this (nothing = failure); snapshots then wait for
    // completeSnapshot() unless answered at once.
    std::deque<std::function<void(std::optional<std::string>)>> pendingSnapshots;
    // Answers the oldest snapshot asked for with the PNG bytes (nothing = failure).
    void completeSnapshot(std::optional<std::string> png) {
        if (pendingSnapshots.empty()) return;
        auto completion = std::move(pendingSnapshots.front());
        pendingSnapshots.pop_front();
        completion(std::move(png));
    }

private:
    CallLog& log_;
    std::function<void()> loadFinished_;
    std::map<std::string, std::shared_ptr<ScriptMessageHandler>> handlers_;
    std::vector<std::string> scripts_;
    std::optional<std::filesystem::path> loadedFile_;
};

class FakePanelWindow : public PanelWindow {
public:
    FakePanelWindow(CallLog& log, MainLoop& loop, Size size) : log_(log), loop_(loop) {
        frame_.size = size;
    }
    void configureFloating() override { log_.push_back("configureFloating"); }
    void setContent(WebView&) override { log_.push_back("setContent"); }
    void showWithoutFocus() override { log_.push_back("showWithoutFocus"), visible = true; }
    void present() override { log_.push_back("present"), visible = true; }
    Rect frame() const override { return frame_; }
    void setFrame(const Rect& frame) override;
    // The frame jumps to the target at once; `done` runs on the turn after the virtual clock has
    // moved by the duration, or after a newer frame change has stopped the animation.
    void animateFrame(const Rect& frame, std::chrono::milliseconds duration,
                      std::function<void()> done) override;
    void displayNow() override { log_.push_back("displayNow"); }

    bool visible = false;
    struct Animation {
        Rect target;
        std::chrono::milliseconds duration;
    };
    std::vector<Animation> animations;
    std::vector<Rect> frameChanges;  // every frame set at once, in order

private:
    void stopAnimation();

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
                                    const std::string& account) override;
    std::optional<int> add(const std::string& service, const std::string& account,
                           const std::string& secret) override;
    void remove(const std::string& service, const std::string& account) override;

    std::map<std::pair<std::string, std::string>, std::string> items;
    std::optional<int> failAddWith;  // the status the next adds fail with
    int finds = 0;
};

class FakeHttpClient : public HttpClient {
public:
    void send(HttpRequest request, std::function<void(HttpResponse)> completion) override;
    // Completes the oldest request in flight with the response.
    void completeNext(HttpResponse response);
    std::size_t inFlight() const { return pending_.size(); }
    std::vector<HttpRequest> requests;  // every request sent, in order

private:
    std::deque<std::function<void(HttpResponse)>> pending_;
};

class FakeDefaults : public Defaults {
public:
    bool has(const std::string& key) const override { return values.count(key) > 0; }
    std::optional<double> number(const std::string& key) const override;
    void setNumbers(const std::vector<std::pair<std::string, double>>& values) override;
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
    void requestText(std::function<void(std::optional<std::string>)> callback) override;
    std::optional<std::string> text;

private:
    MainLoop& loop_;
};

class FakeProcessRunner : public ProcessRunner {
public:
    explicit FakeProcessRunner(MainLoop& loop) : loop_(loop) {}
    void run(std::vector<std::string> argv, std::chrono::milliseconds limit,
             std::function<void(ProcessResult)> completion) override;
    // Completes the oldest run; its completion arrives on the next main-loop turn.
    void completeNext(ProcessResult result);
    struct Run {
        std::vector<std::string> argv;
        std::chrono::milliseconds limit;
    };
    std::vector<Run> runs;
    std::size_t inFlight() const { return pending_.size(); }

private:
    MainLoop& loop_;
    std::deque<std::function<void(ProcessResult)>> pending_;
};

// Answers from queues the test fills; when a queue is empty: true, and the interval's low end.
class FakeRandomSource : public RandomSource {
public:
    bool nextBool() override;
    double uniform(double low, double high) override;
    std::deque<bool> bools;
    std::deque<double> uniforms;  // taken as they are, whatever the interval
    struct Draw {
        double low;
        double high;
        friend bool operator==(const Draw&, const Draw&) = default;
    };
    std::vector<Draw> draws;  // the intervals asked for, in order
};

class FakeEnvironment : public Environment {
public:
    explicit FakeEnvironment(const FakeMainLoop& loop) : loop_(loop) {}
    std::optional<std::string> variable(const std::string& name) const override;
    std::filesystem::path homeDirectory() const override { return home; }
    std::filesystem::path dataHome() const override { return home / ".local/share"; }
    // The wall clock starts at `start` and moves with the virtual clock of the main loop.
    std::chrono::system_clock::time_point now() const override;
    std::filesystem::path resourceBundle() const override { return bundle; }
    void quit() override { ++quits; }

    std::map<std::string, std::string> variables;
    std::filesystem::path home;
    std::filesystem::path bundle;
    std::chrono::system_clock::time_point start;
    int quits = 0;

private:
    const FakeMainLoop& loop_;
};

class FakeDirectoryWatcher : public DirectoryWatcher {
public:
    SourceHandle watch(const std::filesystem::path& folder, std::function<void()> changed) override;
    // Tells every watcher of the folder that it changed.
    void notify(const std::filesystem::path& folder);
    std::vector<std::filesystem::path> watchedFolders() const;

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
