// Opening the calendar end to end: the controller on GTK hands the address to GIO, which starts
// the default handler, a test one registered through XDG_DATA_DIRS that records what it opens.
// GLib reads those folders once per process, so the opening runs in a child of this program.

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "companion/CompanionController.h"
#include "platform/gtk/GtkPlatform.h"
#include "support/Command.h"
#include "support/MainContext.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Only runs as the child of CalendarTest below.
TEST(CalendarOpeningChild, OpensTheCalendarOnce) {
    const char* record = g_getenv("QUILLO_CALENDAR_CHILD_RECORD");
    if (!record) GTEST_SKIP() << "runs only as the child of CalendarTest";
    gtk::GtkPlatform platform([] { return fs::path("/nonexistent-bundle"); });
    CompanionController::create(platform)->openCalendar();
    // The launch is asynchronous: stay until the handler's record is there.
    testing::runUntil([&] { return fs::exists(record); });
}

TEST(CalendarTest, ALocalPageOpensInTheDefaultHandlerAsTheSameFileElseTheServiceSite) {
    testing::TempDir root;
    const auto home = root.path() / "home 主目录#1?%";
    const auto record = root.path() / "opened";
    const std::string handler = (root.path() / "record-open").string();
    writeFile(handler, "#!/bin/sh\nprintf '%s' \"$1\" > '" + record.string() + ".part' && mv '" +
                           record.string() + ".part' '" + record.string() + "'\n");
    fs::permissions(handler, fs::perms::owner_all);
    writeFile(root.path() / "share/applications/quillo-test-opener.desktop",
              "[Desktop Entry]\nType=Application\nName=Quillo test opener\nExec=" + handler +
                  " %u\nMimeType=text/html;x-scheme-handler/https;\n");
    writeFile(root.path() / "config/mimeapps.list",
              "[Default Applications]\ntext/html=quillo-test-opener.desktop\n"
              "x-scheme-handler/https=quillo-test-opener.desktop\n");
    const auto page = home / "Documents/Quillo/kiln/index.html";
    writeFile(page, "<!doctype html><title>日历</title>");

    for (const std::string& expected : {page.string(), std::string("https://quillo.app/")}) {
        fs::remove(record);
        const auto child = testing::run(
            {fs::read_symlink("/proc/self/exe"), "--gtest_filter=CalendarOpeningChild.*"},
            {"HOME=" + home.string(), "XDG_CONFIG_HOME=" + (root.path() / "config").string(),
             // The system folder stays listed for the MIME database that names .html files.
             "XDG_DATA_DIRS=" + (root.path() / "share").string() + ":/usr/share",
             "QUILLO_CALENDAR_CHILD_RECORD=" + record.string()});
        ASSERT_EQ(child.status, 0) << child;

        // GIO hands the handler a local file as a path or a file URI; both must name the page.
        std::string opened;
        std::getline(std::ifstream(record), opened);
        g_autofree gchar* path = g_filename_from_uri(opened.c_str(), nullptr, nullptr);
        EXPECT_EQ(g_str_has_prefix(opened.c_str(), "file://") && path ? path : opened, expected);
        fs::remove_all(home / "Documents");
    }
}

}  // namespace

}  // namespace quillo
