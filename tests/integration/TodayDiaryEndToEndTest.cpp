// Today's diary end to end: the controller on GTK showing the bundled page in WebKitGTK, the GIO
// folder watches, uploads through curl to the loopback review server, and the built executable's
// `diary` command, over a home made for the test.

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "companion/CompanionController.h"
#include "diary/TodayDiary.h"
#include "platform/gtk/GtkPlatform.h"
#include "support/ControllerProbe.h"
#include "support/MainContext.h"
#include "support/ReviewServerProcess.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using std::chrono::system_clock;

using quillo::testing::runUntil;

void writeTodaysDiary(const fs::path& home, std::size_t source, const std::string& text) {
    const auto file = TodayDiary::diaryFile(home, TodayDiary::sources[source],
                                            TodayDiary::dayKey(system_clock::now()));
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

fs::path bundle() { return QUILLO_BUILD_BUNDLE; }

// The process's own surroundings, except that home is a folder of the test's.
class TestHomePlatform : public gtk::GtkPlatform {
public:
    explicit TestHomePlatform(const fs::path& home) : GtkPlatform(&bundle), environment_(home) {}
    Environment& environment() override { return environment_; }

private:
    struct TestHome : gtk::ProcessEnvironment {
        explicit TestHome(fs::path home) : ProcessEnvironment(&bundle), home(std::move(home)) {}
        fs::path homeDirectory() const override { return home; }
        fs::path dataHome() const override { return home / ".local/share"; }
        fs::path home;
    } environment_;
};

// The diary the page's diary function received last, with the page's text right after it ran,
// and the status of every sync state it was given.
struct PageRecorder : ScriptMessageHandler {
    void didReceiveScriptMessage(const json& body) override {
        if (body.contains("status"))
            statuses.push_back(body["status"]);
        else
            last = body;
    }
    bool shows(const std::string& text) const {
        return last.value("shown", "").find(text) != std::string::npos;
    }
    json last = json::object();
    std::vector<std::string> statuses;
};

// Wraps the page's functions; what they do with what they get stays the page's own.
std::shared_ptr<PageRecorder> recordPage(const CompanionController& controller) {
    auto recorder = std::make_shared<PageRecorder>();
    auto& webView = CompanionControllerProbe::webView(controller);
    webView.addScriptMessageHandler("pageTest", recorder);
    webView.evaluateScript(
        R"({ const post = (m) => window.webkit.messageHandlers.pageTest.postMessage(m);
        const diary = window.quilloSetDiary, state = window.quilloSetSyncState;
        window.quilloSetDiary = (d) => { diary(d); post({diary: d, shown: document.body.textContent}); };
        window.quilloSetSyncState = (s) => { state(s); post({status: s.status}); }; })");
    return recorder;
}

bool pageReady(const CompanionController& controller) {
    return CompanionControllerProbe::isPageReady(controller);
}

TEST(TodayDiaryEndToEndTest, ADiaryWrittenWhileTheCompanionRunsReachesThePage) {
    testing::TempDir home;
    writeTodaysDiary(home.path(), 0, "## 今天做了什么\n启动之前写的。\n");
    TestHomePlatform platform(home.path());
    auto controller = CompanionController::create(platform);
    controller->start();
    ASSERT_TRUE(runUntil([&] { return pageReady(*controller); }));
    const auto recorder = recordPage(*controller);
    // The second source's folders do not exist yet: the first diary of the day makes them.
    writeTodaysDiary(home.path(), 1,
                     "## 今天做了什么\n运行之中写的。\n\n## 今天学到了什么\n监视文件夹。\n");
    ASSERT_TRUE(runUntil([&] { return recorder->shows("监视文件夹。"); }));
    EXPECT_EQ(recorder->last["diary"]["source"], "KILN + Tansy工作 · 本地记忆");
    EXPECT_EQ(recorder->last["diary"]["title"], TodayDiary::displayDate(system_clock::now()));
}

// The review server holds its answers until released, so the agent's later versions surely
// arrive while the first upload is in flight.
TEST(TodayDiaryEndToEndTest, TheFirstEntryAndTheVersionsWrittenWhileItUploadsReachTheService) {
    testing::TempDir home;
    const std::string token = "qlo_live_" + std::string(31, 'e');
    testing::ReviewServerProcess server({"--hold"}, {token});
    g_setenv("QUILLO_API_URL", server.url().c_str(), TRUE);
    TestHomePlatform platform(home.path());
    auto controller = CompanionController::create(platform);
    g_unsetenv("QUILLO_API_URL");
    controller->start();
    ASSERT_TRUE(runUntil([&] { return pageReady(*controller); }));
    const auto recorder = recordPage(*controller);
    // Connected on a day with nothing to sync yet: nothing is sent, no error shown.
    controller->handle({{"type", "saveSyncToken"}, {"token", token}});
    const std::unique_ptr<CompanionController, void (*)(CompanionController*)> disconnect(
        controller.get(), [](auto* c) {
            c->handle({{"type", "disconnectSync"}});
        });

    for (const std::string version : {"第一版。", "第二版。", "第三版。"}) {
        writeTodaysDiary(home.path(), 0, "## 今天做了什么\n" + version + "\n");
        ASSERT_TRUE(runUntil([&] { return recorder->shows(version); })) << version;
        ASSERT_TRUE(CompanionControllerProbe::isSyncing(*controller)) << version;
    }
    server.release();
    ASSERT_TRUE(runUntil([&] {
        return !CompanionControllerProbe::isSyncing(*controller) && recorder->statuses.size() == 4;
    }));
    EXPECT_EQ(recorder->statuses,
              (std::vector<std::string>{"connected", "syncing", "syncing", "synced"}));
    const auto received = server.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_NE(received[0].value("body", "").find("第一版。"), std::string::npos);
    EXPECT_NE(received[1].value("body", "").find("第三版。"), std::string::npos);
}

struct CommandResult {
    int status = -1;
    std::string out, err;
};

// Runs the built executable without a display or a session bus.
CommandResult runCommand(const std::string& arguments, const fs::path& home) {
    const std::string command =
        "env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS HOME=" + home.string() +
        " " QUILLO_EXECUTABLE " " + arguments;
    g_autofree gchar* out = nullptr;
    g_autofree gchar* err = nullptr;
    gint wait = 0;
    if (!g_spawn_command_line_sync(command.c_str(), &out, &err, &wait, nullptr)) return {};
    return {WIFEXITED(wait) ? WEXITSTATUS(wait) : -1, out, err};
}

TEST(DiaryCommandTest, PrintsTodaysMergedDiaryOrWithJsonThePagesObjectWithoutADisplay) {
    testing::TempDir home;
    const auto bare = runCommand("diary", home.path());
    EXPECT_EQ(bare.status, 0) << bare.err;
    EXPECT_EQ(bare.out, "## 今天做了什么\n\n\n");
    EXPECT_TRUE(fs::is_empty(home.path())) << "the command writes nothing";
    for (const char* refused : {"diary --yaml", "diary --json --json", "diary today"})
        EXPECT_EQ(runCommand(refused, home.path()).status, 2) << refused;

    const auto day = system_clock::now();
    writeTodaysDiary(home.path(), 0, "## 今天做了什么\n命令行读到了。\n");
    writeTodaysDiary(home.path(), 1, "## 今天学到了什么\n不需要显示器。\n");
    const auto text = runCommand("diary", home.path());
    const auto object = runCommand("diary --json", home.path());
    // A run that straddles midnight reads another day; it says nothing about the command.
    if (TodayDiary::dayKey(system_clock::now()) != TodayDiary::dayKey(day))
        GTEST_SKIP() << "the day changed while the command ran";
    const std::string content =
        "## 今天做了什么\n\n- 命令行读到了。\n\n## 今天学到了什么\n\n- 不需要显示器。";
    EXPECT_EQ(text.out, content + "\n") << text.err;
    const json page{{"title", TodayDiary::displayDate(day)},
                    {"source", "KILN + Tansy工作 · 本地记忆"},
                    {"content", content}};
    EXPECT_EQ(object.out, page.dump() + "\n");
}

}  // namespace

}  // namespace quillo
