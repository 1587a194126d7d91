// Opening the calendar end to end: the controller on the real GTK platform hands the address to
// GIO, which starts the default handler. A test handler, registered through XDG_DATA_DIRS and
// made the default in mimeapps.list, records what it was asked to open.
//
// GLib reads the data and config folders once per process, so the opening happens in a child
// run of this same test program with its own variables.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "companion/CompanionController.h"
#include "platform/gtk/GtkPlatform.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kWaitLimit = 20s;
constexpr const char* kChildVariable = "QUILLO_CALENDAR_CHILD_RECORD";

bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kWaitLimit) {
    if (done()) return true;
    bool expired = false;
    const guint deadline = g_timeout_add(
        static_cast<guint>(limit.count()),
        +[](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &expired);
    // The handler is another process: nothing in this loop reports its file, so look often.
    const guint tick = g_timeout_add(
        20, +[](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!done() && !expired) g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
    if (!expired) g_source_remove(deadline);
    return done();
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Only runs as the child of CalendarTest below.
TEST(CalendarOpeningChild, OpensTheCalendarOnce) {
    const char* record = std::getenv(kChildVariable);
    if (!record) GTEST_SKIP() << "runs only as the child of CalendarTest";
    gtk::GtkPlatform platform([] { return fs::path("/nonexistent-bundle"); });
    auto controller = CompanionController::create(platform);
    controller->openCalendar();
    // The launch is asynchronous: stay until the handler has written its record.
    EXPECT_TRUE(runUntil([&] { return fs::exists(record) && !readFile(record).empty(); }));
}

class CalendarTest : public ::testing::Test {
protected:
    CalendarTest() {
        const auto handler = root.path() / "record-open";
        writeFile(handler, "#!/bin/sh\nprintf '%s' \"$1\" > '" + record().string() + ".part'\n" +
                               "mv '" + record().string() + ".part' '" + record().string() + "'\n");
        fs::permissions(handler, fs::perms::owner_all);
        writeFile(
            root.path() / "share/applications/quillo-test-opener.desktop",
            "[Desktop Entry]\nType=Application\nName=Quillo test opener\nExec=" + handler.string() +
                " %u\nMimeType=text/html;x-scheme-handler/http;x-scheme-handler/https;\n"
                "NoDisplay=true\n");
        writeFile(root.path() / "config/mimeapps.list",
                  "[Default Applications]\ntext/html=quillo-test-opener.desktop\n"
                  "x-scheme-handler/http=quillo-test-opener.desktop\n"
                  "x-scheme-handler/https=quillo-test-opener.desktop\n");
        fs::create_directories(home());
        fs::create_directories(root.path() / "data");
    }

    fs::path home() const { return root.path() / "home 主目录#1"; }
    fs::path record() const { return root.path() / "opened"; }

    // Runs the child test with the test folders and returns what the handler was asked to open.
    std::string openCalendarInChild() {
        GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE);
        g_subprocess_launcher_setenv(launcher, "HOME", home().c_str(), TRUE);
        g_subprocess_launcher_setenv(launcher, "XDG_DATA_HOME", (root.path() / "data").c_str(),
                                     TRUE);
        g_subprocess_launcher_setenv(launcher, "XDG_CONFIG_HOME", (root.path() / "config").c_str(),
                                     TRUE);
        // The system folder stays listed for the MIME database that names .html files.
        const std::string dataDirs = (root.path() / "share").string() + ":/usr/share";
        g_subprocess_launcher_setenv(launcher, "XDG_DATA_DIRS", dataDirs.c_str(), TRUE);
        g_subprocess_launcher_setenv(launcher, kChildVariable, record().c_str(), TRUE);
        GError* error = nullptr;
        GSubprocess* child = g_subprocess_launcher_spawn(
            launcher, &error, "/proc/self/exe", "--gtest_filter=CalendarOpeningChild.*", nullptr);
        g_object_unref(launcher);
        if (!child) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
            return {};
        }
        bool ended = false;
        g_subprocess_wait_async(
            child, nullptr,
            +[](GObject*, GAsyncResult*, gpointer flag) { *static_cast<bool*>(flag) = true; },
            &ended);
        if (!runUntil([&] { return ended; })) {
            g_subprocess_force_exit(child);
            runUntil([&] { return ended; });
        }
        EXPECT_TRUE(g_subprocess_get_if_exited(child) && g_subprocess_get_exit_status(child) == 0)
            << "the child test failed";
        g_object_unref(child);
        return readFile(record());
    }

    testing::TempDir root;
};

TEST_F(CalendarTest, ALocalPageOpensInTheDefaultHandlerAsTheSameFile) {
    const auto page = home() / "Documents/Quillo/kiln/index.html";
    writeFile(page, "<!doctype html><title>日历</title>");
    writeFile(home() / "Documents/Quillo/index.html", "<!doctype html>");

    // GIO hands a local file to the handler as a path or as a file URI; both must name the page.
    const auto opened = openCalendarInChild();
    fs::path received = opened;
    if (g_str_has_prefix(opened.c_str(), "file://")) {
        gchar* path = g_filename_from_uri(opened.c_str(), nullptr, nullptr);
        ASSERT_NE(path, nullptr) << opened;
        received = path;
        g_free(path);
    }
    EXPECT_EQ(received, page);
}

TEST_F(CalendarTest, WithoutALocalPageTheServiceSiteOpens) {
    EXPECT_EQ(openCalendarInChild(), "https://quillo.app/");
}

}  // namespace

}  // namespace quillo
