// The companion end to end on real parts: the controller on GTK showing the bundled page in
// WebKitGTK, the GIO folder watches and uploads through curl to the loopback review server, over a
// home made for the test and with a defaults file that cannot be written. Faults come and go
// while it runs; it keeps running and the page shows the state it should.

#include <gio/gio.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "companion/CompanionController.h"
#include "diary/TodayDiary.h"
#include "platform/gtk/GtkPlatform.h"
#include "support/Command.h"
#include "support/ControllerProbe.h"
#include "support/MainContext.h"
#include "support/ReviewServerProcess.h"
#include "support/TempDir.h"

namespace quillo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using std::chrono::system_clock;
using Probe = CompanionControllerProbe;
using quillo::testing::runUntil;

const std::string token = "qlo_live_" + std::string(31, 'e');

fs::path bundle() { return QUILLO_BUILD_BUNDLE; }

// The process's own surroundings, except that home is a folder of the test's and remembered
// positions are kept where no file can be: under a regular file.
class TestPlatform : public gtk::GtkPlatform {
public:
    explicit TestPlatform(const fs::path& root)
        : GtkPlatform(&bundle), environment_(root / "home"), defaults_(root / "file/defaults.ini") {
        std::ofstream(root / "file") << "x";
    }
    Environment& environment() override { return environment_; }
    Defaults& defaults() override { return defaults_; }

private:
    struct TestHome : gtk::ProcessEnvironment {
        explicit TestHome(fs::path home) : ProcessEnvironment(&bundle), home(std::move(home)) {}
        fs::path homeDirectory() const override { return home; }
        fs::path dataHome() const override { return home / ".local/share"; }
        fs::path home;
    } environment_;
    gtk::KeyFileDefaults defaults_;
};

// Everything the page posts to the test's handler.
struct PageMessages : ScriptMessageHandler {
    void didReceiveScriptMessage(const json& body) override { list.push_back(body); }
    std::vector<json> list;
};

class CompanionOnGtk : public ::testing::Test {
protected:
    // The token goes from the session's keyring again, for the tests after this one.
    void TearDown() override {
        if (controller) controller->handle({{"type", "disconnectSync"}});
    }
    void start() {
        controller = CompanionController::create(platform);
        controller->start();
        ASSERT_TRUE(runUntil([&] { return Probe::isPageReady(*controller); }));
        Probe::webView(*controller).addScriptMessageHandler("test", page);
    }
    void writeDiary(const std::string& text) {
        testing::writeFile(TodayDiary::diaryFile(root.path() / "home", TodayDiary::sources[0],
                                                 TodayDiary::dayKey(system_clock::now())),
                           "## 今天做了什么\n" + text + "\n");
    }
    // Waits until the condition, a JavaScript expression, holds in the page.
    bool pageShows(const std::string& condition) {
        const json check = ++checks;
        Probe::webView(*controller)
            .evaluateScript("(function check() { (" + condition +
                            ") ? window.webkit.messageHandlers.test.postMessage(" + check.dump() +
                            ") : setTimeout(check, 20); })()");
        return runUntil([&] { return std::ranges::count(page->list, check) > 0; });
    }
    static std::string says(const std::string& id, const std::string& text) {
        return "document.getElementById('" + id + "').textContent === '" + text + "'";
    }

    testing::TempDir root;
    TestPlatform platform{root.path()};
    std::shared_ptr<CompanionController> controller;
    std::shared_ptr<PageMessages> page = std::make_shared<PageMessages>();
    int checks = 0;
};

// The review server holds its answers until released, so the agent's later versions surely
// arrive while the first upload is in flight: one follow-up upload carries the last of them.
TEST_F(CompanionOnGtk, TheFirstEntryAndTheVersionsWrittenWhileItUploadsReachTheService) {
    testing::ReviewServerProcess server({"--hold"}, {token});
    g_setenv("QUILLO_API_URL", server.url().c_str(), TRUE);
    start();
    g_unsetenv("QUILLO_API_URL");
    Probe::webView(*controller)
        .evaluateScript(
            "const state = window.quilloSetSyncState; window.quilloSetSyncState = (s) => { "
            "state(s); window.webkit.messageHandlers.test.postMessage(s.status + ' ' + s.message); "
            "};");
    // Connected on a day with nothing to sync yet: nothing is sent, no error shown.
    controller->handle({{"type", "saveSyncToken"}, {"token", token}});

    // The folders do not exist yet: the day's first diary makes them, and the watches see it.
    for (const std::string version : {"第一版。", "第二版。", "第三版。"}) {
        writeDiary(version);
        ASSERT_TRUE(
            pageShows("document.getElementById('diary').textContent.includes('" + version + "')"));
        ASSERT_TRUE(Probe::isSyncing(*controller)) << version;
    }
    EXPECT_TRUE(pageShows(says("diary-source", "KILN · 本地记忆") + " && " +
                          says("diary-title", TodayDiary::displayDate(system_clock::now()))));
    server.release();
    ASSERT_TRUE(runUntil([&] { return server.received().size() == 2; }));
    const auto received = server.received();
    EXPECT_NE(received[0].value("body", "").find("第一版。"), std::string::npos);
    EXPECT_NE(received[1].value("body", "").find("第三版。"), std::string::npos);

    // The server gone: the next version fails in words of the user's, and nothing stays stuck.
    server.stop();
    writeDiary("第四版。");
    const auto statuses = [&] {
        std::vector<json> list;
        std::ranges::copy_if(page->list, std::back_inserter(list), &json::is_string);
        return list;
    };
    ASSERT_TRUE(runUntil([&] { return statuses().size() == 6; }));
    const std::string syncing = "syncing 正在同步今天的记忆";
    EXPECT_EQ(statuses(), (std::vector<json>{"connected 已连接 Quillo", syncing, syncing,
                                             "synced 今天的记忆已同步", syncing,
                                             "error 无法连接 Quillo：服务器拒绝了连接"}));
    EXPECT_FALSE(Probe::isSyncing(*controller));
}

// No position can be remembered here; the window still opens, closes and wanders.
TEST_F(CompanionOnGtk, ADiaryFolderDeletedAndMadeAgainAndDefaultsThatCannotBeWrittenAreNoStop) {
    writeDiary("删除之前写的。");
    start();
    const std::string diary = "document.getElementById('diary').textContent.includes('";
    EXPECT_TRUE(pageShows(diary + "删除之前写的。')"));
    fs::remove_all(root.path() / "home/Documents");
    EXPECT_TRUE(pageShows("!document.getElementById('empty').hidden"));
    writeDiary("重新开始。");
    EXPECT_TRUE(pageShows(diary + "重新开始。')"));

    const std::string expanded = "document.documentElement.classList.contains('is-expanded')";
    controller->handle({{"type", "expanded"}, {"value", true}});
    EXPECT_TRUE(pageShows(expanded));
    controller->handle({{"type", "expanded"}, {"value", false}});
    controller->wander();
    EXPECT_TRUE(pageShows("!" + expanded + " && document.querySelector('.is-walking')"));
}

// Taking the session's keyring away would take it from every later test too, so this runs again
// in a child on a bus of its own, without service activation, where the test starts the keyring
// and then kills it.
TEST_F(CompanionOnGtk, TheSecretServiceGoneMidRunShowsTheCompanionDisconnected) {
    if (!g_getenv("QUILLO_OWN_BUS")) {
        std::ofstream(root.path() / "bus.conf")
            << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><policy "
               "context='default'><allow send_destination='*' eavesdrop='true'/><allow "
               "eavesdrop='true'/><allow own='*'/></policy></busconfig>";
        const auto child = testing::run(
            {"dbus-run-session", "--config-file=" + (root.path() / "bus.conf").string(), "--",
             fs::read_symlink("/proc/self/exe"),
             "--gtest_filter=CompanionOnGtk.TheSecretServiceGone*"},
            {"QUILLO_OWN_BUS=1"});
        EXPECT_TRUE(child.status == 0 && child.out.find("[  PASSED  ] 1 test") != std::string::npos)
            << child;
        return;
    }
    g_setenv("XDG_DATA_HOME", root.path().c_str(), TRUE);  // where the keyring keeps its files
    g_autoptr(GSubprocess) keyring = g_subprocess_new(
        G_SUBPROCESS_FLAGS_NONE, nullptr, "bash", "-c",
        "exec gnome-keyring-daemon --foreground --unlock --components=secrets <<< pw", nullptr);
    ASSERT_TRUE(keyring);
    ASSERT_EQ(
        testing::run({"gdbus", "wait", "--session", "--timeout", "20", "org.freedesktop.secrets"})
            .status,
        0);
    start();
    const std::string connected = "document.getElementById('sync').dataset.connected === '";
    controller->handle({{"type", "saveSyncToken"}, {"token", token}});
    ASSERT_TRUE(pageShows(connected + "true'"));
    g_subprocess_force_exit(keyring);
    g_subprocess_wait(keyring, nullptr, nullptr);
    controller->handle({{"type", "syncNow"}});
    EXPECT_TRUE(
        pageShows(connected + "false' && " + says("sync-message", "连接后可同步到 quillo.app")));
}

}  // namespace
}  // namespace quillo
