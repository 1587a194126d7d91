// The assistant summary reader against real child processes: the GSubprocess runner the app uses,
// small shell scripts standing in for the assistant's interpreters, the real companion leaving
// while one of them hangs, and the shipped reader script run by the system's Python.

#include <gio/gio.h>
#include <glib-unix.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "companion/CompanionController.h"
#include "diary/TodayDiary.h"
#include "platform/gtk/GioProcessRunner.h"
#include "platform/gtk/GtkPlatform.h"
#include "support/ControllerProbe.h"
#include "support/MainContext.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Probe = CompanionControllerProbe;

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

TEST(GioProcessRunnerTest, AProgramThatCannotStartIsReportedOnALaterTurn) {
    gtk::GioProcessRunner runner;
    std::optional<ProcessResult> outcome;
    runner.run({"/nonexistent/quillo-reader"}, 30s,
               [&](ProcessResult result) { outcome = result; });
    EXPECT_FALSE(outcome) << "the caller may still be arming the run";
    ASSERT_TRUE(runUntil([&] { return outcome.has_value(); }));
    EXPECT_FALSE(outcome->started);
}

// --- The controller's reader with fake interpreters

// The real runner; only the time limit is shortened, so a hung child ends within the test.
struct ShortLimitRunner : ProcessRunner {
    void run(std::vector<std::string> argv, std::chrono::milliseconds limit,
             std::function<void(ProcessResult)> completion) override {
        requested.push_back(limit);
        real.run(std::move(argv), std::min<std::chrono::milliseconds>(limit, 400ms),
                 std::move(completion));
    }
    std::vector<std::chrono::milliseconds> requested;
    gtk::GioProcessRunner real;
};

// The controller looks for the interpreters under the test's data folder.
class ReaderPlatform : public gtk::GtkPlatform {
public:
    ReaderPlatform(const fs::path& bundle, const fs::path& dataHome)
        : GtkPlatform([bundle] { return bundle; }), environment_(bundle, dataHome) {}
    ProcessRunner& processRunner() override { return runner; }
    Environment& environment() override { return environment_; }
    ShortLimitRunner runner;

private:
    struct DataHome : gtk::ProcessEnvironment {
        DataHome(const fs::path& bundle, fs::path folder)
            : ProcessEnvironment([bundle] { return bundle; }), folder(std::move(folder)) {}
        fs::path dataHome() const override { return folder; }
        fs::path folder;
    } environment_;
};

class ReaderTest : public ::testing::Test {
protected:
    ReaderTest() {
        fs::create_directories(script().parent_path());
        fs::copy_file(kShippedScript, script());
    }

    fs::path bases() const { return root.path() / "data/TansyWork/sandbox_runtime/bases"; }
    fs::path script() const { return root.path() / "bundle/TansyReader/read_today_summary.py"; }

    void interpreter(const std::string& relative, const std::string& body) {
        writeFile(bases() / relative, body, true);
    }
    void printing(const std::string& relative, const std::string& content) {
        interpreter(relative, "printf '%s' '" + nlohmann::json{{"content", content}}.dump() + "'");
    }
    // One request, waited for until its hand-back has run; the summary after it.
    const std::string& refresh() {
        controller->refreshTansySummary();
        EXPECT_TRUE(runUntil([&] { return !Probe::isTansySummaryRefreshRunning(*controller); }));
        return Probe::tansySummaryContent(*controller);
    }

    testing::TempDir root;
    ReaderPlatform platform{root.path() / "bundle", root.path() / "data"};
    std::shared_ptr<CompanionController> controller = CompanionController::create(platform);
};

TEST_F(ReaderTest, AnEntrysPython313IsPreferredToItsPython3WhichComesBeforeTheSystems) {
    fs::create_directories(bases() / "empty-runtime");
    interpreter("runtime/bin/python3", R"(printf '{"content": "%s:%s"}' "$#" "$1")");
    EXPECT_EQ(refresh(), "1:" + script().string()) << "the script is the only argument";
    printing("runtime/bin/python3.13", "from 3.13");
    EXPECT_EQ(refresh(), "from 3.13");
}

TEST_F(ReaderTest, WithoutARuntimeTheSystemPythonRunsTheShippedScriptInTheSameEnvironment) {
    if (!g_file_test(kSystemPython, G_FILE_TEST_IS_EXECUTABLE)) GTEST_SKIP() << kSystemPython;
    writeFile(root.path() / "data/TansyWork/summaries" / (today() + ".md"), "## 今天\n- 系统\n");
    // GLib has read its own data folder already; the variable tells the child.
    const std::string previous = g_getenv("XDG_DATA_HOME") ? g_getenv("XDG_DATA_HOME") : "";
    g_setenv("XDG_DATA_HOME", (root.path() / "data").c_str(), TRUE);
    EXPECT_EQ(refresh(), "## 今天\n- 系统\n");
    g_setenv("XDG_DATA_HOME", previous.c_str(), TRUE);
}

TEST_F(ReaderTest, AFailedReadKeepsThePreviousSummaryAndAnyObjectReplacesIt) {
    const auto helperPid = root.path() / "helper.pid";
    // The interpreter's script, and the summary once it has run after one that printed "earlier".
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"(printf '{"content": "ignored"}'; exit 1)", "earlier"},
        {"kill -9 $$", "earlier"},
        {"echo 'Traceback (most recent call last):'", "earlier"},
        {R"(printf '{"content": 7}')", ""},
        {R"(printf '{"content": "'; head -c 1048576 /dev/zero | tr '\0' y; printf '"}')",
         std::string(1048576, 'y')},
        // Standard error is thrown away and never blocks the child.
        {R"(head -c 2097152 /dev/zero >&2; printf '{"content": "done"}')", "done"},
        // Killed at the limit, a failure, with a helper that would hold the output pipe open.
        {R"(printf '{"content": "half'; sleep 600 & echo $! > ')" + helperPid.string() + "'; wait",
         "earlier"},
    };
    for (const auto& [body, expected] : cases) {
        SCOPED_TRACE(body.substr(0, 60));
        printing("runtime/bin/python3.13", "earlier");
        ASSERT_EQ(refresh(), "earlier") << "the previous request left the reader free";
        interpreter("runtime/bin/python3.13", body);
        EXPECT_EQ(refresh(), expected);
    }
    EXPECT_EQ(platform.runner.requested.back(), 30s);
    pid_t helper = 0;
    std::ifstream(helperPid) >> helper;
    EXPECT_TRUE(runUntil([&] { return ended(helper); }));
}

TEST_F(ReaderTest, TwoRequestsInARowStartOneChild) {
    const auto starts = root.path() / "starts";
    interpreter("runtime/bin/python3.13",
                "echo started >> '" + starts.string() + R"('; printf '{"content": "once"}')");
    controller->refreshTansySummary();
    EXPECT_EQ(refresh(), "once");
    EXPECT_EQ(fs::file_size(starts), std::string("started\n").size()) << "one start";
}

// --- The real companion's ways out, with a reader that never ends

// One call to the running companion on the session bus; nothing when it fails.
GVariant* callCompanion(const char* path, const char* interface, const char* method,
                        GVariant* arguments) {
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return nullptr;
    return g_dbus_connection_call_sync(bus, "app.quillo.Companion", path, interface, method,
                                       arguments, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                                       nullptr);
}

// Clicks the tray menu's item with this label, as a status-bar host does it.
bool clickTrayItem(const std::string& label) {
    constexpr const char* menu = "/org/ayatana/NotificationItem/quillo_companion/Menu";
    g_autoptr(GVariant) layout = callCompanion(menu, "com.canonical.dbusmenu", "GetLayout",
                                               g_variant_new_parsed("(0, -1, ['label'])"));
    if (!layout) return false;
    g_autoptr(GVariant) root = g_variant_get_child_value(layout, 1);
    g_autoptr(GVariant) items = g_variant_get_child_value(root, 2);
    for (gsize i = 0; i < g_variant_n_children(items); ++i) {
        g_autoptr(GVariant) boxed = g_variant_get_child_value(items, i);
        g_autoptr(GVariant) item = g_variant_get_variant(boxed);
        g_autoptr(GVariant) properties = g_variant_get_child_value(item, 1);
        gint id = 0;
        const gchar* text = nullptr;
        g_variant_get_child(item, 0, "i", &id);
        if (!g_variant_lookup(properties, "label", "&s", &text) || label != text) continue;
        g_autoptr(GVariant) done =
            callCompanion(menu, "com.canonical.dbusmenu", "Event",
                          g_variant_new("(isvu)", id, "clicked", g_variant_new_string(""), 0u));
        return done != nullptr;
    }
    return false;
}

// An X server of the test's own, so that it can go away under the companion; its display name.
std::string ownDisplay(GSubprocess*& server) {
    int pipe[2];
    if (!g_unix_open_pipe(pipe, FD_CLOEXEC, nullptr)) return "";
    GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDERR_SILENCE);
    g_subprocess_launcher_take_fd(launcher, pipe[1], 3);
    server = g_subprocess_launcher_spawn(launcher, nullptr, "Xvfb", "-displayfd", "3", "-nolisten",
                                         "tcp", nullptr);
    g_object_unref(launcher);
    std::string number;
    char c = 0;
    while (::read(pipe[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(pipe[0]);
    return number.empty() ? "" : ":" + number;
}

TEST(ReaderLifetimeTest, AHungReaderAndItsHelpersEndWithTheCompanionWhicheverWayItGoes) {
    for (const std::string way : {"tray", "--quit", "SIGTERM", "SIGINT", "SIGHUP", "display"}) {
        SCOPED_TRACE(way);
        testing::TempDir root;
        const auto pids = root.path() / "pids";
        writeFile(root.path() / "data/TansyWork/sandbox_runtime/bases/hung/bin/python3",
                  "sleep 600 & echo $$ $! > '" + pids.string() + "'; wait", true);
        GSubprocess* display = nullptr;
        GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE);
        g_subprocess_launcher_setenv(launcher, "XDG_DATA_HOME", (root.path() / "data").c_str(),
                                     TRUE);
        if (way == "display")
            g_subprocess_launcher_setenv(launcher, "DISPLAY", ownDisplay(display).c_str(), TRUE);
        GSubprocess* companion =
            g_subprocess_launcher_spawn(launcher, nullptr, QUILLO_EXECUTABLE, nullptr);
        g_object_unref(launcher);
        ASSERT_TRUE(companion);
        pid_t reader = 0, helper = 0;
        const bool started =
            runUntil([&] { return std::ifstream(pids) >> reader >> helper && helper > 0; });

        if (way == "tray") {
            g_autoptr(GVariant) description = callCompanion(
                "/org/ayatana/NotificationItem/quillo_companion", "org.freedesktop.DBus.Properties",
                "Get", g_variant_new("(ss)", "org.kde.StatusNotifierItem", "IconAccessibleDesc"));
            g_autofree gchar* text = description ? g_variant_print(description, FALSE) : nullptr;
            EXPECT_STREQ(text, "(<'Quillo'>,)") << "the tray icon's accessible description";
            EXPECT_TRUE(clickTrayItem("退出 Quillo"));
        } else if (way == "--quit") {
            EXPECT_TRUE(g_spawn_command_line_sync(QUILLO_EXECUTABLE " --quit", nullptr, nullptr,
                                                  nullptr, nullptr));
        } else if (way == "display") {
            g_subprocess_force_exit(display);
        } else {
            g_subprocess_send_signal(companion, way == "SIGTERM"  ? SIGTERM
                                                : way == "SIGINT" ? SIGINT
                                                                  : SIGHUP);
        }
        bool exited = false;
        g_subprocess_wait_async(
            companion, nullptr,
            +[](GObject*, GAsyncResult*, gpointer done) { *static_cast<bool*>(done) = true; },
            &exited);
        EXPECT_TRUE(runUntil([&] { return exited; }));
        EXPECT_TRUE(started && runUntil([&] { return ended(reader) && ended(helper); }));
        // Whatever failed above, no sleeper outlives the test.
        if (reader > 0) ::kill(-reader, SIGKILL);
        if (!exited) g_subprocess_force_exit(companion);
        if (display) g_subprocess_force_exit(display);
        g_clear_object(&display);
        g_object_unref(companion);
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
