// Today's diary end to end: the controller on GTK showing the bundled page in WebKitGTK, the GIO
// folder watches and uploads through curl to the loopback review server, over a home made for the
// test.

#include <glib.h>
#include <gtest/gtest.h>

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
    ASSERT_TRUE(runUntil([&] { return CompanionControllerProbe::isPageReady(*controller); }));
    // Wraps the page's functions; what they do with what they get stays the page's own.
    const auto recorder = std::make_shared<PageRecorder>();
    auto& webView = CompanionControllerProbe::webView(*controller);
    webView.addScriptMessageHandler("pageTest", recorder);
    webView.evaluateScript(
        R"({ const post = (m) => window.webkit.messageHandlers.pageTest.postMessage(m);
        const diary = window.quilloSetDiary, state = window.quilloSetSyncState;
        window.quilloSetDiary = (d) => { diary(d); post({diary: d, shown: document.body.textContent}); };
        window.quilloSetSyncState = (s) => { state(s); post({status: s.status + ' ' + s.message}); }; })");
    // Connected on a day with nothing to sync yet: nothing is sent, no error shown.
    controller->handle({{"type", "saveSyncToken"}, {"token", token}});
    const std::unique_ptr<CompanionController, void (*)(CompanionController*)> disconnect(
        controller.get(), [](auto* c) {
            c->handle({{"type", "disconnectSync"}});
        });

    // The folders do not exist yet: the day's first diary makes them, and the watches see it.
    for (const std::string version : {"第一版。", "第二版。", "第三版。"}) {
        writeTodaysDiary(home.path(), 0, "## 今天做了什么\n" + version + "\n");
        ASSERT_TRUE(runUntil([&] { return recorder->shows(version); })) << version;
        ASSERT_TRUE(CompanionControllerProbe::isSyncing(*controller)) << version;
    }
    EXPECT_EQ(recorder->last["diary"]["source"], "KILN · 本地记忆");
    EXPECT_EQ(recorder->last["diary"]["title"], TodayDiary::displayDate(system_clock::now()));
    server.release();
    ASSERT_TRUE(runUntil([&] { return server.received().size() == 2; }));
    const auto received = server.received();
    EXPECT_NE(received[0].value("body", "").find("第一版。"), std::string::npos);
    EXPECT_NE(received[1].value("body", "").find("第三版。"), std::string::npos);

    // The server gone: the next version fails in words of the user's, and nothing stays stuck.
    server.stop();
    writeTodaysDiary(home.path(), 0, "## 今天做了什么\n第四版。\n");
    ASSERT_TRUE(runUntil([&] { return recorder->statuses.size() == 6; }));
    const std::string syncing = "syncing 正在同步今天的记忆";
    EXPECT_EQ(recorder->statuses,
              (std::vector<std::string>{"connected 已连接 Quillo", syncing, syncing,
                                        "synced 今天的记忆已同步", syncing,
                                        "error 无法连接 Quillo：服务器拒绝了连接"}));
    EXPECT_FALSE(CompanionControllerProbe::isSyncing(*controller));
}

}  // namespace

}  // namespace quillo
