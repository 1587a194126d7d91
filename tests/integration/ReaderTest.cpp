// The assistant summary reader against real child processes: the GSubprocess runner the app uses,
// small shell scripts standing in for the assistant's interpreters, and the shipped reader script
// run by the system's Python.

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

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
    // Gone, or a zombie waiting for whoever adopted it: either way it runs no more.
    int helper = 0;
    std::ifstream(helperPid) >> helper;
    EXPECT_TRUE(runUntil([&] {
        std::string pid, name, state;
        std::ifstream("/proc/" + std::to_string(helper) + "/stat") >> pid >> name >> state;
        return ::kill(helper, 0) != 0 || state == "Z";
    }));
}

TEST_F(ReaderTest, TwoRequestsInARowStartOneChild) {
    const auto starts = root.path() / "starts";
    interpreter("runtime/bin/python3.13",
                "echo started >> '" + starts.string() + R"('; printf '{"content": "once"}')");
    controller->refreshTansySummary();
    EXPECT_EQ(refresh(), "once");
    EXPECT_EQ(fs::file_size(starts), std::string("started\n").size()) << "one start";
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
