#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

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

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

ProcessResult exited(int status, std::string output) {
    ProcessResult result;
    result.started = true;
    result.exitStatus = status;
    result.standardOutput = std::move(output);
    return result;
}

// A summary in the diary's own Markdown form, so that the merge keeps it.
std::string diary(const std::string& work) { return "## 今天做了什么\n- " + work + "\n"; }

std::string summaryOutput(const std::string& content) {
    return nlohmann::json{{"content", content}}.dump();
}

class AuxiliaryTest : public ::testing::Test {
protected:
    AuxiliaryTest() {
        platform.env.home = root.path() / "home";
        platform.env.bundle = root.path() / "bundle";
        fs::create_directories(platform.env.home);
        writeFile(platform.env.bundle / "index.html", "<!doctype html>");
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
    void loadPage() {
        controller->start();
        platform.webView->finishLoad();
        // The load starts a reader run of its own; answer it with nothing new.
        platform.processes.completeNext(
            exited(0, summaryOutput(Probe::tansySummaryContent(*controller))));
        platform.loop.runPending();
        platform.webView->clearScripts();
    }
    std::vector<std::string> pushedSources() const {
        std::vector<std::string> sources;
        for (const auto& argument : platform.webView->argumentsOf("quilloSetDiary"))
            sources.push_back(argument.value("source", ""));
        return sources;
    }

    testing::TempDir root;
    testing::FakePlatform platform;
    std::shared_ptr<CompanionController> controller;
};

// --- Finding the interpreter

class InterpreterSearchTest : public AuxiliaryTest {};

TEST_F(InterpreterSearchTest, CandidatesFollowTheTableWithinAnEntryAndPassOverUnusableOnes) {
    struct Layout {
        const char* name;
        std::vector<std::pair<const char*, bool>> files;  // path under the bases folder, executable
        std::vector<const char*> folders;                 // paths under the bases folder
        std::optional<const char*> expected;  // under the bases folder; none: outside it
    };
    const std::vector<Layout> layouts = {
        {"both present: python3.13 wins",
         {{"a/bin/python3.13", true}, {"a/bin/python3", true}},
         {},
         "a/bin/python3.13"},
        {"only python3", {{"a/bin/python3", true}}, {}, "a/bin/python3"},
        {"python3.13 not executable",
         {{"a/bin/python3.13", false}, {"a/bin/python3", true}},
         {},
         "a/bin/python3"},
        {"python3.13 is a folder",
         {{"a/bin/python3", true}},
         {"a/bin/python3.13"},
         "a/bin/python3"},
        {"entry is a plain file", {{"a", true}}, {}, std::nullopt},
        {"empty entry", {}, {"a"}, std::nullopt},
        {"hidden entry counts", {{".hidden/bin/python3", true}}, {}, ".hidden/bin/python3"},
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.name);
        fs::remove_all(bases());
        fs::create_directories(bases());
        for (const auto& [file, executable] : layout.files)
            writeFile(bases() / file, "", executable);
        for (const auto* folder : layout.folders) fs::create_directories(bases() / folder);

        const auto found = controller->tansyPythonURL();
        if (layout.expected) {
            EXPECT_EQ(found, bases() / *layout.expected);
        } else {
            // Past the bases folder only the system interpreter is left, if this machine has one.
            EXPECT_TRUE(!found || *found == "/usr/bin/python3") << found->string();
        }
    }
}

TEST_F(InterpreterSearchTest, EntriesAreTriedInTheFileSystemsListingOrderWithoutSorting) {
    fs::remove_all(bases());
    for (const auto* entry : {"zeta", "alpha", "mid", "Beta", "0"})
        writeFile(bases() / entry / "bin/python3.13", "", true);

    std::string first;
    DIR* folder = ::opendir(bases().c_str());
    ASSERT_NE(folder, nullptr);
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            first = name;
            break;
        }
    }
    ::closedir(folder);

    EXPECT_EQ(controller->tansyPythonURL(), bases() / first / "bin/python3.13");
}

TEST_F(InterpreterSearchTest, ARuntimeInstalledAfterLaunchIsFoundOnTheNextRequest) {
    fs::remove_all(bases());
    const auto before = controller->tansyPythonURL();
    EXPECT_TRUE(!before || *before == "/usr/bin/python3");
    writeFile(bases() / "late/bin/python3", "", true);
    EXPECT_EQ(controller->tansyPythonURL(), bases() / "late/bin/python3");
}

// --- Running the reader

class SummaryReaderTest : public AuxiliaryTest {};

TEST_F(SummaryReaderTest, RunsTheBundledScriptWithTheInterpreterUnderAThirtySecondLimit) {
    controller->refreshTansySummary();
    ASSERT_EQ(platform.processes.runs.size(), 1u);
    EXPECT_THAT(platform.processes.runs[0].argv,
                ElementsAre((bases() / "runtime/bin/python3.13").string(), script().string()));
    EXPECT_EQ(platform.processes.runs[0].limit, 30s);
    EXPECT_TRUE(Probe::isTansySummaryRefreshRunning(*controller));
}

TEST_F(SummaryReaderTest, WithoutTheBundledScriptNothingRunsAndTheNextRequestTriesAgain) {
    fs::remove(script());
    controller->refreshTansySummary();
    EXPECT_THAT(platform.processes.runs, IsEmpty());
    EXPECT_FALSE(Probe::isTansySummaryRefreshRunning(*controller));

    writeFile(script());
    controller->refreshTansySummary();
    EXPECT_EQ(platform.processes.runs.size(), 1u);
}

TEST_F(SummaryReaderTest, RequestsWhileAReaderRunsStartNoSecondOne) {
    controller->refreshTansySummary();
    controller->refreshTansySummary();
    EXPECT_EQ(platform.processes.runs.size(), 1u);

    platform.processes.completeNext(exited(0, summaryOutput("A")));
    controller->refreshTansySummary();
    EXPECT_EQ(platform.processes.runs.size(), 1u)
        << "the hand-back has not run on the main loop yet";

    platform.loop.runPending();
    EXPECT_FALSE(Probe::isTansySummaryRefreshRunning(*controller));
    controller->refreshTansySummary();
    EXPECT_EQ(platform.processes.runs.size(), 2u);
}

TEST_F(SummaryReaderTest, ThePageLoadAndTheMinuteTimerEachAskForASummary) {
    controller->start();
    platform.webView->finishLoad();
    ASSERT_EQ(platform.processes.runs.size(), 1u);

    platform.loop.advance(60s);  // still running: the timer's request is dropped
    EXPECT_EQ(platform.processes.runs.size(), 1u);

    platform.processes.completeNext(exited(0, summaryOutput("")));
    platform.loop.advance(59s);
    EXPECT_EQ(platform.processes.runs.size(), 1u);
    platform.loop.advance(1s);
    EXPECT_EQ(platform.processes.runs.size(), 2u);
}

TEST_F(SummaryReaderTest, EachOutcomeSetsKeepsOrClearsThePreviousSummary) {
    struct Case {
        const char* name;
        ProcessResult result;
        std::string expected;
    };
    ProcessResult timedOut = exited(0, summaryOutput("late"));
    timedOut.timedOut = true;
    timedOut.exitStatus.reset();
    ProcessResult killed = exited(0, summaryOutput("killed"));
    killed.exitStatus.reset();
    const std::vector<Case> cases = {
        {"text content replaces", exited(0, summaryOutput("## 新的\n- 一条")), "## 新的\n- 一条"},
        {"content kept exactly, spaces and all", exited(0, summaryOutput("  x \n")), "  x \n"},
        {"empty content clears", exited(0, summaryOutput("")), ""},
        {"content a number clears", exited(0, R"({"content": 42})"), ""},
        {"content null clears", exited(0, R"({"content": null})"), ""},
        {"no content member clears", exited(0, R"({"summary": "x"})"), ""},
        {"an array clears", exited(0, R"(["x"])"), ""},
        {"output that is not JSON keeps", exited(0, "Traceback (most recent call last)"),
         "previous"},
        {"no output keeps", exited(0, ""), "previous"},
        {"a bare JSON string keeps", exited(0, R"("x")"), "previous"},
        {"truncated JSON keeps", exited(0, R"({"content": "x)"), "previous"},
        {"invalid UTF-8 keeps", exited(0, "{\"content\": \"\xff\"}"), "previous"},
        {"exit status 1 keeps", exited(1, summaryOutput("x")), "previous"},
        {"killed by a signal keeps", killed, "previous"},
        {"timed out keeps", timedOut, "previous"},
        {"never started keeps", ProcessResult{}, "previous"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        readSummary(exited(0, summaryOutput("previous")));
        ASSERT_EQ(Probe::tansySummaryContent(*controller), "previous");

        readSummary(c.result);
        EXPECT_EQ(Probe::tansySummaryContent(*controller), c.expected);
        EXPECT_FALSE(Probe::isTansySummaryRefreshRunning(*controller));
    }
}

TEST_F(SummaryReaderTest, ASummaryBeforeThePageIsReadyIsOnlyStored) {
    controller->start();
    readSummary(exited(0, summaryOutput(diary("早到的总结。"))));
    EXPECT_EQ(Probe::tansySummaryContent(*controller), diary("早到的总结。"));
    EXPECT_THAT(platform.webView->scripts(), IsEmpty());

    platform.webView->finishLoad();
    EXPECT_THAT(pushedSources(), ElementsAre("Tansy工作 · 本地记忆"));
}

TEST_F(SummaryReaderTest, TheFirstSummaryIsPushedWithoutTheAbsorbEffect) {
    loadPage();
    readSummary(exited(0, summaryOutput(diary("修好了登录。"))));
    EXPECT_THAT(pushedSources(), ElementsAre("Tansy工作 · 本地记忆"));
    EXPECT_THAT(platform.webView->scriptsCalling("quilloAbsorb"), IsEmpty());
}

TEST_F(SummaryReaderTest, AnUpdatedSummaryIsPushedAgain) {
    loadPage();
    readSummary(exited(0, summaryOutput(diary("第一版。"))));
    platform.webView->clearScripts();
    readSummary(exited(0, summaryOutput(diary("第二版。"))));
    const auto pushes = platform.webView->argumentsOf("quilloSetDiary");
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_THAT(pushes[0].value("content", ""), ::testing::HasSubstr("第二版"));
}

TEST_F(SummaryReaderTest, ClearingTheSummaryRefreshesWithTheChangeRuleSoAnEmptyDiaryIsNotPushed) {
    // A refresh that notices changes finds nothing against a forgotten snapshot and pushes
    // nothing; a forced one would have pushed the empty diary.
    loadPage();
    readSummary(exited(0, summaryOutput(diary("有内容。"))));
    platform.webView->clearScripts();
    readSummary(exited(0, summaryOutput("")));
    EXPECT_EQ(Probe::tansySummaryContent(*controller), "");
    EXPECT_THAT(platform.webView->argumentsOf("quilloSetDiary"), IsEmpty());
    EXPECT_EQ(Probe::lastDiarySnapshot(*controller), "");
}

TEST_F(SummaryReaderTest, TheSameOutputTwiceChangesNothing) {
    loadPage();
    readSummary(exited(0, summaryOutput(diary("不变。"))));
    const auto snapshot = Probe::lastDiarySnapshot(*controller);
    platform.webView->clearScripts();

    readSummary(exited(0, summaryOutput(diary("不变。"))));
    EXPECT_THAT(platform.webView->scripts(), IsEmpty());
    EXPECT_EQ(Probe::lastDiarySnapshot(*controller), snapshot);
}

TEST_F(SummaryReaderTest, AFailedReadTouchesNeitherThePageNorTheDiary) {
    loadPage();
    readSummary(exited(0, summaryOutput(diary("保留。"))));
    const auto snapshot = Probe::lastDiarySnapshot(*controller);
    platform.webView->clearScripts();

    readSummary(exited(1, summaryOutput("")));
    EXPECT_THAT(platform.webView->scripts(), IsEmpty());
    EXPECT_EQ(Probe::lastDiarySnapshot(*controller), snapshot);
}

TEST_F(SummaryReaderTest, AHandBackAfterTheControllerHasGoneDoesNothing) {
    controller->refreshTansySummary();
    controller.reset();
    platform.processes.completeNext(exited(0, summaryOutput("x")));
    platform.loop.runPending();
    SUCCEED();
}

// --- Calendar

class CalendarTest : public AuxiliaryTest {
protected:
    fs::path home() const { return platform.env.home; }
};

TEST_F(CalendarTest, TheFirstExistingCandidateIsOpenedElseTheServiceSite) {
    struct Case {
        std::vector<const char*> present;
        std::string opened;  // relative to home, or a web address
    };
    const std::vector<Case> cases = {
        {{"Documents/Quillo/kiln/index.html", "Documents/Quillo/tansy-work/index.html",
          "Documents/Quillo/index.html"},
         "Documents/Quillo/kiln/index.html"},
        {{"Documents/Quillo/kiln/index.html", "Documents/Quillo/index.html"},
         "Documents/Quillo/kiln/index.html"},
        {{"Documents/Quillo/tansy-work/index.html"}, "Documents/Quillo/tansy-work/index.html"},
        {{"Documents/Quillo/tansy-work/index.html", "Documents/Quillo/index.html"},
         "Documents/Quillo/tansy-work/index.html"},
        {{"Documents/Quillo/index.html"}, "Documents/Quillo/index.html"},
        {{"Documents/Quillo/kiln/daily/index.html", "Documents/index.html"}, "https://quillo.app/"},
        {{}, "https://quillo.app/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.opened);
        fs::remove_all(home() / "Documents");
        for (const auto* page : c.present) writeFile(home() / page, "<html>");
        platform.workspaceOpener.opened.clear();

        controller->openCalendar();
        const auto expected =
            c.opened.starts_with("https:") ? c.opened : "file://" + (home() / c.opened).string();
        EXPECT_THAT(platform.workspaceOpener.opened, ElementsAre(expected));
    }
}

TEST_F(CalendarTest, ThePagesAreLookedUpAfreshOnEveryRequest) {
    controller->handle({{"type", "openCalendar"}});
    writeFile(home() / "Documents/Quillo/index.html", "<html>");
    controller->handle({{"type", "openCalendar"}});
    fs::remove(home() / "Documents/Quillo/index.html");
    controller->handle({{"type", "openCalendar"}});
    EXPECT_THAT(platform.workspaceOpener.opened,
                ElementsAre("https://quillo.app/",
                            "file://" + (home() / "Documents/Quillo/index.html").string(),
                            "https://quillo.app/"));
}

TEST_F(CalendarTest, ALinkToNothingDoesNotCountAsAPage) {
    fs::create_directories(home() / "Documents/Quillo/kiln");
    fs::create_symlink(home() / "gone.html", home() / "Documents/Quillo/kiln/index.html");
    writeFile(home() / "Documents/Quillo/index.html", "<html>");
    controller->openCalendar();
    EXPECT_THAT(platform.workspaceOpener.opened,
                ElementsAre("file://" + (home() / "Documents/Quillo/index.html").string()));
}

TEST_F(CalendarTest, UnsafeCharactersInTheHomeFolderArePercentEncoded) {
    platform.env.home = root.path() / "我的 主目录#1?%";
    writeFile(platform.env.home / "Documents/Quillo/index.html", "<html>");
    controller->openCalendar();
    const std::string encodedRoot = root.path().string();  // mkdtemp names are plain
    EXPECT_THAT(platform.workspaceOpener.opened,
                ElementsAre("file://" + encodedRoot +
                            "/%E6%88%91%E7%9A%84%20%E4%B8%BB%E7%9B%AE%E5%BD%95%231%3F%25"
                            "/Documents/Quillo/index.html"));
}

// --- Snapshot

class SnapshotTest : public AuxiliaryTest {
protected:
    void capture(const std::string& path, std::optional<std::string> expanded = std::nullopt) {
        platform.env.variables["QUILLO_CAPTURE_PATH"] = path;
        if (expanded) platform.env.variables["QUILLO_CAPTURE_EXPANDED"] = *expanded;
    }
    int snapshotsTaken() const {
        return static_cast<int>(
            std::count(platform.log.begin(), platform.log.end(), "takeSnapshot"));
    }
    static constexpr const char* png = "\x89PNG\r\n\x1a\n picture";
};

TEST_F(SnapshotTest, WithoutAPathNothingIsCaptured) {
    for (const std::optional<std::string>& path :
         {std::optional<std::string>(), std::optional<std::string>("")}) {
        SCOPED_TRACE(path ? "empty" : "unset");
        platform.env.variables.clear();
        if (path) platform.env.variables["QUILLO_CAPTURE_PATH"] = *path;
        auto own = CompanionController::create(platform);
        own->start();
        platform.webView->finishLoad();
        platform.loop.advance(10s);
        EXPECT_FALSE(Probe::captureStarted(*own));
        EXPECT_EQ(snapshotsTaken(), 0);
        EXPECT_EQ(platform.env.quits, 0);
    }
}

TEST_F(SnapshotTest, ThePictureIsTakenTwoSecondsAfterTheFirstLoadThenWrittenAndTheAppQuits) {
    const auto path = root.path() / "companion.png";
    capture(path.string());
    controller->start();
    platform.webView->finishLoad();
    EXPECT_TRUE(Probe::captureStarted(*controller));

    platform.loop.advance(1999ms);
    EXPECT_EQ(snapshotsTaken(), 0);
    platform.loop.advance(1ms);
    EXPECT_EQ(snapshotsTaken(), 1);
    EXPECT_EQ(platform.env.quits, 0);

    ::testing::internal::CaptureStderr();
    platform.webView->completeSnapshot(std::string(png));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(readFile(path), png);
    EXPECT_EQ(platform.env.quits, 1);
}

TEST_F(SnapshotTest, AnExistingFileIsReplacedWhole) {
    const auto path = root.path() / "companion.png";
    writeFile(path, std::string(4096, 'o'));
    capture(path.string());
    controller->start();
    platform.webView->finishLoad();
    platform.loop.advance(2s);
    platform.webView->completeSnapshot(std::string(png));
    EXPECT_EQ(readFile(path), png);
}

TEST_F(SnapshotTest, ARelativePathIsTakenFromTheWorkingFolder) {
    const auto previous = fs::current_path();
    fs::current_path(root.path());
    capture("shots/../companion.png");
    fs::create_directories(root.path() / "shots");
    controller->start();
    platform.webView->finishLoad();
    platform.loop.advance(2s);
    platform.webView->completeSnapshot(std::string(png));
    fs::current_path(previous);
    EXPECT_EQ(readFile(root.path() / "companion.png"), png);
}

TEST_F(SnapshotTest, ExpandedCaptureExpandsWindowAndPageFirstOnlyForExactlyOne) {
    const std::vector<std::pair<std::optional<std::string>, bool>> values = {
        {"1", true},    {"0", false}, {"true", false},      {" 1", false},
        {"1\n", false}, {"", false},  {std::nullopt, false}};
    for (const auto& [value, expands] : values) {
        SCOPED_TRACE(value.value_or("(unset)"));
        platform.env.variables.clear();
        capture((root.path() / "companion.png").string(), value);
        auto own = CompanionController::create(platform);
        own->start();
        platform.webView->finishLoad();

        const auto scripts = platform.webView->scripts();
        const bool pageExpanded = std::count(scripts.begin(), scripts.end(),
                                             "window.__quilloDebug?.setExpanded(true)") == 1;
        EXPECT_EQ(pageExpanded, expands);
        EXPECT_EQ(platform.panel->frame().size, expands ? CompanionController::Layout::expanded
                                                        : CompanionController::Layout::collapsed);
        EXPECT_EQ(snapshotsTaken(), 0) << "expansion comes before the picture";
        platform.log.clear();
    }
}

TEST_F(SnapshotTest, ReloadsNeverTakeASecondPicture) {
    capture((root.path() / "companion.png").string());
    controller->start();
    platform.webView->finishLoad();
    platform.loop.advance(1s);
    platform.webView->finishLoad();
    platform.loop.advance(5s);
    platform.webView->finishLoad();
    platform.loop.advance(5s);
    EXPECT_EQ(snapshotsTaken(), 1);
}

TEST_F(SnapshotTest, AFailedPictureSaysSoOnStandardErrorAndStillQuits) {
    const auto path = root.path() / "companion.png";
    capture(path.string());
    controller->start();
    platform.webView->finishLoad();
    platform.loop.advance(2s);

    ::testing::internal::CaptureStderr();
    platform.webView->completeSnapshot(std::nullopt);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Failed to capture companion snapshot\n");
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(platform.env.quits, 1);
}

TEST_F(SnapshotTest, AnUnwritablePathSaysSoOnStandardErrorAndStillQuits) {
    for (const auto& path : {root.path() / "missing/folder/companion.png", root.path()}) {
        SCOPED_TRACE(path.string());
        capture(path.string());
        auto own = CompanionController::create(platform);
        own->start();
        platform.webView->finishLoad();
        platform.loop.advance(2s);
        const int quitsBefore = platform.env.quits;

        ::testing::internal::CaptureStderr();
        platform.webView->completeSnapshot(std::string(png));
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Failed to write companion snapshot\n");
        EXPECT_EQ(platform.env.quits, quitsBefore + 1);
    }
}

TEST_F(SnapshotTest, AControllerGoneBeforeTheDelayTakesNoPictureAndDoesNotQuit) {
    capture((root.path() / "companion.png").string());
    controller->start();
    platform.webView->finishLoad();
    controller.reset();
    platform.loop.advance(5s);
    EXPECT_EQ(snapshotsTaken(), 0);
    EXPECT_EQ(platform.env.quits, 0);
}

}  // namespace

}  // namespace quillo
