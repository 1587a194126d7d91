// Faults while the companion runs on the real parts and page: the diary folder deleted and made
// again, the Secret Service gone, and all along a defaults file that cannot be written. The
// companion keeps running and the page shows the state it should.

#include <gio/gio.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "companion/CompanionController.h"
#include "diary/TodayDiary.h"
#include "platform/gtk/GtkPlatform.h"
#include "platform/gtk/GtkWebView.h"
#include "support/ControllerProbe.h"
#include "support/MainContext.h"
#include "support/TempDir.h"

namespace quillo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Probe = CompanionControllerProbe;

const std::string token = "qlo_live_" + std::string(36, 'f');

using quillo::testing::runUntil;

fs::path bundle() { return QUILLO_BUILD_BUNDLE; }

// Remembered positions kept where no file can be: under a regular file.
fs::path unwritablePlace(const fs::path& root) {
    std::ofstream(root / "file") << "x";
    return root / "file" / "defaults.ini";
}

class FaultPlatform : public gtk::GtkPlatform {
public:
    explicit FaultPlatform(const fs::path& root)
        : GtkPlatform(&bundle), defaults_(unwritablePlace(root)) {}
    Defaults& defaults() override { return defaults_; }

private:
    gtk::KeyFileDefaults defaults_;
};

class FaultTest : public ::testing::Test {
protected:
    // The session's own home (a throwaway one), left as it was found.
    void TearDown() override {
        if (controller) controller->handle({{"type", "disconnectSync"}});
        fs::remove_all(fs::path(g_get_home_dir()) / "Documents");
    }
    void writeDiary(const std::string& text) {
        const auto file =
            TodayDiary::diaryFile(g_get_home_dir(), TodayDiary::sources[0],
                                  TodayDiary::dayKey(std::chrono::system_clock::now()));
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "## 今天做了什么\n\n- " << text << "\n";
    }
    void start() {
        controller = CompanionController::create(platform);
        controller->start();
        ASSERT_TRUE(runUntil([&] { return Probe::isPageReady(*controller); }));
    }
    // Waits until the condition, a JavaScript expression, holds in the page; at most 20 s.
    bool pageShows(const std::string& condition) {
        const std::string body =
            "const end = Date.now() + 20000; return new Promise((resolve) => { const check = () => "
            "(" +
            condition +
            ") ? resolve(true) : Date.now() > end ? resolve(false) : setTimeout(check, 20);"
            " check(); });";
        auto state = std::make_shared<int>(0);  // 0 waiting, 1 held, 2 not
        webkit_web_view_call_async_javascript_function(
            static_cast<gtk::GtkWebView&>(Probe::webView(*controller)).view(), body.c_str(), -1,
            nullptr, nullptr, nullptr, nullptr,
            +[](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<std::shared_ptr<int>> state(
                    static_cast<std::shared_ptr<int>*>(data));
                JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
                    WEBKIT_WEB_VIEW(source), result, nullptr);
                **state = value && jsc_value_to_boolean(value) ? 1 : 2;
                if (value) g_object_unref(value);
            },
            new std::shared_ptr<int>(state));
        runUntil([&] { return *state != 0; });
        return *state == 1;
    }

    testing::TempDir root;
    FaultPlatform platform{root.path()};
    std::shared_ptr<CompanionController> controller;
};

constexpr const char* messageSays = "document.getElementById('sync-message').textContent";

TEST_F(FaultTest, ADiaryFolderDeletedAndMadeAgainEmptiesThePageAndFillsItAgain) {
    writeDiary("删除之前写的。");
    start();
    const std::string diary = "document.getElementById('diary').textContent.includes('";
    EXPECT_TRUE(pageShows(diary + "删除之前写的。')"));
    fs::remove_all(fs::path(g_get_home_dir()) / "Documents");
    EXPECT_TRUE(pageShows("!document.getElementById('empty').hidden"));
    writeDiary("重新开始。");
    EXPECT_TRUE(pageShows(diary + "重新开始。')"));
}

// No position can be remembered here; the window still opens, closes and wanders.
TEST_F(FaultTest, DefaultsThatCannotBeWrittenLeaveOpeningClosingAndWanderingAtWork) {
    start();
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
TEST_F(FaultTest, TheSecretServiceGoneMidRunShowsTheCompanionDisconnected) {
    if (!g_getenv("QUILLO_OWN_BUS")) {
        std::ofstream(root.path() / "bus.conf")
            << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><policy "
               "context='default'><allow send_destination='*' eavesdrop='true'/><allow "
               "eavesdrop='true'/><allow own='*'/></policy></busconfig>";
        const auto command =
            "dbus-run-session --config-file=" + (root.path() / "bus.conf").string() + " -- " +
            fs::read_symlink("/proc/self/exe").string() +
            " --gtest_filter=FaultTest.TheSecretServiceGone*";
        gchar* out = nullptr;
        gint status = -1;
        g_setenv("QUILLO_OWN_BUS", "1", TRUE);
        g_spawn_command_line_sync(command.c_str(), &out, nullptr, &status, nullptr);
        g_unsetenv("QUILLO_OWN_BUS");
        EXPECT_TRUE(g_spawn_check_wait_status(status, nullptr) &&
                    std::string(out).find("[  PASSED  ] 1 test") != std::string::npos)
            << out;
        return g_free(out);
    }
    g_setenv("XDG_DATA_HOME", root.path().c_str(), TRUE);  // where the keyring keeps its files
    GSubprocess* keyring = g_subprocess_new(
        G_SUBPROCESS_FLAGS_NONE, nullptr, "bash", "-c",
        "exec gnome-keyring-daemon --foreground --unlock --components=secrets <<< pw", nullptr);
    ASSERT_TRUE(keyring);
    gint waited = -1;
    g_spawn_command_line_sync("gdbus wait --session --timeout 20 org.freedesktop.secrets", nullptr,
                              nullptr, &waited, nullptr);
    ASSERT_TRUE(g_spawn_check_wait_status(waited, nullptr));
    start();
    const std::string connected = "document.getElementById('sync').dataset.connected === '";
    controller->handle({{"type", "saveSyncToken"}, {"token", token}});
    ASSERT_TRUE(pageShows(connected + "true'"));
    g_subprocess_force_exit(keyring);
    g_subprocess_wait(keyring, nullptr, nullptr);
    controller->handle({{"type", "syncNow"}});
    EXPECT_TRUE(
        pageShows(connected + "false' && " + messageSays + " === '连接后可同步到 quillo.app'"));
    g_object_unref(keyring);
}

}  // namespace
}  // namespace quillo
