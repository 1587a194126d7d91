#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>

#include "companion/CompanionController.h"
#include "companion/DiaryPayload.h"
#include "diary/TodayDiary.h"
#include "fakes/FakePlatform.h"
#include "support/ControllerProbe.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;
using namespace std::string_literals;
using nlohmann::json;
using Probe = CompanionControllerProbe;
namespace fs = std::filesystem;

constexpr std::size_t kiln = 0;
constexpr std::size_t tansy = 1;
const std::string bareDiary = "## 今天做了什么\n\n";
constexpr std::time_t sundayMorning = 1796520600;     // 2026-12-06 09:30:00 in UTC+8
constexpr std::time_t lastSecondOf2026 = 1798732799;  // 2026-12-31 23:59:59 in UTC+8

void writeFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

std::string workDiary(const std::string& sentence) { return "## 今天做了什么\n" + sentence + "\n"; }

class CompanionDiaryTest : public ::testing::Test {
protected:
    // The day key and the title follow the process's time zone.
    CompanionDiaryTest() {
        if (const char* zone = std::getenv("TZ")) previousZone = zone;
        ::setenv("TZ", "CST-8", 1);
        platform.env.home = dir.path() / "home";
        platform.env.bundle = dir.path() / "bundle";
        writeFile(platform.env.bundle / "index.html", "<!doctype html>");
        platform.env.start = std::chrono::system_clock::from_time_t(sundayMorning);
    }

    ~CompanionDiaryTest() override {
        previousZone ? ::setenv("TZ", previousZone->c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }

    void load() {
        controller = CompanionController::create(platform);
        controller->start();
        platform.webView->finishLoad();
        platform.loop.runPending();
    }

    fs::path diaryFile(std::size_t source, const std::string& dayKey = "2026-12-06") const {
        return TodayDiary::diaryFile(platform.env.home, TodayDiary::sources[source], dayKey);
    }
    fs::path dayFolder(std::size_t source, const std::string& dayKey = "2026-12-06") const {
        return diaryFile(source, dayKey).parent_path();
    }
    void write(std::size_t source, const std::string& text) { writeFile(diaryFile(source), text); }

    std::vector<json> pushes() const { return platform.webView->argumentsOf("quilloSetDiary"); }
    // The diary pushes and absorb calls in order, then "Upload" for each request sent.
    std::string effects() const {
        std::string calls;
        const auto add = [&](const std::string& name) {
            calls += (calls.empty() ? "" : " ") + name;
        };
        for (const auto& script : platform.webView->scripts())
            for (const std::string name : {"SetDiary", "Absorb"})
                if (script.starts_with("window.quillo" + name + "?.(")) add(name);
        for (std::size_t i = 0; i < platform.http.requests.size(); ++i) add("Upload");
        return calls;
    }

    std::optional<std::string> previousZone;
    testing::TempDir dir;
    testing::FakePlatform platform;
    std::shared_ptr<CompanionController> controller;
};

// --- Page load, the diary timer and the watches

TEST_F(CompanionDiaryTest, NothingHappensBeforeTheLoadAndEveryLoadPushesWithoutAbsorb) {
    fs::create_directories(platform.env.home);
    controller = CompanionController::create(platform);
    controller->start();
    platform.loop.advance(10s);
    controller->refreshDiary(false);
    EXPECT_THAT(pushes(), IsEmpty());
    EXPECT_THAT(platform.watcher.watchedFolders(), IsEmpty());
    platform.webView->finishLoad();
    EXPECT_THAT(platform.webView->scriptsCalling("quilloSetDiary"),
                ElementsAre("window.quilloSetDiary?.({\"content\":\"## 今天做了什么\\n\\n\","
                            "\"source\":\"本地记忆\",\"title\":\"2026年12月6日星期日\"})"));
    platform.loop.advance(10s);
    EXPECT_TRUE(fs::is_empty(platform.env.home)) << "nothing is created under home";

    // A reload stores the snapshot with its aggregate and pushes, even unchanged.
    write(kiln, workDiary("甲。"));
    write(tansy, workDiary("乙。"));
    platform.webView->clearScripts();
    platform.webView->finishLoad();
    platform.webView->finishLoad();
    EXPECT_EQ(effects(), "SetDiary SetDiary") << "never absorbed";
    EXPECT_EQ(Probe::lastDiarySnapshot(*controller),
              "KILN\0"s + workDiary("甲。") + "\x01Tansy工作\0"s + workDiary("乙。"));
    EXPECT_EQ(Probe::lastDiaryAggregate(*controller).sourceLabel, "KILN + Tansy工作 · 本地记忆");
    EXPECT_EQ(Probe::lastDiaryAggregate(*controller).content, pushes().back()["content"]);
}

// Name, connected, the KILN file at load, the file written later (empty: none), whether a folder
// watch reports it (else the timer finds it), and the page calls that follow.
using ChangeCase = std::tuple<const char*, bool, std::string, std::string, bool, const char*>;
const std::string one = workDiary("一。"), two = workDiary("二。");
const std::vector<ChangeCase> changeCases = {
    {"NothingWritten", true, "", "", false, ""},
    {"Unchanged", true, one, "", false, ""},
    {"FirstEntry", true, "", one, false, "SetDiary Upload"},
    {"FirstEntryWithNothingToSync", true, "", "  \n\n", false, "SetDiary"},
    {"Changed", false, one, two, false, "SetDiary Absorb"},
    {"ChangedWhileConnected", true, one, two, false, "SetDiary Absorb Upload"},
    {"ChangeWatchedWhileConnected", true, one, two, true, "SetDiary Absorb Upload"},
};

class DiaryChangeTest : public CompanionDiaryTest,
                        public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(DiaryChangeTest, AbsorbFollowsAChangeAfterANonEmptyReadingAndAnUploadEveryChange) {
    const auto& [name, connected, atLoad, later, watched, calls] = GetParam();
    if (!atLoad.empty()) write(kiln, atLoad);
    load();
    // Connected only now, so that no upload is due after the load.
    if (connected) platform.secrets.items[{"app.quillo.companion", "agent-token"}] = "qk_x";
    platform.webView->clearScripts();
    if (!later.empty()) write(kiln, later);
    if (watched) platform.watcher.notify(dayFolder(kiln));
    platform.loop.advance(watched ? 100ms : 1500ms);
    EXPECT_EQ(effects(), calls);
}

INSTANTIATE_TEST_SUITE_P(Table, DiaryChangeTest, ::testing::ValuesIn(changeCases),
                         [](const auto& info) { return std::string(std::get<0>(info.param)); });

TEST_F(CompanionDiaryTest, AtMidnightTheNextTickReadsAndWatchesTheNewYearsFoldersAndAbsorbs) {
    platform.env.start = std::chrono::system_clock::from_time_t(lastSecondOf2026);
    writeFile(diaryFile(kiln, "2026-12-31"), workDiary("年末。"));
    load();
    EXPECT_EQ(pushes().back()["title"], "2026年12月31日星期四");

    writeFile(diaryFile(kiln, "2027-01-01"), workDiary("新年第一件事。"));
    platform.webView->clearScripts();
    platform.loop.advance(1500ms);
    EXPECT_EQ(effects(), "SetDiary Absorb");
    EXPECT_EQ(pushes().at(0), (json{{"title", "2027年1月1日星期五"},
                                    {"source", "KILN · 本地记忆"},
                                    {"content", bareDiary + "- 新年第一件事。"}}));
    EXPECT_THAT(platform.watcher.watchedFolders(),
                ElementsAre(dayFolder(kiln, "2027-01-01"), dayFolder(tansy, "2027-01-01")));
}

TEST_F(CompanionDiaryTest, ABurstOfWatchReportsGivesOneRefreshATenthOfASecondAfterTheFirst) {
    load();
    platform.webView->clearScripts();
    write(kiln, workDiary("第二版。"));
    platform.watcher.notify(dayFolder(kiln));
    platform.loop.advance(50ms);
    write(kiln, workDiary("第三版。"));
    platform.watcher.notify(dayFolder(kiln));
    platform.watcher.notify(dayFolder(tansy));
    platform.loop.advance(49ms);
    EXPECT_THAT(pushes(), IsEmpty());
    platform.loop.advance(1ms);
    ASSERT_EQ(pushes().size(), 1u);
    EXPECT_EQ(pushes()[0]["content"], bareDiary + "- 第三版。");

    write(kiln, workDiary("第四版。"));
    platform.watcher.notify(dayFolder(kiln));
    platform.loop.advance(100ms);
    EXPECT_EQ(pushes().back()["content"], bareDiary + "- 第四版。") << "the next burst";

    platform.watcher.notify(dayFolder(kiln));
    std::weak_ptr<CompanionController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired()) << "a pending refresh does not hold the controller";
    EXPECT_THAT(platform.watcher.watchedFolders(), IsEmpty());
    EXPECT_EQ(platform.loop.pendingSources(), 0u);
}

// --- Sources, files and the summary

TEST_F(CompanionDiaryTest, EntriesFollowTheSourceTableWithTheSummaryFirstInPlaceOfTansy) {
    const DiaryEntry kilnEntry{"KILN", "kiln file"};
    const DiaryEntry summaryEntry{"Tansy工作", "summary"};
    // KILN file, Tansy file, summary, and the entries.
    const std::vector<std::tuple<bool, bool, std::string, std::vector<DiaryEntry>>> cases = {
        {true, false, "", {kilnEntry}},
        {false, true, "", {{"Tansy工作", "tansy file"}}},
        {true, true, "", {kilnEntry, {"Tansy工作", "tansy file"}}},
        {false, true, "summary", {summaryEntry}},
        {true, false, "summary", {summaryEntry, kilnEntry}},
        {true, true, "summary", {summaryEntry, kilnEntry}},
        {false, false, "\xEF\xBB\xBFsummary", {summaryEntry}},
    };
    for (const auto& [kilnFile, tansyFile, summary, expected] : cases) {
        SCOPED_TRACE(::testing::PrintToString(expected));
        fs::remove_all(platform.env.home / "Documents");
        if (kilnFile) write(kiln, "kiln file");
        if (tansyFile) write(tansy, "tansy file");
        EXPECT_EQ(TodayDiary::entries(platform.env.home, "2026-12-06", summary), expected);
    }
}

TEST_F(CompanionDiaryTest, AFileThatCannotBeReadAsTextContributesNothingAndTheOtherSourceStays) {
    std::string large;
    while (large.size() < 3 * 1024 * 1024) large += "今天也写了很多字。\n";
    // What lies where today's KILN file belongs (bytes, or <a kind of thing>), and its entry.
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"", std::nullopt},
        {"日记\xff", std::nullopt},
        {"a\xc0\xaf", std::nullopt},     // overlong encoding
        {"\xed\xa0\x80", std::nullopt},  // encoded surrogate
        {"<folder>", std::nullopt},
        // Regression: opening a pipe for reading waited for a writer and froze the companion.
        {"<named pipe>", std::nullopt},
        {"<dangling link>", std::nullopt},
        {"<unreadable>", std::nullopt},
        {"\n", "\n"},
        // Editors on other systems start the file with a byte-order mark: one is dropped.
        {"\xEF\xBB\xBF## 今天\n", "## 今天\n"},
        {"\xEF\xBB\xBF\xEF\xBB\xBF", "\xEF\xBB\xBF"},
        {"\xEF\xBB\xBF", std::nullopt},
        {"a\0b\xef\xbf\xbf"s, "a\0b\xef\xbf\xbf"s},  // NUL and a noncharacter are text
        {"🙂𠀀", "🙂𠀀"},
        {large, large},
        {"<link to a file>", "via link"},
    };
    write(tansy, "tansy file");
    const auto file = diaryFile(kiln);
    const auto folder = file.parent_path();
    for (const auto& [what, kilnText] : cases) {
        if (what == "<unreadable>" && ::geteuid() == 0) continue;  // root reads any file
        SCOPED_TRACE(::testing::PrintToString(what.substr(0, 20)));
        fs::remove_all(folder);
        fs::create_directories(folder);
        if (what == "<folder>") fs::create_directories(file);
        ASSERT_TRUE(what != "<named pipe>" || ::mkfifo(file.c_str(), 0644) == 0);
        if (what == "<dangling link>") fs::create_symlink(folder / "gone.md", file);
        if (what == "<unreadable>") writeFile(file, "secret");
        if (what == "<unreadable>") fs::permissions(file, fs::perms::none);
        if (what == "<link to a file>") writeFile(folder / "real.md", "via link");
        if (what == "<link to a file>") fs::create_symlink(folder / "real.md", file);
        if (!what.starts_with("<")) writeFile(file, what);
        std::vector<DiaryEntry> expected{{"Tansy工作", "tansy file"}};
        if (kilnText) expected.insert(expected.begin(), {"KILN", *kilnText});
        EXPECT_EQ(TodayDiary::entries(platform.env.home, "2026-12-06", ""), expected);
    }
}

// --- Dates and the payload

TEST_F(CompanionDiaryTest, DayKeyAndTitleAreTheLocalDate) {
    const std::vector<std::tuple<const char*, std::time_t, const char*, const char*>> cases = {
        // 2026-12-05 16:00:00 UTC is midnight in UTC+8.
        {"CST-8", 1796486400, "2026-12-06", "2026年12月6日星期日"},
        {"CST-8", 1796486399, "2026-12-05", "2026年12月5日星期六"},
        {"UTC0", 1767571200, "2026-01-05", "2026年1月5日星期一"},
        {"UTC0", 1835395200, "2028-02-29", "2028年2月29日星期二"},
        {"UTC0", 1797379200, "2026-12-16", "2026年12月16日星期三"},
        {"PST8", 1798790399, "2026-12-31", "2026年12月31日星期四"},
    };
    for (const auto& [zoneName, instant, dayKey, title] : cases) {
        SCOPED_TRACE(dayKey);
        ::setenv("TZ", zoneName, 1);
        const auto now = std::chrono::system_clock::from_time_t(instant);
        EXPECT_EQ(TodayDiary::dayKey(now), dayKey);
        EXPECT_EQ(TodayDiary::displayDate(now), title);
    }
}

// The JSON library throws on text that is not UTF-8; a refresh must not end that way.
TEST(DiaryPayload, TextThatIsNotUTF8GivesNothingInsteadOfThrowing) {
    EXPECT_EQ(DiaryPayload::json("title\xff", {"content", "label"}), std::nullopt);
    EXPECT_EQ(DiaryPayload::json("title", {"content\xc3", "label"}), std::nullopt);
    EXPECT_EQ(DiaryPayload::json("title", {"content", "\xed\xa0\x80"}), std::nullopt);
}

}  // namespace

}  // namespace quillo
