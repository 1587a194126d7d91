#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>

#include "companion/DiaryPayload.h"
#include "support/CompanionFixture.h"
#include "support/ControllerProbe.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;
using namespace std::string_literals;
using nlohmann::json;
using testing::writeFile;
using Probe = CompanionControllerProbe;
namespace fs = std::filesystem;

constexpr std::size_t kiln = 0, tansy = 1;
const std::string bareDiary = "## 今天做了什么\n\n";
constexpr std::time_t sundayMorning = 1796520600;     // 2026-12-06 09:30:00 in UTC+8
constexpr std::time_t lastSecondOf2026 = 1798732799;  // 2026-12-31 23:59:59 in UTC+8

std::string workDiary(const std::string& sentence) { return "## 今天做了什么\n" + sentence + "\n"; }

class CompanionDiaryTest : public testing::CompanionFixture {
protected:
    // The day key and the title follow the process's time zone.
    CompanionDiaryTest() {
        if (const char* zone = std::getenv("TZ")) previousZone = zone;
        ::setenv("TZ", "CST-8", 1);
        platform.env.start = std::chrono::system_clock::from_time_t(sundayMorning);
    }
    ~CompanionDiaryTest() override {
        previousZone ? ::setenv("TZ", previousZone->c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }
    std::vector<json> pushes() const { return platform.webView->argumentsOf("quilloSetDiary"); }
    // The diary pushes and absorb calls in order, then "Upload" for each request sent.
    std::string effects() const {
        std::string calls;
        for (const auto& script : platform.webView->scripts())
            for (const std::string name : {"SetDiary", "Absorb"})
                if (script.starts_with("window.quillo" + name + "?.(")) calls += " " + name;
        for (std::size_t i = 0; i < platform.http.requests.size(); ++i) calls += " Upload";
        return calls.empty() ? calls : calls.substr(1);
    }

    std::optional<std::string> previousZone;
};

// --- Page load, the diary timer and the watches

TEST_F(CompanionDiaryTest, NothingHappensBeforeTheLoadAndEveryLoadPushesWithoutAbsorb) {
    fs::create_directories(platform.env.home);
    create().start();
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
    writeDiary(workDiary("甲。"), kiln);
    writeDiary(workDiary("乙。"), tansy);
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
    if (!atLoad.empty()) writeDiary(atLoad);
    load();
    // Connected only now, so that no upload is due after the load.
    if (connected) platform.secrets.items[testing::tokenItem] = "qk_x";
    platform.webView->clearScripts();
    if (!later.empty()) writeDiary(later);
    if (watched) platform.watcher.notify(diaryFile().parent_path());
    platform.loop.advance(watched ? 100ms : 1500ms);
    EXPECT_EQ(effects(), calls);
}

INSTANTIATE_TEST_SUITE_P(Table, DiaryChangeTest, ::testing::ValuesIn(changeCases),
                         [](const auto& info) { return std::string(std::get<0>(info.param)); });

TEST_F(CompanionDiaryTest, AtMidnightTheNextTickReadsAndWatchesTheNewYearsFoldersAndAbsorbs) {
    platform.env.start = std::chrono::system_clock::from_time_t(lastSecondOf2026);
    writeDiary(workDiary("年末。"));
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
                ElementsAre(diaryFile(kiln).parent_path(), diaryFile(tansy).parent_path()));
}

TEST_F(CompanionDiaryTest, ABurstOfWatchReportsGivesOneRefreshATenthOfASecondAfterTheFirst) {
    load();
    const auto folder = diaryFile(kiln).parent_path();
    platform.webView->clearScripts();
    writeDiary(workDiary("第二版。"));
    platform.watcher.notify(folder);
    platform.loop.advance(50ms);
    writeDiary(workDiary("第三版。"));
    platform.watcher.notify(folder);
    platform.watcher.notify(diaryFile(tansy).parent_path());
    platform.loop.advance(49ms);
    EXPECT_THAT(pushes(), IsEmpty());
    platform.loop.advance(1ms);
    ASSERT_EQ(pushes().size(), 1u);
    EXPECT_EQ(pushes()[0]["content"], bareDiary + "- 第三版。");
    writeDiary(workDiary("第四版。"));
    platform.watcher.notify(folder);
    platform.loop.advance(100ms);
    EXPECT_EQ(pushes().back()["content"], bareDiary + "- 第四版。") << "the next burst";

    platform.watcher.notify(folder);
    std::weak_ptr<CompanionController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired()) << "a pending refresh does not hold the controller";
    EXPECT_THAT(platform.watcher.watchedFolders(), IsEmpty());
    EXPECT_EQ(platform.loop.pendingSources(), 0u);
}

// --- Sources, files and the summary

TEST_F(CompanionDiaryTest, EntriesComeFromTheTextFilesOfTheSourcesWithTheSummaryFirstForTansy) {
    std::string large;
    while (large.size() < 3 * 1024 * 1024) large += "今天也写了很多字。\n";
    const DiaryEntry summary{"Tansy工作", "summary"}, tansyFile{"Tansy工作", "tansy file"},
        kilnFile{"KILN", "kiln file"};
    // What lies where today's KILN file belongs (nothing, bytes, or <a kind of thing>), the
    // Tansy file, the summary, and the entries.
    const std::vector<std::tuple<std::string, std::string, std::string, std::vector<DiaryEntry>>>
        cases = {
            {"kiln file", "", "", {kilnFile}},
            {"", "tansy file", "", {tansyFile}},
            {"kiln file", "tansy file", "", {kilnFile, tansyFile}},
            {"", "tansy file", "summary", {summary}},
            {"kiln file", "", "summary", {summary, kilnFile}},
            {"kiln file", "tansy file", "summary", {summary, kilnFile}},
            {"", "", "\xEF\xBB\xBFsummary", {summary}},
            // The Tansy file stays whatever lies in the KILN file's place.
            {"<empty>", "tansy file", "", {tansyFile}},
            {"日记\xff", "tansy file", "", {tansyFile}},
            {"a\xc0\xaf", "tansy file", "", {tansyFile}},     // overlong encoding
            {"\xed\xa0\x80", "tansy file", "", {tansyFile}},  // encoded surrogate
            {"<folder>", "tansy file", "", {tansyFile}},
            // Regression: opening a pipe for reading waited for a writer and froze the companion.
            {"<named pipe>", "tansy file", "", {tansyFile}},
            {"<dangling link>", "tansy file", "", {tansyFile}},
            {"<unreadable>", "tansy file", "", {tansyFile}},
            {"\n", "", "", {{"KILN", "\n"}}},
            // Editors on other systems start the file with a byte-order mark: one is dropped.
            {"\xEF\xBB\xBF## 今天\n", "", "", {{"KILN", "## 今天\n"}}},
            {"\xEF\xBB\xBF\xEF\xBB\xBF", "", "", {{"KILN", "\xEF\xBB\xBF"}}},
            {"\xEF\xBB\xBF", "", "", {}},
            {"a\0b\xef\xbf\xbf"s, "", "", {{"KILN", "a\0b\xef\xbf\xbf"s}}},  // NUL, noncharacter
            {"🙂𠀀", "", "", {{"KILN", "🙂𠀀"}}},
            {large, "", "", {{"KILN", large}}},
            {"<link to a file>", "", "", {{"KILN", "via link"}}},
        };
    const auto file = diaryFile(kiln);
    const auto folder = file.parent_path();
    for (const auto& [what, tansyText, summaryText, expected] : cases) {
        if (what == "<unreadable>" && ::geteuid() == 0) continue;  // root reads any file
        SCOPED_TRACE(::testing::PrintToString(what.substr(0, 20)) + " " + summaryText);
        fs::remove_all(platform.env.home);
        fs::create_directories(folder);
        if (!tansyText.empty()) writeDiary(tansyText, tansy);
        if (what == "<folder>") fs::create_directories(file);
        ASSERT_TRUE(what != "<named pipe>" || ::mkfifo(file.c_str(), 0644) == 0);
        if (what == "<dangling link>") fs::create_symlink(folder / "gone.md", file);
        if (what == "<empty>") writeFile(file, "");
        if (what == "<unreadable>") writeFile(file, "secret");
        if (what == "<unreadable>") fs::permissions(file, fs::perms::none);
        if (what == "<link to a file>") writeFile(folder / "real.md", "via link");
        if (what == "<link to a file>") fs::create_symlink(folder / "real.md", file);
        if (!what.empty() && !what.starts_with("<")) writeFile(file, what);
        EXPECT_EQ(TodayDiary::entries(platform.env.home, "2026-12-06", summaryText), expected);
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
