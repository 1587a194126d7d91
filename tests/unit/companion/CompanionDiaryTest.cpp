#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>

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

// The process's time zone for one test; the day key and the title follow it.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) previous_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (previous_)
            ::setenv("TZ", previous_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> previous_;
};

// A wall-clock time in the current time zone.
std::chrono::system_clock::time_point localTime(int year, int month, int day, int hour = 0,
                                                int minute = 0, int second = 0) {
    std::tm calendar{};
    calendar.tm_year = year - 1900;
    calendar.tm_mon = month - 1;
    calendar.tm_mday = day;
    calendar.tm_hour = hour;
    calendar.tm_min = minute;
    calendar.tm_sec = second;
    calendar.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&calendar));
}

void writeFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

std::string workDiary(const std::string& sentence) { return "## 今天做了什么\n" + sentence + "\n"; }

class CompanionDiaryTest : public ::testing::Test {
protected:
    CompanionDiaryTest() {
        platform.env.home = dir.path() / "home";
        platform.env.bundle = dir.path() / "bundle";
        writeFile(platform.env.bundle / "index.html", "<!doctype html>");
        platform.env.start = localTime(2026, 12, 6, 9, 30);
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
        return TodayDiary::dayFolder(platform.env.home, TodayDiary::sources[source], dayKey);
    }
    void write(std::size_t source, const std::string& text,
               const std::string& dayKey = "2026-12-06") {
        writeFile(diaryFile(source, dayKey), text);
    }

    std::vector<json> pushes() const { return platform.webView->argumentsOf("quilloSetDiary"); }
    std::size_t absorbs() const { return platform.webView->scriptsCalling("quilloAbsorb").size(); }
    // The diary, absorb and sync-state calls in order, by page function and status.
    std::vector<std::string> pageCalls() const {
        std::vector<std::string> calls;
        for (const auto& script : platform.webView->scripts()) {
            if (script.starts_with("window.quilloSetDiary?.(")) calls.push_back("setDiary");
            if (script == "window.quilloAbsorb?.()") calls.push_back("absorb");
            if (script.starts_with("window.quilloSetSyncState?.(")) {
                const auto argument = json::parse(script.substr(28, script.size() - 29));
                calls.push_back("syncState " + argument.value("status", ""));
            }
        }
        return calls;
    }

    void connect() {
        platform.secrets.items[{"app.quillo.companion", "agent-token"}] =
            "qk_" + std::string(40, 'x');
    }

    // Lets the summary reader run against a stand-in interpreter; the test answers for it.
    void installSummaryReader() {
        writeFile(platform.env.bundle / "TansyReader" / "read_today_summary.py", "");
        const auto python =
            platform.env.dataHome() / "TansyWork/sandbox_runtime/bases/runtime/bin/python3";
        writeFile(python, "");
        fs::permissions(python, fs::perms::owner_all);
    }
    void summarise(const std::string& summary) {
        if (platform.processes.inFlight() == 0) controller->refreshTansySummary();
        ASSERT_EQ(platform.processes.inFlight(), 1u);
        platform.processes.completeNext({true, false, 0, json{{"content", summary}}.dump()});
        platform.loop.runPending();
    }

    ScopedTimeZone zone{"CST-8"};
    testing::TempDir dir;
    testing::FakePlatform platform;
    std::shared_ptr<CompanionController> controller;
};

// --- Page load and the diary timer

TEST_F(CompanionDiaryTest, PageLoadPushesTheBareDiaryWhenNothingWasWritten) {
    load();
    EXPECT_THAT(platform.webView->scriptsCalling("quilloSetDiary"),
                ElementsAre("window.quilloSetDiary?.({\"content\":\"## 今天做了什么\\n\\n\","
                            "\"source\":\"本地记忆\",\"title\":\"2026年12月6日星期日\"})"));
    EXPECT_EQ(absorbs(), 0u);
}

TEST_F(CompanionDiaryTest, TimerRefreshesDoNothingUntilAFileIsWritten) {
    load();
    platform.webView->clearScripts();
    platform.loop.advance(4500ms);
    EXPECT_THAT(pushes(), IsEmpty());

    write(kiln, workDiary("写好了第一条。"));
    platform.loop.advance(1500ms);
    EXPECT_THAT(pushes(), ElementsAre(json{{"title", "2026年12月6日星期日"},
                                           {"source", "KILN · 本地记忆"},
                                           {"content", bareDiary + "- 写好了第一条。"}}));
}

TEST_F(CompanionDiaryTest, TheFirstEntryAfterAnEmptyReadingIsPushedWithoutAbsorbOrUpload) {
    connect();
    load();
    platform.webView->clearScripts();
    write(kiln, workDiary("第一条。"));
    platform.loop.advance(1500ms);
    EXPECT_THAT(pageCalls(), ElementsAre("setDiary"));
    EXPECT_THAT(platform.http.requests, IsEmpty());
}

TEST_F(CompanionDiaryTest, AChangeAfterANonEmptyReadingPushesThenAbsorbs) {
    write(kiln, workDiary("第一版。"));
    load();
    platform.webView->clearScripts();
    write(kiln, workDiary("第二版。"));
    platform.loop.advance(1500ms);
    EXPECT_THAT(pageCalls(), ElementsAre("setDiary", "absorb"));
    EXPECT_EQ(pushes().at(0)["content"], bareDiary + "- 第二版。");
    EXPECT_THAT(platform.http.requests, IsEmpty()) << "no token, no upload";
}

TEST_F(CompanionDiaryTest, AChangeWhileConnectedAlsoStartsAnUpload) {
    connect();
    write(kiln, workDiary("第一版。"));
    load();
    platform.webView->clearScripts();
    write(kiln, workDiary("第二版。"));
    platform.loop.advance(1500ms);
    EXPECT_THAT(pageCalls(), ElementsAre("setDiary", "absorb", "syncState syncing"));
    EXPECT_EQ(platform.http.requests.size(), 1u);
}

TEST_F(CompanionDiaryTest, AnUnchangedDiaryIsNotPushedAgainByTheTimer) {
    write(kiln, workDiary("不变。"));
    load();
    platform.webView->clearScripts();
    platform.loop.advance(15s);
    EXPECT_THAT(pushes(), IsEmpty());
}

TEST_F(CompanionDiaryTest, AFileOfOnlyBlankLinesChangesTheSnapshotThoughTheMergeDropsIt) {
    load();
    platform.webView->clearScripts();
    write(kiln, "  \n\n");
    platform.loop.advance(1500ms);
    EXPECT_THAT(pushes(), ElementsAre(json{{"title", "2026年12月6日星期日"},
                                           {"source", "本地记忆"},
                                           {"content", bareDiary}}));
    EXPECT_EQ(Probe::lastDiarySnapshot(*controller), "KILN\0  \n\n"s);
}

TEST_F(CompanionDiaryTest, AReloadPushesAgainEvenUnchangedButNeverAbsorbs) {
    write(kiln, workDiary("第一版。"));
    load();
    write(kiln, workDiary("第二版。"));
    platform.webView->clearScripts();
    platform.webView->finishLoad();
    platform.webView->finishLoad();
    EXPECT_EQ(pushes().size(), 2u);
    EXPECT_EQ(pushes().at(1)["content"], bareDiary + "- 第二版。");
    EXPECT_EQ(absorbs(), 0u);
}

TEST_F(CompanionDiaryTest, ANotifiedRefreshWithNothingAfterAnEmptySnapshotPushesNothing) {
    load();
    platform.webView->clearScripts();
    controller->refreshDiary(true);
    EXPECT_THAT(pushes(), IsEmpty());
}

TEST_F(CompanionDiaryTest, TheSnapshotAndAggregateChangeTogether) {
    write(kiln, workDiary("甲。"));
    write(tansy, workDiary("乙。"));
    load();
    EXPECT_EQ(Probe::lastDiarySnapshot(*controller),
              "KILN\0"s + workDiary("甲。") + "\x01Tansy工作\0"s + workDiary("乙。"));
    EXPECT_EQ(Probe::lastDiaryAggregate(*controller).sourceLabel, "KILN + Tansy工作 · 本地记忆");
    EXPECT_EQ(Probe::lastDiaryAggregate(*controller).content, pushes().back()["content"]);
}

TEST_F(CompanionDiaryTest, BeforeThePageIsReadyNothingIsReadPushedOrWatched) {
    write(kiln, workDiary("早到的。"));
    controller = CompanionController::create(platform);
    controller->start();
    platform.loop.advance(10s);
    controller->refreshDiary(false);
    EXPECT_THAT(pushes(), IsEmpty());
    EXPECT_EQ(Probe::lastDiarySnapshot(*controller), "");
    EXPECT_THAT(platform.watcher.watchedFolders(), IsEmpty());
}

TEST_F(CompanionDiaryTest, NothingIsCreatedUnderTheHomeFolder) {
    fs::create_directories(platform.env.home);
    load();
    platform.loop.advance(10s);
    EXPECT_TRUE(fs::is_empty(platform.env.home));
}

// --- Sources and the summary

struct SourcesCase {
    std::string name;
    bool kilnFile;
    bool tansyFile;
    std::string summary;
    std::vector<DiaryEntry> expected;
};

void PrintTo(const SourcesCase& row, std::ostream* out) { *out << row.name; }

class DiarySourcesTest : public CompanionDiaryTest,
                         public ::testing::WithParamInterface<SourcesCase> {};

TEST_P(DiarySourcesTest, EntriesFollowTheSourceTableWithTheSummaryFirstInPlaceOfTansy) {
    const auto& row = GetParam();
    if (row.kilnFile) write(kiln, "kiln file");
    if (row.tansyFile) write(tansy, "tansy file");
    installSummaryReader();
    load();
    if (!row.summary.empty()) summarise(row.summary);
    EXPECT_EQ(controller->diaryEntries(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DiarySourcesTest,
    ::testing::Values(
        SourcesCase{"NoFilesNoSummary", false, false, "", {}},
        SourcesCase{"KilnOnly", true, false, "", {{"KILN", "kiln file"}}},
        SourcesCase{"TansyOnly", false, true, "", {{"Tansy工作", "tansy file"}}},
        SourcesCase{"BothInTableOrder",
                    true,
                    true,
                    "",
                    {{"KILN", "kiln file"}, {"Tansy工作", "tansy file"}}},
        SourcesCase{"SummaryAlone", false, false, "summary", {{"Tansy工作", "summary"}}},
        SourcesCase{
            "SummaryReplacesTheTansyFile", false, true, "summary", {{"Tansy工作", "summary"}}},
        SourcesCase{"SummaryComesBeforeKiln",
                    true,
                    false,
                    "summary",
                    {{"Tansy工作", "summary"}, {"KILN", "kiln file"}}},
        SourcesCase{"SummaryWithBothFiles",
                    true,
                    true,
                    "summary",
                    {{"Tansy工作", "summary"}, {"KILN", "kiln file"}}}),
    [](const auto& info) { return info.param.name; });

TEST_F(CompanionDiaryTest, ASummaryIsShownWithoutAbsorbWhenItArrivesAndWhenItChanges) {
    write(kiln, workDiary("烧窑。"));
    write(tansy, workDiary("文件里的话。"));
    installSummaryReader();
    load();
    platform.webView->clearScripts();

    summarise(workDiary("总结。"));
    summarise(workDiary("新的总结。"));
    EXPECT_THAT(pageCalls(), ElementsAre("setDiary", "setDiary"));
    EXPECT_EQ(pushes().at(1)["source"], "Tansy工作 + KILN · 本地记忆");
    EXPECT_EQ(pushes().at(1)["content"],
              bareDiary + "### Tansy工作\n- 新的总结。\n\n### KILN\n- 烧窑。");
}

// --- Files that contribute nothing

struct FileCase {
    std::string name;
    std::function<void(const fs::path& file)> make;
    std::optional<std::string> expected;  // the KILN entry's text, or nothing for no entry
};

void PrintTo(const FileCase& row, std::ostream* out) { *out << row.name; }

class DiaryFileTest : public CompanionDiaryTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(DiaryFileTest, AFileThatCannotBeReadAsTextContributesNothingAndTheOtherSourceStays) {
    const auto& row = GetParam();
    fs::create_directories(diaryFile(kiln).parent_path());
    row.make(diaryFile(kiln));
    if (row.name == "UnreadableByPermission" && ::geteuid() == 0)
        GTEST_SKIP() << "root reads any file whatever its permissions";
    write(tansy, "tansy file");

    load();
    std::vector<DiaryEntry> expected;
    if (row.expected) expected.push_back({"KILN", *row.expected});
    expected.push_back({"Tansy工作", "tansy file"});
    EXPECT_EQ(controller->diaryEntries(), expected);
}

void writeBytes(const fs::path& file, const std::string& bytes) { writeFile(file, bytes); }

INSTANTIATE_TEST_SUITE_P(
    Table, DiaryFileTest,
    ::testing::Values(
        FileCase{"Missing", [](const fs::path&) {}, std::nullopt},
        FileCase{"Empty", [](const fs::path& f) { writeBytes(f, ""); }, std::nullopt},
        FileCase{"InvalidByte", [](const fs::path& f) { writeBytes(f, "日记\xff"); }, std::nullopt},
        FileCase{"OverlongEncoding", [](const fs::path& f) { writeBytes(f, "a\xc0\xaf"); },
                 std::nullopt},
        FileCase{"EncodedSurrogate", [](const fs::path& f) { writeBytes(f, "\xed\xa0\x80"); },
                 std::nullopt},
        FileCase{"TruncatedSequence", [](const fs::path& f) { writeBytes(f, "写\xe4\xbb"); },
                 std::nullopt},
        FileCase{"Latin1", [](const fs::path& f) { writeBytes(f, "caf\xe9"); }, std::nullopt},
        FileCase{"FolderInPlaceOfTheFile", [](const fs::path& f) { fs::create_directories(f); },
                 std::nullopt},
        // Opening a pipe for reading would wait for a writer and freeze the companion.
        FileCase{"NamedPipeInPlaceOfTheFile",
                 [](const fs::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0644), 0); }, std::nullopt},
        FileCase{"DanglingLink",
                 [](const fs::path& f) { fs::create_symlink(f.parent_path() / "gone.md", f); },
                 std::nullopt},
        FileCase{"UnreadableByPermission",
                 [](const fs::path& f) {
                     writeBytes(f, "secret");
                     fs::permissions(f, fs::perms::none);
                 },
                 std::nullopt},
        FileCase{"OnlyALineFeed", [](const fs::path& f) { writeBytes(f, "\n"); }, "\n"},
        FileCase{"NulAndNoncharactersAreText",
                 [](const fs::path& f) { writeBytes(f, "a\0b\xef\xbf\xbf"s); },
                 "a\0b\xef\xbf\xbf"s},
        FileCase{"FourByteCharacters", [](const fs::path& f) { writeBytes(f, "🙂𠀀"); },
                 "🙂𠀀"},
        FileCase{"LinkToAFile",
                 [](const fs::path& f) {
                     writeBytes(f.parent_path() / "real.md", "via link");
                     fs::create_symlink(f.parent_path() / "real.md", f);
                 },
                 "via link"}),
    [](const auto& info) { return info.param.name; });

TEST_F(CompanionDiaryTest, ALargeFileIsReadWhole) {
    std::string text;
    while (text.size() < 3 * 1024 * 1024) text += "今天也写了很多字。\n";
    write(kiln, text);
    EXPECT_EQ(TodayDiary::readDiaryText(diaryFile(kiln)), text);
}

// --- Dates

struct DateCase {
    std::string name;
    const char* zone;
    std::time_t instant;  // UTC seconds
    std::string dayKey;
    std::string title;
};

void PrintTo(const DateCase& row, std::ostream* out) { *out << row.name; }

class DiaryDateTest : public ::testing::TestWithParam<DateCase> {};

TEST_P(DiaryDateTest, DayKeyAndTitleAreTheLocalDate) {
    const auto& row = GetParam();
    ScopedTimeZone zone(row.zone);
    const auto now = std::chrono::system_clock::from_time_t(row.instant);
    EXPECT_EQ(TodayDiary::dayKey(now), row.dayKey);
    EXPECT_EQ(TodayDiary::displayDate(now), row.title);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DiaryDateTest,
    ::testing::Values(
        // 2026-12-05 16:00:00 UTC is midnight in UTC+8.
        DateCase{"LocalMidnightStartsTheDay", "CST-8", 1796486400, "2026-12-06",
                 "2026年12月6日星期日"},
        DateCase{"OneSecondBeforeLocalMidnight", "CST-8", 1796486399, "2026-12-05",
                 "2026年12月5日星期六"},
        DateCase{"SameInstantInUTC", "UTC0", 1796486400, "2026-12-05", "2026年12月5日星期六"},
        DateCase{"SingleDigitMonthAndDay", "UTC0", 1767571200, "2026-01-05", "2026年1月5日星期一"},
        DateCase{"LeapDay", "UTC0", 1835395200, "2028-02-29", "2028年2月29日星期二"},
        // 03:30 local on the morning clocks went forward.
        DateCase{"DaylightSavingMorning", "EST5EDT,M3.2.0,M11.1.0", 1805009400, "2027-03-14",
                 "2027年3月14日星期日"},
        DateCase{"NewYearsEveLateInTheWest", "PST8", 1798790399, "2026-12-31",
                 "2026年12月31日星期四"},
        DateCase{"TwoDigitDayInAOneDigitWeek", "UTC0", 1796860800, "2026-12-10",
                 "2026年12月10日星期四"}),
    [](const auto& info) { return info.param.name; });

TEST(DiaryWeekdays, SevenConsecutiveDaysNameEveryWeekdayOnce) {
    ScopedTimeZone zone("UTC0");
    const std::vector<std::string> expected{"星期日", "星期一", "星期二", "星期三",
                                            "星期四", "星期五", "星期六"};
    for (int day = 0; day < 7; ++day) {
        // 2026-12-06 (a Sunday) 12:00 UTC plus whole days.
        const auto now = std::chrono::system_clock::from_time_t(1796558400 + day * 86400);
        const auto title = TodayDiary::displayDate(now);
        EXPECT_EQ(title, "2026年12月" + std::to_string(6 + day) + "日" + expected[day]);
    }
}

TEST_F(CompanionDiaryTest, AtMidnightTheNextTickReadsTheNewDayAndAbsorbs) {
    platform.env.start = localTime(2026, 12, 31, 23, 59, 59);
    write(kiln, workDiary("年末。"), "2026-12-31");
    load();
    EXPECT_EQ(pushes().back()["title"], "2026年12月31日星期四");
    platform.webView->clearScripts();

    platform.loop.advance(1500ms);
    EXPECT_EQ(controller->localDateString(), "2027-01-01");
    EXPECT_THAT(pushes(), ElementsAre(json{{"title", "2027年1月1日星期五"},
                                           {"source", "本地记忆"},
                                           {"content", bareDiary}}));
    EXPECT_EQ(absorbs(), 1u);
}

TEST_F(CompanionDiaryTest, AfterMidnightTheNewDaysFileInTheNewYearFolderIsRead) {
    platform.env.start = localTime(2026, 12, 31, 23, 59, 59);
    write(kiln, workDiary("新年第一件事。"), "2027-01-01");
    load();
    EXPECT_EQ(pushes().back()["content"], bareDiary);
    platform.loop.advance(1500ms);
    EXPECT_EQ(pushes().back()["content"], bareDiary + "- 新年第一件事。");
}

// --- The payload

TEST(DiaryPayload, IsCompactJsonWithNonAsciiLeftAsItIs) {
    EXPECT_EQ(
        DiaryPayload::json("2026年12月6日星期日",
                           {"## 今天做了什么\n\n- \"引号\"。", "KILN · 本地记忆"}),
        "{\"content\":\"## 今天做了什么\\n\\n- \\\"引号\\\"。\",\"source\":\"KILN · 本地记忆\","
        "\"title\":\"2026年12月6日星期日\"}");
}

TEST(DiaryPayload, TextThatIsNotUTF8GivesNothingInsteadOfThrowing) {
    EXPECT_EQ(DiaryPayload::json("title\xff", {"content", "label"}), std::nullopt);
    EXPECT_EQ(DiaryPayload::json("title", {"content\xc3", "label"}), std::nullopt);
    EXPECT_EQ(DiaryPayload::json("title", {"content", "\xed\xa0\x80"}), std::nullopt);
}

// --- Watching the day folders

TEST_F(CompanionDiaryTest, AfterLoadBothSourcesDayFoldersAreWatched) {
    load();
    EXPECT_THAT(platform.watcher.watchedFolders(), ElementsAre(dayFolder(kiln), dayFolder(tansy)));
}

TEST_F(CompanionDiaryTest, AChangeReachesThePageATenthOfASecondAfterTheNotification) {
    load();
    platform.webView->clearScripts();
    write(kiln, workDiary("立刻。"));
    platform.watcher.notify(dayFolder(kiln));
    platform.loop.advance(99ms);
    EXPECT_THAT(pushes(), IsEmpty());
    platform.loop.advance(1ms);
    EXPECT_EQ(pushes().size(), 1u);
}

TEST_F(CompanionDiaryTest, ABurstOfChangesGivesOneRefreshThatLaterOnesDoNotPostpone) {
    write(kiln, workDiary("第一版。"));
    load();
    platform.webView->clearScripts();
    write(kiln, workDiary("第二版。"));
    platform.watcher.notify(dayFolder(kiln));
    platform.loop.advance(50ms);
    write(kiln, workDiary("第三版。"));
    platform.watcher.notify(dayFolder(kiln));
    platform.watcher.notify(dayFolder(tansy));
    platform.loop.advance(50ms);
    EXPECT_THAT(pageCalls(), ElementsAre("setDiary", "absorb"));
    EXPECT_EQ(pushes().at(0)["content"], bareDiary + "- 第三版。");

    platform.webView->clearScripts();
    write(kiln, workDiary("第四版。"));
    platform.loop.advance(1300ms);
    EXPECT_THAT(pushes(), IsEmpty()) << "the burst is over; the next change waits for the tick";
    platform.loop.advance(100ms);
    EXPECT_EQ(pushes().size(), 1u);
}

TEST_F(CompanionDiaryTest, ANotifiedChangeWhileConnectedUploadsLikeATimerChange) {
    connect();
    write(kiln, workDiary("第一版。"));
    load();
    platform.webView->clearScripts();
    write(kiln, workDiary("第二版。"));
    platform.watcher.notify(dayFolder(kiln));
    platform.loop.advance(100ms);
    EXPECT_THAT(pageCalls(), ElementsAre("setDiary", "absorb", "syncState syncing"));
}

TEST_F(CompanionDiaryTest, AtMidnightTheWatchesMoveToTheNewYearsFolders) {
    platform.env.start = localTime(2026, 12, 31, 23, 59, 59);
    load();
    EXPECT_THAT(platform.watcher.watchedFolders(),
                ElementsAre(dayFolder(kiln, "2026-12-31"), dayFolder(tansy, "2026-12-31")));
    platform.loop.advance(1500ms);
    EXPECT_THAT(platform.watcher.watchedFolders(),
                ElementsAre(dayFolder(kiln, "2027-01-01"), dayFolder(tansy, "2027-01-01")));
}

TEST_F(CompanionDiaryTest, APendingRefreshAndTheWatchesGoWithTheController) {
    load();
    platform.watcher.notify(dayFolder(kiln));
    std::weak_ptr<CompanionController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_THAT(platform.watcher.watchedFolders(), IsEmpty());
    EXPECT_EQ(platform.loop.pendingSources(), 0u);
}

}  // namespace

}  // namespace quillo
