// The assistant summary reader against real child processes: the GSubprocess runner the app uses,
// the real companion leaving while a stand-in for the assistant's interpreter hangs, and the
// shipped reader script run by the system's Python.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "diary/TodayDiary.h"
#include "platform/gtk/GioProcessRunner.h"
#include "support/MainContext.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSystemPython = "/usr/bin/python3";
const fs::path kShippedScript =
    fs::path(QUILLO_SOURCE_DIR) / "resources/TansyReader/read_today_summary.py";

using quillo::testing::runUntil;

void writeFile(const fs::path& path, const std::string& text, bool executable = false) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << (executable ? "#!/bin/sh\n" + text + "\n" : text);
    if (executable) fs::permissions(path, fs::perms::owner_all);
}

std::string today() { return TodayDiary::dayKey(std::chrono::system_clock::now()); }

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
    for (const std::string way : {"tray", "--quit", "SIGTERM", "SIGINT", "SIGHUP", "display"}) {
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
        if (way.starts_with("SIG"))
            g_subprocess_send_signal(companion, way == "SIGTERM"  ? SIGTERM
                                                : way == "SIGINT" ? SIGINT
                                                                  : SIGHUP);
        if (display) g_subprocess_force_exit(display);
        bool exited = false;
        g_subprocess_wait_async(
            companion, nullptr,
            +[](GObject*, GAsyncResult*, gpointer done) { *static_cast<bool*>(done) = true; },
            &exited);
        EXPECT_TRUE(runUntil([&] { return exited; }));
        EXPECT_TRUE(runUntil([&] { return ended(reader) && ended(helper); }));
        // Whatever failed above, no sleeper outlives the test.
        if (reader > 0) ::kill(-reader, SIGKILL);
        if (!exited) g_subprocess_force_exit(companion);
    }
}

// --- The shipped reader script, run by the system's Python

TEST(ReaderScriptTest, PrintsTodaysSummaryFromTheDataFolderAsJsonOrOneLineOfErrorAndStatusOne) {
    if (!g_file_test(kSystemPython, G_FILE_TEST_IS_EXECUTABLE)) GTEST_SKIP() << kSystemPython;
    const std::string text = "## 今天做了什么\n- 写了 \"引号\" 和 \\ 反斜杠\n\n空行之后\n";
    const std::string todays = "/TansyWork/summaries/" + today() + ".md";
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
        const std::string command =
            "env XDG_DATA_HOME=" + (dataHome.empty() ? "" : (root.path() / dataHome).string()) +
            " HOME=" + (root.path() / "home").string() + " " + kSystemPython + " " +
            kShippedScript.string();
        g_autofree gchar* out = nullptr;
        g_autofree gchar* err = nullptr;
        gint wait = 0;
        ASSERT_TRUE(g_spawn_command_line_sync(command.c_str(), &out, &err, &wait, nullptr));
        EXPECT_EQ(WIFEXITED(wait) ? WEXITSTATUS(wait) : -1, status) << err;
        const auto document = nlohmann::json::parse(out, nullptr, false);
        EXPECT_EQ(document.is_object() ? document.value("content", "<missing>") : out, content);
        EXPECT_EQ(std::string(err).find('\n'), status ? std::strlen(err) - 1 : std::string::npos)
            << "no error, or one line of it: " << err;
    }
}

}  // namespace

}  // namespace quillo
