#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "companion/CompanionController.h"
#include "fakes/FakePlatform.h"
#include "support/ControllerProbe.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;
using Probe = CompanionControllerProbe;
namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text = "", bool executable = false) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    if (executable) fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
}

ProcessResult exited(int status, std::string output) { return {true, false, status, output}; }

// A reader's output carrying the summary, in the diary's own Markdown form so the merge keeps it.
ProcessResult summary(const std::string& work) {
    const auto content = work.empty() ? "" : "## 今天做了什么\n- " + work + "\n";
    return exited(0, nlohmann::json{{"content", content}}.dump());
}

class AuxiliaryTest : public ::testing::Test {
protected:
    AuxiliaryTest() {
        platform.env.home = root.path() / "home";
        platform.env.bundle = root.path() / "bundle";
        writeFile(platform.env.bundle / "index.html");
        writeFile(script());
        writeFile(bases() / "runtime/bin/python3.13", "", true);
        controller = CompanionController::create(platform);
    }

    fs::path bases() const { return platform.env.dataHome() / "TansyWork/sandbox_runtime/bases"; }
    fs::path script() const { return platform.env.bundle / "TansyReader/read_today_summary.py"; }

    // One reader run, answered, with its hand-back delivered.
    void readSummary(ProcessResult result) {
        controller->refreshTansySummary();
        platform.processes.completeNext(std::move(result));
        platform.loop.runPending();
    }
    long snapshotsTaken() const { return std::ranges::count(platform.log, "takeSnapshot"); }

    testing::TempDir root;
    testing::FakePlatform platform;
    std::shared_ptr<CompanionController> controller;
};

TEST_F(AuxiliaryTest, TheInterpreterIsTheFirstExecutableCandidateOfTheBasesInListingOrder) {
    // Files (executable or not) and folders under the bases, and the choice; none: past them.
    using Layout = std::tuple<std::vector<std::pair<const char*, bool>>, std::vector<const char*>,
                              std::optional<const char*>>;
    const std::vector<Layout> layouts = {
        {{{"a/bin/python3.13", false}, {"a/bin/python3", true}}, {}, "a/bin/python3"},
        {{{"a/bin/python3", true}}, {"a/bin/python3.13"}, "a/bin/python3"},
        {{{"a", true}}, {}, std::nullopt},
        {{{".hidden/bin/python3", true}}, {}, ".hidden/bin/python3"},
    };
    // The same controller all along: the bases are looked at afresh on every request.
    for (const auto& [files, folders, expected] : layouts) {
        SCOPED_TRACE(expected.value_or("none"));
        fs::remove_all(bases());
        fs::create_directories(bases());
        for (const auto& [file, executable] : files) writeFile(bases() / file, "", executable);
        for (const auto* folder : folders) fs::create_directories(bases() / folder);
        const auto found = controller->tansyPythonURL();
        if (expected)
            EXPECT_EQ(found, bases() / *expected);
        else
            EXPECT_TRUE(!found || *found == "/usr/bin/python3") << found->string();
    }

    fs::remove_all(bases());
    for (const auto* entry : {"zeta", "alpha", "mid", "Beta", "0"})
        writeFile(bases() / entry / "bin/python3.13", "", true);
    const auto first = fs::directory_iterator(bases())->path();
    EXPECT_EQ(controller->tansyPythonURL(), first / "bin/python3.13") << "no sorting";
}

TEST_F(AuxiliaryTest, ThePageLoadAndTheMinuteTimerRunTheBundledScriptOneReadAtATime) {
    const auto& runs = platform.processes.runs;
    controller->start();
    platform.webView->finishLoad();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_THAT(runs[0].argv,
                ElementsAre((bases() / "runtime/bin/python3.13").string(), script().string()));
    EXPECT_EQ(runs[0].limit, 30s);
    platform.loop.advance(60s);
    EXPECT_EQ(runs.size(), 1u) << "still reading: the timer's request is dropped";
    platform.processes.completeNext(summary(""));
    controller->refreshTansySummary();
    EXPECT_EQ(runs.size(), 1u) << "the hand-back has not run on the main loop";
    platform.loop.advance(60s);
    EXPECT_EQ(runs.size(), 1u) << "nothing the reader reads has changed since";

    fs::remove(script());
    platform.loop.advance(60s);
    EXPECT_EQ(runs.size(), 1u) << "without the bundled script nothing runs";
    writeFile(script(), "# 新版");
    platform.loop.advance(60s);
    EXPECT_EQ(runs.size(), 2u) << "the next tick tries again";

    controller.reset();
    platform.processes.completeNext(summary("x"));  // a hand-back with no controller does nothing
    platform.loop.runPending();
}

TEST_F(AuxiliaryTest, EachOutcomeSetsKeepsOrClearsThePreviousSummaryAndAFailureIsReadAgain) {
    // A failed read leaves nothing to go by: the next minute reads again, changed or not.
    const std::vector<std::tuple<const char*, ProcessResult, std::string>> cases = {
        {"text content replaces", exited(0, R"({"content": "## 新的\n- 一条"})"),
         "## 新的\n- 一条"},
        {"content kept exactly", exited(0, R"({"content": "  x \n"})"), "  x \n"},
        {"empty content clears", exited(0, R"({"content": ""})"), ""},
        {"no content member clears", exited(0, R"({"summary": "x"})"), ""},
        {"an array clears", exited(0, R"(["x"])"), ""},
        {"no output keeps", exited(0, ""), "previous"},
        {"a bare JSON string keeps", exited(0, R"("x")"), "previous"},
        {"invalid UTF-8 keeps", exited(0, "{\"content\": \"\xff\"}"), "previous"},
        {"killed by a signal keeps", {true, false, std::nullopt, "{}"}, "previous"},
        {"timed out keeps", {true, true, std::nullopt, "{}"}, "previous"},
        {"never started keeps", ProcessResult{}, "previous"},
    };
    for (const auto& [name, result, expected] : cases) {
        SCOPED_TRACE(name);
        readSummary(exited(0, R"({"content": "previous"})"));
        ASSERT_EQ(Probe::tansySummaryContent(*controller), "previous");
        readSummary(result);
        EXPECT_EQ(Probe::tansySummaryContent(*controller), expected);
        EXPECT_FALSE(Probe::isTansySummaryRefreshRunning(*controller));
        const bool failed = !result.started || result.timedOut || result.exitStatus != 0;
        EXPECT_EQ(controller->tansySummaryMayHaveChanged(), failed);
    }
}

TEST_F(AuxiliaryTest, TheMinuteTimerReadsAgainOnlyWhenTheDayScriptInterpreterOrSummaryFileChanged) {
    // The clock shows the real time, so that the files written here are as old as it says.
    platform.env.start = std::chrono::system_clock::now();
    const auto summaryFile = [&] {
        return platform.env.dataHome() / "TansyWork/summaries" /
               (controller->localDateString() + ".md");
    };
    writeFile(summaryFile(), "## 今天做了什么\n- 一\n");
    readSummary(summary("一"));
    // What happens in the minute before the check, and whether the summary may have changed.
    const std::vector<std::tuple<const char*, std::function<void()>, bool>> steps = {
        {"written a moment before the read: read once more", [] {}, true},
        {"nothing changed", [] {}, false},
        {"rewritten", [&] { writeFile(summaryFile(), "## 今天做了什么\n- 二二\n"); }, true},
        {"nothing changed", [] {}, false},
        {"removed", [&] { fs::remove(summaryFile()); }, true},
        {"still none", [] {}, false},
        {"the script replaced", [&] { writeFile(script(), "# 新版"); }, true},
        {"another interpreter",
         [&] {
             fs::permissions(bases() / "runtime/bin/python3.13", fs::perms::all,
                             fs::perm_options::remove);
         },
         true},
        {"the next day", [&] { platform.env.start += 24h; }, true},
        {"nothing changed", [] {}, false},
    };
    for (const auto& [name, change, mayHaveChanged] : steps) {
        SCOPED_TRACE(name);
        platform.loop.advance(60s);
        change();
        EXPECT_EQ(controller->tansySummaryMayHaveChanged(), mayHaveChanged);
        if (mayHaveChanged) readSummary(summary("x"));
    }
}

TEST_F(AuxiliaryTest, ASummaryReachesThePageAndTheServiceWithoutAbsorbOnlyWhenItChanges) {
    controller->start();
    readSummary(summary("早到的总结。"));
    EXPECT_THAT(platform.webView->scripts(), IsEmpty()) << "before the page is ready: only stored";
    platform.webView->finishLoad();
    platform.processes.completeNext(summary("早到的总结。"));  // the load's own read
    platform.loop.runPending();
    EXPECT_EQ(platform.webView->argumentsOf("quilloSetDiary").at(0)["source"],
              "Tansy工作 · 本地记忆");
    // The output of each read, and the sentence of the push it gives, if any.
    const std::vector<std::pair<ProcessResult, std::string>> reads = {
        {summary("第一版。"), "第一版。"},
        {summary("第一版。"), ""},
        {summary("第二版。"), "第二版。"},
        {exited(1, ""), ""},
        // Cleared: the refresh that notices changes finds nothing against a forgotten snapshot.
        {summary(""), ""},
    };
    for (const auto& [result, sentence] : reads) {
        SCOPED_TRACE(sentence);
        platform.webView->clearScripts();
        readSummary(result);
        const auto pushes = platform.webView->argumentsOf("quilloSetDiary");
        EXPECT_THAT(platform.webView->scriptsCalling("quilloAbsorb"), IsEmpty());
        ASSERT_EQ(pushes.size(), sentence.empty() ? 0u : 1u);
        if (sentence.empty()) continue;
        EXPECT_EQ(pushes[0]["source"], "Tansy工作 · 本地记忆");
        EXPECT_EQ(pushes[0]["content"], "## 今天做了什么\n\n- " + sentence);
    }
    EXPECT_EQ(Probe::lastDiarySnapshot(*controller), "");

    // Connected, the day's first summary goes up like any other change of the diary.
    platform.secrets.items[{"app.quillo.companion", "agent-token"}] = "qlo_" + std::string(40, 'k');
    readSummary(summary("第三版。"));
    EXPECT_THAT(platform.http.requests, ElementsAre(::testing::Field(
                                            &HttpRequest::body, ::testing::HasSubstr("第三版。"))));
}

// --- Calendar

TEST_F(AuxiliaryTest, TheCalendarIsTheFirstCandidateThatExistsAtTheRequestElseTheServiceSite) {
    const auto home = platform.env.home;
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"kiln/index.html", "tansy-work/index.html", "index.html"}, "kiln/index.html"},
        {{"tansy-work/index.html", "index.html"}, "tansy-work/index.html"},
        {{"index.html"}, "index.html"},
        {{"kiln/daily/index.html", "../index.html"}, "https://quillo.app/"},
    };
    for (const auto& [present, opened] : cases) {
        SCOPED_TRACE(opened);
        fs::remove_all(home / "Documents");
        for (const auto* page : present) writeFile(home / "Documents/Quillo" / page, "<html>");
        platform.workspaceOpener.opened.clear();
        controller->handle({{"type", "openCalendar"}});
        EXPECT_THAT(platform.workspaceOpener.opened,
                    ElementsAre(opened.starts_with("https:")
                                    ? opened
                                    : "file://" + (home / "Documents/Quillo" / opened).string()));
    }
}

// --- Snapshot

TEST_F(AuxiliaryTest, ACapturePathStartsOneCaptureExpandedFirstOnlyForExactlyOne) {
    const std::string path = (root.path() / "companion.png").string();
    const std::vector<std::tuple<std::optional<std::string>, std::optional<std::string>, bool>>
        cases = {{{}, "1", false},    {"", "1", false},     {path, "1", true}, {path, "0", false},
                 {path, " 1", false}, {path, "1\n", false}, {path, "", false}, {path, {}, false}};
    for (const auto& [capturePath, expanded, expands] : cases) {
        SCOPED_TRACE(capturePath.value_or("(unset)") + " " + expanded.value_or("(unset)"));
        platform.env.variables.clear();
        if (capturePath) platform.env.variables["QUILLO_CAPTURE_PATH"] = *capturePath;
        if (expanded) platform.env.variables["QUILLO_CAPTURE_EXPANDED"] = *expanded;
        platform.log.clear();
        auto own = CompanionController::create(platform);
        own->start();
        platform.webView->finishLoad();
        EXPECT_EQ(std::ranges::count(platform.webView->scripts(),
                                     "window.__quilloDebug?.setExpanded(true)"),
                  expands ? 1 : 0);
        EXPECT_EQ(platform.panel->frame().size, expands ? CompanionController::Layout::expanded
                                                        : CompanionController::Layout::collapsed);
        EXPECT_EQ(snapshotsTaken(), 0) << "expansion comes before the picture";
        platform.loop.advance(10s);
        const bool on = capturePath && !capturePath->empty();
        EXPECT_EQ(Probe::captureStarted(*own), on);
        EXPECT_EQ(snapshotsTaken(), on ? 1 : 0);
        EXPECT_EQ(platform.env.quits, 0);
    }
}

TEST_F(AuxiliaryTest, OnePictureComesTwoSecondsAfterTheFirstLoadIsWrittenOrReportedAndTheAppQuits) {
    const std::string png = "\x89PNG\r\n\x1a\n picture";
    const auto path = root.path() / "companion.png";
    writeFile(path, std::string(4096, 'o'));  // replaced whole
    const std::vector<std::tuple<std::optional<std::string>, fs::path, std::string>> cases = {
        {png, path, ""},
        {std::nullopt, path, "Failed to capture companion snapshot\n"},
        {png, root.path(), "Failed to write companion snapshot\n"},
    };
    for (const auto& [picture, target, message] : cases) {
        SCOPED_TRACE(message);
        platform.env.variables["QUILLO_CAPTURE_PATH"] = target.string();
        platform.log.clear();
        const int quits = platform.env.quits;
        auto own = CompanionController::create(platform);
        own->start();
        platform.webView->finishLoad();
        platform.loop.advance(1s);
        platform.webView->finishLoad();  // a reload takes no second picture
        platform.loop.advance(999ms);
        EXPECT_EQ(snapshotsTaken(), 0);
        platform.loop.advance(1ms);
        EXPECT_EQ(snapshotsTaken(), 1);
        platform.loop.advance(5s);
        EXPECT_EQ(snapshotsTaken(), 1);

        ::testing::internal::CaptureStderr();
        platform.webView->completeSnapshot(picture);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), message);
        EXPECT_EQ(platform.env.quits, quits + 1);
    }
    EXPECT_EQ(fs::file_size(path), png.size());

    auto gone = CompanionController::create(platform);
    gone->start();
    platform.webView->finishLoad();
    gone.reset();
    platform.loop.advance(5s);
    EXPECT_EQ(snapshotsTaken(), 1) << "none once the controller has gone";
}

}  // namespace

}  // namespace quillo
