// The assistant summary reader against real child processes: the GSubprocess runner the app uses,
// small shell scripts standing in for the assistant's interpreters, and the shipped reader script
// run by the system's Python.

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "companion/CompanionController.h"
#include "platform/gtk/GioProcessRunner.h"
#include "platform/gtk/GtkPlatform.h"
#include "support/ControllerProbe.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Probe = CompanionControllerProbe;

constexpr auto kWaitLimit = 20s;
constexpr auto kShortLimit = 400ms;
constexpr const char* kSystemPython = "/usr/bin/python3";

// Runs the default main context until `done` holds or the limit has passed. A light tick keeps
// the loop turning for conditions that no GLib source reports (a process vanishing).
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

void writeShellScript(const fs::path& path, const std::string& body) {
    writeFile(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

std::string todayKey() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char key[16];
    std::strftime(key, sizeof key, "%Y-%m-%d", &local);
    return key;
}

bool isExecutable(const char* path) { return g_file_test(path, G_FILE_TEST_IS_EXECUTABLE); }

// Gone, or a zombie waiting for whoever adopted it: either way it runs no more.
bool processEnded(pid_t pid) {
    if (::kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close == std::string::npos || line.substr(close + 2, 1) == "Z";
}

// Sets a variable of this process for one test; the children inherit it.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (previous_) {
            ::setenv(name_, previous_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> previous_;
};

// The real runner; only the time limit is shortened, so a hung child ends within the test.
class ShortLimitRunner : public ProcessRunner {
public:
    void run(std::vector<std::string> argv, std::chrono::milliseconds limit,
             std::function<void(ProcessResult)> completion) override {
        requested.push_back(limit);
        real_.run(std::move(argv), std::min(limit, kShortLimit), std::move(completion));
    }
    std::vector<std::chrono::milliseconds> requested;

private:
    gtk::GioProcessRunner real_;
};

// GLib reads XDG_DATA_HOME once per process, so the controller is told the test's data folder
// here, while the variable set in the process tells the children.
class TestDataHome : public Environment {
public:
    TestDataHome(Environment& real, fs::path dataHome)
        : real_(real), dataHome_(std::move(dataHome)) {}
    std::optional<std::string> variable(const std::string& name) const override {
        return real_.variable(name);
    }
    fs::path homeDirectory() const override { return real_.homeDirectory(); }
    fs::path dataHome() const override { return dataHome_; }
    std::chrono::system_clock::time_point now() const override { return real_.now(); }
    fs::path resourceBundle() const override { return real_.resourceBundle(); }
    void quit() override { ADD_FAILURE() << "the reader never quits the application"; }

private:
    Environment& real_;
    fs::path dataHome_;
};

class ReaderPlatform : public gtk::GtkPlatform {
public:
    ReaderPlatform(const fs::path& bundle, const fs::path& dataHome)
        : GtkPlatform([bundle] { return bundle; }),
          environment_(GtkPlatform::environment(), dataHome) {}
    ProcessRunner& processRunner() override { return runner; }
    Environment& environment() override { return environment_; }

    ShortLimitRunner runner;

private:
    TestDataHome environment_;
};

// --- The runner on its own

class GioProcessRunnerTest : public ::testing::Test {
protected:
    std::optional<ProcessResult> run(const std::string& body,
                                     std::chrono::milliseconds limit = 30s) {
        const auto script = folder.path() / ("child" + std::to_string(++children) + ".sh");
        writeShellScript(script, body);
        std::optional<ProcessResult> outcome;
        runner.run({script.string()}, limit, [&](ProcessResult result) { outcome = result; });
        EXPECT_TRUE(runUntil([&] { return outcome.has_value(); }));
        return outcome;
    }

    testing::TempDir folder;
    gtk::GioProcessRunner runner;
    int children = 0;
};

TEST_F(GioProcessRunnerTest, HandsBackTheExitStatusAndTheWholeStandardOutput) {
    const auto result = run("printf 'line one\\nline two'; exit 3");
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->started);
    EXPECT_FALSE(result->timedOut);
    EXPECT_EQ(result->exitStatus, 3);
    EXPECT_EQ(result->standardOutput, "line one\nline two");
}

TEST_F(GioProcessRunnerTest, StandardErrorIsThrownAwayAndNeverBlocksTheChild) {
    const auto result = run("head -c 2097152 /dev/zero >&2; printf done");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitStatus, 0);
    EXPECT_EQ(result->standardOutput, "done");
}

TEST_F(GioProcessRunnerTest, TheChildInheritsTheEnvironment) {
    ScopedVariable probe("QUILLO_READER_PROBE", "inherited 值");
    const auto result = run("printf '%s' \"$QUILLO_READER_PROBE\"");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->standardOutput, "inherited 值");
}

TEST_F(GioProcessRunnerTest, AChildKilledBySignalHasNoExitStatus) {
    const auto result = run("kill -9 $$");
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->started);
    EXPECT_FALSE(result->timedOut);
    EXPECT_FALSE(result->exitStatus);
}

TEST_F(GioProcessRunnerTest, HelpersHoldingTheOutputOpenDoNotOutliveTheLimit) {
    // The helper keeps the output pipe open and would keep the run waiting after the child died.
    const auto pidFile = folder.path() / "helper.pid";
    const auto result = run("sleep 600 & echo $! > '" + pidFile.string() + "'; wait", 300ms);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->timedOut);
    const auto helper = static_cast<pid_t>(std::stol(readFile(pidFile)));
    EXPECT_TRUE(runUntil([&] { return processEnded(helper); }));
}

TEST_F(GioProcessRunnerTest, AProgramThatCannotStartIsReportedOnALaterTurn) {
    std::optional<ProcessResult> outcome;
    runner.run({(folder.path() / "missing").string()}, 30s,
               [&](ProcessResult result) { outcome = result; });
    EXPECT_FALSE(outcome) << "the caller may still be arming the run";
    ASSERT_TRUE(runUntil([&] { return outcome.has_value(); }));
    EXPECT_FALSE(outcome->started);
    EXPECT_FALSE(outcome->exitStatus);
}

// --- The controller's reader with fake interpreters

class ReaderTest : public ::testing::Test {
protected:
    ReaderTest()
        : dataHome_(root.path() / "data"),
          variable_("XDG_DATA_HOME", dataHome_.string()),
          platform(root.path() / "bundle", dataHome_) {
        const auto shipped =
            fs::path(QUILLO_SOURCE_DIR) / "resources/TansyReader/read_today_summary.py";
        fs::create_directories(script().parent_path());
        fs::copy_file(shipped, script());
        fs::create_directories(dataHome_);
        controller = CompanionController::create(platform);
    }

    fs::path bases() const { return dataHome_ / "TansyWork/sandbox_runtime/bases"; }
    fs::path script() const { return root.path() / "bundle/TansyReader/read_today_summary.py"; }
    fs::path summaries() const { return dataHome_ / "TansyWork/summaries"; }

    void interpreter(const std::string& relative, const std::string& body) {
        writeShellScript(bases() / relative, body);
    }
    void printing(const std::string& relative, const std::string& content) {
        interpreter(relative, "printf '%s' '" + nlohmann::json{{"content", content}}.dump() + "'");
    }
    // One request, waited for until its hand-back has run.
    void refresh() {
        controller->refreshTansySummary();
        ASSERT_TRUE(runUntil([&] { return !Probe::isTansySummaryRefreshRunning(*controller); }));
    }
    const std::string& summary() const { return Probe::tansySummaryContent(*controller); }

    testing::TempDir root;
    fs::path dataHome_;
    ScopedVariable variable_;
    ReaderPlatform platform;
    std::shared_ptr<CompanionController> controller;
};

TEST_F(ReaderTest, Python313IsPreferredWithinAnEntry) {
    printing("runtime/bin/python3.13", "from 3.13");
    printing("runtime/bin/python3", "from 3");
    refresh();
    EXPECT_EQ(summary(), "from 3.13");
}

TEST_F(ReaderTest, AnEntryWithOnlyPython3IsUsedBeforeTheSystemInterpreter) {
    fs::create_directories(bases() / "empty-runtime");
    printing("runtime/bin/python3", "from the runtime");
    refresh();
    EXPECT_EQ(summary(), "from the runtime");
}

TEST_F(ReaderTest, TheInterpreterGetsTheScriptAsItsOnlyArgument) {
    interpreter("runtime/bin/python3.13", R"(printf '{"content": "%s:%s"}' "$#" "$1")");
    refresh();
    EXPECT_EQ(summary(), "1:" + script().string());
}

TEST_F(ReaderTest, WithoutARuntimeTheSystemPythonRunsTheShippedScript) {
    if (!isExecutable(kSystemPython)) GTEST_SKIP() << "this machine has no " << kSystemPython;
    writeFile(summaries() / (todayKey() + ".md"), "## 今天\n- 系统解释器读到的总结\n");
    refresh();
    EXPECT_EQ(summary(), "## 今天\n- 系统解释器读到的总结\n");
}

TEST_F(ReaderTest, ExitStatusOneKeepsThePreviousSummary) {
    printing("runtime/bin/python3.13", "earlier");
    refresh();
    interpreter("runtime/bin/python3.13", R"(printf '{"content": "ignored"}'; exit 1)");
    refresh();
    EXPECT_EQ(summary(), "earlier");
}

TEST_F(ReaderTest, OutputThatIsNotJsonKeepsThePreviousSummary) {
    printing("runtime/bin/python3.13", "earlier");
    refresh();
    interpreter("runtime/bin/python3.13", "echo 'Traceback (most recent call last):'");
    refresh();
    EXPECT_EQ(summary(), "earlier");
}

TEST_F(ReaderTest, ContentThatIsANumberClearsThePreviousSummary) {
    printing("runtime/bin/python3.13", "earlier");
    refresh();
    interpreter("runtime/bin/python3.13", R"(printf '{"content": 7}')");
    refresh();
    EXPECT_EQ(summary(), "");
}

TEST_F(ReaderTest, AMegabyteSummaryIsReadWhole) {
    interpreter("runtime/bin/python3.13",
                R"(printf '{"content": "'; head -c 1048576 /dev/zero | tr '\0' y; printf '"}')");
    refresh();
    EXPECT_EQ(summary(), std::string(1048576, 'y'));
}

TEST_F(ReaderTest, AReaderThatNeverExitsIsKilledAtTheLimitAndCountsAsAFailure) {
    printing("runtime/bin/python3.13", "earlier");
    refresh();
    interpreter("runtime/bin/python3.13", R"(printf '{"content": "half'; exec sleep 600)");
    refresh();
    EXPECT_EQ(summary(), "earlier");
    EXPECT_EQ(platform.runner.requested.back(), 30s);

    // The next request is free to run again.
    printing("runtime/bin/python3.13", "later");
    refresh();
    EXPECT_EQ(summary(), "later");
}

TEST_F(ReaderTest, TwoRequestsInARowStartOneChild) {
    const auto starts = root.path() / "starts";
    interpreter("runtime/bin/python3.13",
                "echo started >> '" + starts.string() + R"('; printf '{"content": "once"}')");
    controller->refreshTansySummary();
    controller->refreshTansySummary();
    ASSERT_TRUE(runUntil([&] { return !Probe::isTansySummaryRefreshRunning(*controller); }));
    EXPECT_EQ(readFile(starts), "started\n");
    EXPECT_EQ(summary(), "once");
}

// --- The shipped reader script, run by the system's Python

class ReaderScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isExecutable(kSystemPython)) GTEST_SKIP() << "this machine has no " << kSystemPython;
    }

    struct Outcome {
        int status = -1;
        std::string out;
        std::string err;
    };
    // Runs the script straight from the source tree, looking at both of its output streams.
    Outcome runScript() {
        const auto script =
            (fs::path(QUILLO_SOURCE_DIR) / "resources/TansyReader/read_today_summary.py").string();
        const gchar* argv[] = {kSystemPython, script.c_str(), nullptr};
        gchar* out = nullptr;
        gchar* err = nullptr;
        gint wait = 0;
        GError* error = nullptr;
        Outcome outcome;
        if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                          nullptr, &out, &err, &wait, &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
            return outcome;
        }
        outcome.out = out ? out : "";
        outcome.err = err ? err : "";
        g_free(out);
        g_free(err);
        if (WIFEXITED(wait)) outcome.status = WEXITSTATUS(wait);
        return outcome;
    }
    static std::string contentOf(const Outcome& outcome) {
        const auto document = nlohmann::json::parse(outcome.out, nullptr, false);
        EXPECT_TRUE(document.is_object()) << outcome.out;
        return document.is_object() ? document.value("content", "<missing>") : "<not json>";
    }

    testing::TempDir root;
    ScopedVariable dataHome{"XDG_DATA_HOME", (root.path() / "data").string()};
    fs::path summaries() const { return root.path() / "data/TansyWork/summaries"; }
};

TEST_F(ReaderScriptTest, PrintsTodaysSummaryAsTheContentMember) {
    const std::string text = "## 今天做了什么\n- 写了 \"引号\" 和 \\ 反斜杠\n\n空行之后\n";
    writeFile(summaries() / (todayKey() + ".md"), text);
    writeFile(summaries() / "2000-01-01.md", "another day");
    const auto outcome = runScript();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(contentOf(outcome), text);
    EXPECT_EQ(outcome.err, "");
}

TEST_F(ReaderScriptTest, PrintsEmptyContentWhenTodayHasNoSummary) {
    writeFile(summaries() / "2000-01-01.md", "another day");
    const auto outcome = runScript();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(contentOf(outcome), "");
}

TEST_F(ReaderScriptTest, PrintsEmptyContentWhenTheDataFolderDoesNotExist) {
    ScopedVariable missing("XDG_DATA_HOME", (root.path() / "nowhere").string());
    const auto outcome = runScript();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(contentOf(outcome), "");
}

TEST_F(ReaderScriptTest, AnEmptyDataHomeMeansTheDefaultUnderHome) {
    ScopedVariable empty("XDG_DATA_HOME", "");
    ScopedVariable home("HOME", (root.path() / "home").string());
    writeFile(root.path() / "home/.local/share/TansyWork/summaries" / (todayKey() + ".md"),
              "from the default folder");
    const auto outcome = runScript();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(contentOf(outcome), "from the default folder");
}

TEST_F(ReaderScriptTest, ASummaryThatIsNotUtf8CountsAsNone) {
    writeFile(summaries() / (todayKey() + ".md"), "broken \xff\xfe text");
    const auto outcome = runScript();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(contentOf(outcome), "");
}

TEST_F(ReaderScriptTest, AnUnexpectedErrorEndsWithOneLineOnStandardErrorAndStatusOne) {
    fs::create_directories(summaries() / (todayKey() + ".md"));  // a folder where the file belongs
    const auto outcome = runScript();
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    ASSERT_FALSE(outcome.err.empty());
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
}

}  // namespace

}  // namespace quillo
