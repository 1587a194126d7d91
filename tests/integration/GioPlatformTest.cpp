// The GIO side of the platform against real processes and folders: the runner the assistant's
// summary reader runs on, the real companion leaving while a stand-in for the assistant's
// interpreter hangs, the shipped reader script run by the system's Python, the folder watcher on
// what a diary agent does on disk, and the calendar opened in the default handler.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "companion/CompanionController.h"
#include "diary/TodayDiary.h"
#include "platform/gtk/GioDirectoryWatcher.h"
#include "platform/gtk/GioProcessRunner.h"
#include "platform/gtk/GtkPlatform.h"
#include "support/Command.h"
#include "support/MainContext.h"
#include "support/TempDir.h"

namespace quillo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using quillo::testing::runUntil;
using quillo::testing::writeFile;

constexpr const char* kSystemPython = "/usr/bin/python3";
const fs::path kShippedScript =
    fs::path(QUILLO_SOURCE_DIR) / "resources/TansyReader/read_today_summary.py";

// Gone, or a zombie waiting for whoever adopted it: either way it runs no more.
bool ended(pid_t pid) {
    std::string id, name, state;
    std::ifstream("/proc/" + std::to_string(pid) + "/stat") >> id >> name >> state;
    return ::kill(pid, 0) != 0 || state == "Z";
}

// The runner the reader runs on, with small shell scripts for children; what the controller makes
// of each outcome is the unit tests' to say.
TEST(GioProcessRunnerTest, EveryWayAChildEndsIsReportedOnALaterTurnWithAllOfItsOutput) {
    testing::TempDir root;
    const auto child = root.path() / "child", helper = root.path() / "helper";
    // The child's script (none: a program that cannot start) and what the run reports: started,
    // killed at the time limit, exit status, standard output.
    const std::vector<std::pair<std::optional<std::string>, ProcessResult>> cases = {
        {std::nullopt, {false, false, std::nullopt, ""}},
        {"printf out; exit 3", {true, false, 3, "out"}},
        {"kill -9 $$", {true, false, std::nullopt, ""}},
        {"head -c 1048576 /dev/zero | tr '\\0' y", {true, false, 0, std::string(1048576, 'y')}},
        // Standard error is thrown away and never blocks the child.
        {"head -c 2097152 /dev/zero >&2; printf done", {true, false, 0, "done"}},
        // At the limit its whole group goes, with a helper that would hold the output pipe open.
        {"printf half; sleep 600 & echo $! > '" + helper.string() + "'; wait",
         {true, true, std::nullopt, ""}},
    };
    gtk::GioProcessRunner runner;
    for (const auto& [script, expected] : cases) {
        SCOPED_TRACE(script.value_or("<cannot start>"));
        if (script) writeFile(child, *script, true);
        std::optional<ProcessResult> outcome;
        runner.run({script ? child.string() : "/nonexistent/quillo-reader"},
                   expected.timedOut ? 400ms : 30000ms,
                   [&](ProcessResult result) { outcome = std::move(result); });
        EXPECT_FALSE(outcome) << "the caller may still be arming the run";
        ASSERT_TRUE(runUntil([&] { return outcome.has_value(); }));
        EXPECT_EQ(std::tie(outcome->started, outcome->timedOut, outcome->exitStatus),
                  std::tie(expected.started, expected.timedOut, expected.exitStatus));
        EXPECT_TRUE(outcome->standardOutput == expected.standardOutput);
    }
    pid_t helperId = 0;
    std::ifstream(helper) >> helperId;
    EXPECT_TRUE(helperId > 0 && runUntil([&] { return ended(helperId); }));
}

// --- The real companion's ways out, with a reader that never ends

// `gdbus call` on the running companion's tray item (or its menu, "/Menu"): what it printed.
std::string callTray(const std::string& objectAndMethod) {
    const auto command =
        "gdbus call --session --dest app.quillo.Companion --object-path "
        "/org/ayatana/NotificationItem/quillo_companion" +
        objectAndMethod;
    g_autofree gchar* out = nullptr;
    g_spawn_command_line_sync(command.c_str(), &out, nullptr, nullptr, nullptr);
    return out ? out : "";
}

TEST(ReaderLifetimeTest, AHungReaderAndItsHelpersEndWithTheCompanionWhicheverWayItGoes) {
    const std::string menu = "/Menu --method com.canonical.dbusmenu.";
    const std::vector<std::pair<std::string, int>> ways{{"tray", 0},          {"--quit", 0},
                                                        {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT},
                                                        {"SIGHUP", SIGHUP},   {"display", 0}};
    for (const auto& [way, signal] : ways) {
        SCOPED_TRACE(way);
        testing::TempDir root;
        const auto pids = root.path() / "pids";
        writeFile(root.path() / "data/TansyWork/sandbox_runtime/bases/hung/bin/python3",
                  "sleep 600 & echo $$ $! > '" + pids.string() + "'; wait", true);
        g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new({});
        g_subprocess_launcher_setenv(launcher, "XDG_DATA_HOME", (root.path() / "data").c_str(), 1);
        // An X server of the test's own, to go away under the companion.
        g_autoptr(GSubprocess) display =
            way != "display" ? nullptr
                             : g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE, nullptr, "Xvfb",
                                                "-displayfd", "1", "-nolisten", "tcp", nullptr);
        if (display) {
            g_autoptr(GDataInputStream) said =
                g_data_input_stream_new(g_subprocess_get_stdout_pipe(display));
            g_autofree gchar* number = g_data_input_stream_read_line(said, 0, 0, 0);
            g_subprocess_launcher_setenv(launcher, "DISPLAY", (":" + std::string(number)).c_str(),
                                         1);
        }
        g_autoptr(GSubprocess) companion =
            g_subprocess_launcher_spawn(launcher, nullptr, QUILLO_EXECUTABLE, nullptr);
        const pid_t self = std::atoi(g_subprocess_get_identifier(companion));
        pid_t reader = 0, helper = 0;
        ASSERT_TRUE(runUntil([&] { return bool(std::ifstream(pids) >> reader >> helper); }));

        if (way == "tray") {
            EXPECT_EQ(callTray(" --method org.freedesktop.DBus.Properties.Get "
                               "org.kde.StatusNotifierItem IconAccessibleDesc"),
                      "(<'Quillo'>,)\n");
            const auto layout = callTray(menu + "GetLayout -- 0 -1 \"['label']\"");
            const auto item = layout.rfind('(', layout.find("'退出 Quillo'"));
            callTray(menu + "Event -- " + std::to_string(std::atoi(&layout[item + 1])) +
                     " clicked '<\"\">' 0");
        }
        if (way == "--quit") g_spawn_command_line_sync(QUILLO_EXECUTABLE " --quit", 0, 0, 0, 0);
        if (signal) g_subprocess_send_signal(companion, signal);
        if (display) g_subprocess_force_exit(display);
        EXPECT_TRUE(runUntil([&] { return ended(self); }));
        EXPECT_TRUE(runUntil([&] { return ended(reader) && ended(helper); }));
        // Whatever failed above, no sleeper outlives the test.
        if (reader > 0) ::kill(-reader, SIGKILL);
        g_subprocess_force_exit(companion);
    }
}

// --- The shipped reader script, run by the system's Python

TEST(ReaderScriptTest, PrintsTodaysSummaryFromTheDataFolderAsJsonOrOneLineOfErrorAndStatusOne) {
    if (!g_file_test(kSystemPython, G_FILE_TEST_IS_EXECUTABLE)) GTEST_SKIP() << kSystemPython;
    const std::string text = "## 今天做了什么\n- 写了 \"引号\" 和 \\ 反斜杠\n\n空行之后\n";
    const std::string todays =
        "/TansyWork/summaries/" + TodayDiary::dayKey(std::chrono::system_clock::now()) + ".md";
    // XDG_DATA_HOME (empty: empty), a file or <folder> put there, the status and the content.
    const std::vector<std::tuple<std::string, std::string, std::string, int, std::string>> cases = {
        {"data", "data" + todays, text, 0, text},
        {"data", "data/TansyWork/summaries/2000-01-01.md", "another day", 0, ""},
        {"nowhere", "data" + todays, text, 0, ""},
        {"", "home/.local/share" + todays, text, 0, text},
        {"data", "data" + todays, "broken \xff\xfe text", 0, ""},
        {"data", "data" + todays, "<folder>", 1, ""},
    };
    for (const auto& [dataHome, file, written, status, content] : cases) {
        SCOPED_TRACE(dataHome + " " + file);
        testing::TempDir root;
        if (written == "<folder>") fs::create_directories(root.path() / file);
        if (written != "<folder>") writeFile(root.path() / file, written);
        const auto run = testing::run(
            {kSystemPython, kShippedScript},
            {"XDG_DATA_HOME=" + (dataHome.empty() ? "" : (root.path() / dataHome).string()),
             "HOME=" + (root.path() / "home").string()});
        EXPECT_EQ(run.status, status) << run;
        const auto document = nlohmann::json::parse(run.out, nullptr, false);
        EXPECT_EQ(document.is_object() ? document.value("content", "<missing>") : run.out, content);
        // No error, or one line of it.
        EXPECT_EQ(run.err.find('\n'), status ? run.err.size() - 1 : std::string::npos) << run;
    }
}

// --- The folder watcher (GIO file monitors), including folders that appear only later

class DiaryWatchTest : public ::testing::Test {
protected:
    // Lets whatever is queued run; returns the changes seen and forgets them.
    int settle() {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        return std::exchange(changes, 0);
    }
    // A change seen, then forgotten, so that the next step waits for a change of its own.
    bool sawChange() {
        return runUntil([this] { return changes > 0; }) && settle() > 0;
    }
    SourceHandle watch(const fs::path& folder) {
        return watcher.watch(folder, [this] { ++changes; });
    }

    testing::TempDir dir;
    gtk::GioDirectoryWatcher watcher;
    int changes = 0;
    const fs::path folder = dir.path() / "Documents" / "Quillo" / "kiln" / "daily" / "2026";
};

TEST_F(DiaryWatchTest, AFolderCreatedLaterRemovedOrReplacedIsWatchedWithItsFilesAndAppends) {
    auto handle = watch(folder);
    settle();
    fs::create_directories(folder);
    EXPECT_TRUE(sawChange()) << "the folder's appearance, level by level";
    std::ofstream(folder / "2026-12-06.md") << "## 今天做了什么\n";
    EXPECT_TRUE(sawChange()) << "a file in the folder that appeared";
    std::ofstream(folder / "2026-12-06.md", std::ios::app) << "又一句。\n";
    EXPECT_TRUE(sawChange()) << "an append to a file already there";
    for (const bool replacedAtOnce : {false, true}) {
        SCOPED_TRACE(replacedAtOnce ? "replaced before its events arrive" : "removed, then made");
        fs::remove_all(replacedAtOnce ? folder.parent_path() : folder);
        EXPECT_TRUE(replacedAtOnce || sawChange()) << "the folder going away";
        // Back under the same name, often with the same inode: the old monitor hears nothing.
        fs::create_directories(folder);
        EXPECT_TRUE(sawChange()) << "the folder made again";
        std::ofstream(folder / "2026-12-06.md") << "重新开始。";
        EXPECT_TRUE(sawChange()) << "a file in the new folder";
    }
}

TEST_F(DiaryWatchTest, CancelledAndDroppedWatchesAndTheWatchOfAMissingFolderHearNothingMore) {
    const auto daily = folder.parent_path();
    fs::create_directories(daily);
    auto missing = watch(folder);
    auto cancelled = watch(daily);
    int dropped = 0;
    SourceHandle dropping = watcher.watch(daily, [&] {
        ++dropped;
        dropping = {};
    });
    int liveChanges = 0;
    auto live = watcher.watch(daily, [&] { ++liveChanges; });
    settle();
    cancelled.cancel();
    std::ofstream(daily / "a.md") << "不相干。";
    std::ofstream(daily / "b.md") << "还是不相干。";
    ASSERT_TRUE(runUntil([&] { return liveChanges > 1; }));
    EXPECT_EQ(settle(), 0) << "cancelled, or watching a folder that is not there";
    EXPECT_EQ(dropped, 1) << "the callback dropped its own watch";
}

// --- The calendar: the controller on GTK hands the address to GIO, which starts the default
// handler, a test one registered through XDG_DATA_DIRS that records what it opens. GLib reads
// those folders once per process, so the opening runs in a child of this program.

TEST(CalendarOpeningChild, OpensTheCalendarOnce) {
    const char* record = g_getenv("QUILLO_CALENDAR_CHILD_RECORD");
    if (!record) GTEST_SKIP() << "runs only as the child of CalendarTest";
    gtk::GtkPlatform platform([] { return fs::path("/nonexistent-bundle"); });
    CompanionController::create(platform)->openCalendar();
    // The launch is asynchronous: stay until the handler's record is there.
    runUntil([&] { return fs::exists(record); });
}

TEST(CalendarTest, ALocalPageOpensInTheDefaultHandlerAsTheSameFileElseTheServiceSite) {
    testing::TempDir root;
    const auto home = root.path() / "home 主目录#1?%";
    const auto handler = root.path() / "record-open", record = root.path() / "record-open.opened";
    writeFile(handler, R"(printf '%s' "$1" > "$0.part" && mv "$0.part" "$0.opened")", true);
    writeFile(root.path() / "share/applications/quillo-test-opener.desktop",
              "[Desktop Entry]\nType=Application\nName=Quillo test opener\nExec=" +
                  handler.string() + " %u\nMimeType=text/html;x-scheme-handler/https;\n");
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
