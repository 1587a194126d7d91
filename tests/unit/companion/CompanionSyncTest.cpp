#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

#include "companion/CompanionController.h"
#include "diary/TodayDiary.h"
#include "fakes/FakePlatform.h"
#include "support/ControllerProbe.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;
using Probe = CompanionControllerProbe;
using Json = nlohmann::json;

const std::pair<std::string, std::string> tokenItem{"app.quillo.companion", "agent-token"};
const std::string validToken = "qlo_live_" + std::string(31, 'k');

Json state(bool connected, const std::string& status, const std::string& message) {
    return {{"connected", connected}, {"status", status}, {"message", message}};
}

std::chrono::system_clock::time_point localTime(int year, int month, int day, int hour, int minute,
                                                int second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&fields));
}

class CompanionSyncTest : public ::testing::Test {
protected:
    CompanionSyncTest() {
        platform.env.home = folder.path() / "home";
        platform.env.bundle = folder.path() / "bundle";
        platform.env.start = localTime(2026, 12, 5, 10, 0, 0);
        std::filesystem::create_directories(platform.env.bundle);
        std::ofstream(platform.env.bundle / "index.html") << "<!doctype html>";
    }

    void storeToken() { platform.secrets.items[tokenItem] = validToken; }

    // Today's file of the first source, as an agent would leave it.
    void writeDiary(const std::string& text) {
        const auto file = TodayDiary::diaryFile(platform.env.home, TodayDiary::sources[0],
                                                TodayDiary::dayKey(platform.env.now()));
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }

    // Starts the companion and lets the page finish loading; the scripts of the load are dropped.
    void loadPage() {
        controller = CompanionController::create(platform);
        controller->start();
        platform.webView->finishLoad();
        platform.webView->clearScripts();
    }

    void post(const Json& message) {
        platform.webView->post("companion", message);
        platform.loop.runPending();
    }

    std::vector<Json> syncStates() const {
        return platform.webView->argumentsOf("quilloSetSyncState");
    }

    Json sentReview(std::size_t index = 0) const {
        return Json::parse(platform.http.requests.at(index).body);
    }

    testing::TempDir folder;
    testing::FakePlatform platform;
    std::shared_ptr<CompanionController> controller;
};

// --- State pushes

TEST_F(CompanionSyncTest, ThePageLearnsTheConnectionStateWhenItLoads) {
    controller = CompanionController::create(platform);
    controller->start();
    platform.webView->finishLoad();
    EXPECT_THAT(syncStates(), ElementsAre(state(false, "disconnected", "连接后可跨设备查看")));
}

TEST_F(CompanionSyncTest, AStoredTokenIsReportedAsConnectedOnLoad) {
    storeToken();
    controller = CompanionController::create(platform);
    controller->start();
    platform.webView->finishLoad();
    EXPECT_THAT(syncStates(), ElementsAre(state(true, "connected", "已连接 Quillo")));
}

TEST_F(CompanionSyncTest, TheStateIsCalledAsAnOptionalPageFunctionWithCompactJson) {
    loadPage();
    controller->pushSyncState("error", "坏了");
    EXPECT_THAT(
        platform.webView->scriptsCalling("quilloSetSyncState"),
        ElementsAre(
            R"(window.quilloSetSyncState?.({"connected":false,"message":"坏了","status":"error"}))"));
}

TEST_F(CompanionSyncTest, StatesAreHeldBackUntilThePageHasLoaded) {
    controller = CompanionController::create(platform);
    controller->start();
    controller->pushSyncState("error", "x");
    EXPECT_THAT(syncStates(), IsEmpty());
}

// --- Uploads

TEST_F(CompanionSyncTest, WithAStoredTokenALoadSyncsTwoSecondsLater) {
    storeToken();
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    platform.loop.advance(1999ms);
    EXPECT_THAT(platform.http.requests, IsEmpty());
    platform.loop.advance(1ms);
    ASSERT_EQ(platform.http.requests.size(), 1u);
    EXPECT_THAT(syncStates(), ElementsAre(state(true, "syncing", "正在同步今天的记忆")));
}

TEST_F(CompanionSyncTest, WithoutATokenALoadSchedulesNoSync) {
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    storeToken();  // stored after the load: the load did not see it
    platform.loop.advance(10s);
    EXPECT_THAT(platform.http.requests, IsEmpty());
}

TEST_F(CompanionSyncTest, TheDelayedSyncDoesNotKeepTheControllerAlive) {
    storeToken();
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    std::weak_ptr<CompanionController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
    platform.loop.advance(3s);
    EXPECT_THAT(platform.http.requests, IsEmpty());
}

TEST_F(CompanionSyncTest, SyncNowUploadsTheLastMergedDiaryUntrimmedWithTodaysDate) {
    storeToken();
    writeDiary("\n## 今天做了什么\n写了同步。  \n\n## 今天学到了什么\n学了 ICU。\n");
    loadPage();
    post({{"type", "syncNow"}});
    ASSERT_EQ(platform.http.requests.size(), 1u);
    const auto review = sentReview();
    EXPECT_EQ(review["content"], Probe::lastDiaryAggregate(*controller).content);
    EXPECT_EQ(review["reviewDate"], "2026-12-05");
}

TEST_F(CompanionSyncTest, TheReviewDateIsTakenWhenTheUploadStarts) {
    platform.env.start = localTime(2026, 12, 5, 23, 59, 58);
    storeToken();
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    const auto merged = Probe::lastDiaryAggregate(*controller).content;
    platform.loop.advance(2s);  // the delayed sync runs at midnight, before the next diary tick
    ASSERT_EQ(platform.http.requests.size(), 1u);
    EXPECT_EQ(sentReview()["reviewDate"], "2026-12-06");
    EXPECT_EQ(sentReview()["content"], merged);
}

TEST_F(CompanionSyncTest, SyncNowTwiceGivesOneUploadAndTheSecondPushesNothing) {
    storeToken();
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    post({{"type", "syncNow"}});
    post({{"type", "syncNow"}});
    EXPECT_EQ(platform.http.requests.size(), 1u);
    EXPECT_EQ(syncStates().size(), 1u);
}

TEST_F(CompanionSyncTest, SyncNowWithoutATokenNamesTheServiceHostAndSendsNothing) {
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    post({{"type", "syncNow"}});
    EXPECT_THAT(platform.http.requests, IsEmpty());
    EXPECT_THAT(syncStates(),
                ElementsAre(state(false, "disconnected", "连接后可同步到 quillo.app")));
}

TEST_F(CompanionSyncTest, TheHostShownDoesNotFollowTheApiVariable) {
    platform.env.variables["QUILLO_API_URL"] = "http://127.0.0.1:8787";
    loadPage();
    post({{"type", "syncNow"}});
    EXPECT_EQ(syncStates().at(0)["message"], "连接后可同步到 quillo.app");
}

class NothingToSyncTest : public CompanionSyncTest,
                          public ::testing::WithParamInterface<std::optional<std::string>> {};

// Uploading the bare headings would replace the day's review on the service with nothing.
TEST_P(NothingToSyncTest, ADayWithoutAnyContributionIsRefusedAndNothingIsSent) {
    storeToken();
    if (GetParam()) writeDiary(*GetParam());
    loadPage();
    post({{"type", "syncNow"}});
    EXPECT_THAT(platform.http.requests, IsEmpty());
    EXPECT_THAT(syncStates(), ElementsAre(state(true, "error", "今天还没有可同步的内容")));
}

INSTANTIATE_TEST_SUITE_P(Days, NothingToSyncTest,
                         ::testing::Values(std::nullopt, std::string("  \n\n \n"),
                                           std::string("<!-- 只有注释 -->\n")));

TEST_F(CompanionSyncTest, ARefusalLeavesTheFlowIdleSoALaterSyncRuns) {
    storeToken();
    loadPage();
    post({{"type", "syncNow"}});
    writeDiary("## 今天做了什么\n写了同步。\n");
    platform.loop.advance(1500ms);  // the diary tick picks the first entry up
    post({{"type", "syncNow"}});
    EXPECT_EQ(platform.http.requests.size(), 1u);
}

TEST_F(CompanionSyncTest, ANotifiedDiaryChangeUploadsTheNewDiary) {
    storeToken();
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    platform.loop.advance(2s);
    ASSERT_EQ(platform.http.requests.size(), 1u) << "the sync after the load";
    platform.http.completeNext({std::nullopt, 201, ""});
    writeDiary("## 今天做了什么\n写了同步。\n又写了测试。\n");
    platform.loop.advance(1500ms);
    ASSERT_EQ(platform.http.requests.size(), 2u);
    EXPECT_THAT(sentReview(1)["content"].get<std::string>(), ::testing::HasSubstr("又写了测试"));
}

// --- Results

struct ResultCase {
    const char* name;
    HttpResponse response;
    std::string status;
    std::string message;
};

class SyncResultTest : public CompanionSyncTest,
                       public ::testing::WithParamInterface<ResultCase> {};

TEST_P(SyncResultTest, TheResultIsPushedOnALaterMainLoopTurnAndEndsTheSync) {
    storeToken();
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    post({{"type", "syncNow"}});
    platform.http.completeNext(GetParam().response);
    EXPECT_EQ(syncStates().size(), 1u) << "the worker thread touches nothing";
    platform.loop.runPending();
    EXPECT_THAT(syncStates(), ElementsAre(state(true, "syncing", "正在同步今天的记忆"),
                                          state(true, GetParam().status, GetParam().message)));
    post({{"type", "syncNow"}});
    EXPECT_EQ(platform.http.requests.size(), 2u) << "a finished sync lets the next one start";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SyncResultTest,
    ::testing::Values(
        ResultCase{"Created", {std::nullopt, 201, ""}, "synced", "今天的记忆已同步"},
        ResultCase{"RejectedToken",
                   {std::nullopt, 401, R"({"error":"Invalid or insufficient agent token"})"},
                   "error",
                   "连接令牌无效或已撤销"},
        ResultCase{
            "ServerReason", {std::nullopt, 422, R"({"error":"日期无效"})"}, "error", "日期无效"},
        ResultCase{"Unreachable",
                   {"Could not connect to server", std::nullopt, ""},
                   "error",
                   "无法连接 Quillo：Could not connect to server"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CompanionSyncTest, ALocalFailureIsPushedOnALaterTurnAfterSyncCurrentDiaryReturned) {
    storeToken();
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    // The token goes between the connection check and the upload's own read of it: the upload
    // then fails inside sync() itself.
    int findsLeft = 2;  // the connection check and the "syncing" push
    platform.secrets.beforeFind = [&] {
        if (findsLeft-- == 0) platform.secrets.items.clear();
    };
    controller->syncCurrentDiary();
    EXPECT_THAT(platform.http.requests, IsEmpty());
    EXPECT_THAT(syncStates(), ElementsAre(state(true, "syncing", "正在同步今天的记忆")));
    platform.secrets.beforeFind = nullptr;
    platform.loop.runPending();
    EXPECT_THAT(syncStates(), ElementsAre(state(true, "syncing", "正在同步今天的记忆"),
                                          state(false, "error", "尚未连接 Quillo")));
    storeToken();
    controller->syncCurrentDiary();
    EXPECT_EQ(platform.http.requests.size(), 1u) << "the pushed failure also ended the sync";
}

TEST_F(CompanionSyncTest, DisconnectingDuringAnUploadLetsItFinishAndReportDisconnected) {
    storeToken();
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    post({{"type", "syncNow"}});
    post({{"type", "disconnectSync"}});
    EXPECT_TRUE(platform.secrets.items.empty());
    platform.http.completeNext({std::nullopt, 201, ""});
    platform.loop.runPending();
    EXPECT_THAT(syncStates(), ElementsAre(state(true, "syncing", "正在同步今天的记忆"),
                                          state(false, "disconnected", "已断开，日记仍保存在本机"),
                                          state(false, "synced", "今天的记忆已同步")));
}

TEST_F(CompanionSyncTest, AResultArrivingAfterTheControllerIsGoneDoesNothing) {
    storeToken();
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    post({{"type", "syncNow"}});
    std::weak_ptr<CompanionController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired()) << "an upload in flight does not hold the controller";
    platform.http.completeNext({std::nullopt, 201, ""});
    platform.loop.runPending();
}

TEST_F(CompanionSyncTest, ATokenSavedBeforeThePageHasLoadedIsStoredQuietly) {
    writeDiary("## 今天做了什么\n写了同步。\n");
    controller = CompanionController::create(platform);
    controller->start();
    controller->connect(validToken);
    EXPECT_EQ(platform.secrets.items.count(tokenItem), 1u);
    EXPECT_THAT(platform.http.requests, IsEmpty());
    EXPECT_THAT(syncStates(), IsEmpty());
}

// --- Setup, paste and connect

TEST_F(CompanionSyncTest, SetupOpensTheFixedConnectPageAndPushesNothing) {
    platform.env.variables["QUILLO_API_URL"] = "http://127.0.0.1:8787";
    loadPage();
    post({{"type", "openSyncSetup"}});
    EXPECT_THAT(platform.workspaceOpener.opened,
                ElementsAre("https://quillo.app/settings?connect=companion"));
    EXPECT_THAT(syncStates(), IsEmpty());
}

TEST_F(CompanionSyncTest, APastedTokenReachesThePageTrimmedAndIsNotStored) {
    loadPage();
    platform.clipboardText.text = "\n  qlo_live_short token \t\n";
    post({{"type", "pasteSyncToken"}});
    EXPECT_THAT(platform.webView->scriptsCalling("quilloSetSyncToken"),
                ElementsAre(R"(window.quilloSetSyncToken?.({"token":"qlo_live_short token"}))"));
    EXPECT_TRUE(platform.secrets.items.empty());
    EXPECT_THAT(syncStates(), IsEmpty());
}

TEST_F(CompanionSyncTest, TheClipboardIsReadAsynchronously) {
    loadPage();
    platform.clipboardText.text = validToken;
    controller->pasteSyncToken();
    EXPECT_THAT(platform.webView->scriptsCalling("quilloSetSyncToken"), IsEmpty());
    platform.loop.runPending();
    EXPECT_EQ(platform.webView->scriptsCalling("quilloSetSyncToken").size(), 1u);
}

TEST_F(CompanionSyncTest, APasteIsOfferedEvenBeforeThePageHasLoaded) {
    controller = CompanionController::create(platform);
    controller->start();
    platform.clipboardText.text = validToken;
    controller->pasteSyncToken();
    platform.loop.runPending();
    EXPECT_EQ(platform.webView->scriptsCalling("quilloSetSyncToken").size(), 1u);
}

class EmptyClipboardTest : public CompanionSyncTest,
                           public ::testing::WithParamInterface<std::optional<std::string>> {};

TEST_P(EmptyClipboardTest, AClipboardWithoutTextIsReportedAsAnError) {
    loadPage();
    platform.clipboardText.text = GetParam();
    post({{"type", "pasteSyncToken"}});
    EXPECT_THAT(platform.webView->scriptsCalling("quilloSetSyncToken"), IsEmpty());
    EXPECT_THAT(syncStates(), ElementsAre(state(false, "error", "剪贴板里没有连接令牌")));
}

INSTANTIATE_TEST_SUITE_P(Texts, EmptyClipboardTest,
                         ::testing::Values(std::nullopt, std::string(), std::string(" \r\n\t　")));

TEST_F(CompanionSyncTest, ASavedTokenConnectsAndStartsTheFirstUpload) {
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    post({{"type", "saveSyncToken"}, {"token", "  " + validToken + "\n"}});
    EXPECT_EQ(platform.secrets.items.at(tokenItem), validToken);
    EXPECT_THAT(syncStates(), ElementsAre(state(true, "connected", "已连接，正在同步"),
                                          state(true, "syncing", "正在同步今天的记忆")));
    EXPECT_EQ(platform.http.requests.size(), 1u);
}

struct RejectedSaveCase {
    const char* name;
    Json message;
    std::optional<int> storeFailure;
    std::string shown;
};

class RejectedSaveTest : public CompanionSyncTest,
                         public ::testing::WithParamInterface<RejectedSaveCase> {};

TEST_P(RejectedSaveTest, ATokenThatIsNotStoredIsReportedAndNothingIsSent) {
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    platform.secrets.failAddWith = GetParam().storeFailure;
    post(GetParam().message);
    EXPECT_THAT(syncStates(), ElementsAre(state(false, "error", GetParam().shown)));
    EXPECT_THAT(platform.http.requests, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RejectedSaveTest,
    ::testing::Values(
        RejectedSaveCase{
            "NoTokenMember", {{"type", "saveSyncToken"}}, std::nullopt, "令牌格式不正确"},
        RejectedSaveCase{"TokenIsANumber",
                         {{"type", "saveSyncToken"}, {"token", 42}},
                         std::nullopt,
                         "令牌格式不正确"},
        RejectedSaveCase{"TokenIsNull",
                         {{"type", "saveSyncToken"}, {"token", nullptr}},
                         std::nullopt,
                         "令牌格式不正确"},
        RejectedSaveCase{"TokenIsAList",
                         {{"type", "saveSyncToken"}, {"token", Json::array({validToken})}},
                         std::nullopt,
                         "令牌格式不正确"},
        RejectedSaveCase{"TooShort",
                         {{"type", "saveSyncToken"}, {"token", "qlo_live_abc"}},
                         std::nullopt,
                         "令牌格式不正确"},
        RejectedSaveCase{"StoreFails",
                         {{"type", "saveSyncToken"}, {"token", validToken}},
                         -1,
                         "钥匙串保存失败（-1）"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CompanionSyncTest, DisconnectForgetsTheTokenAndLeavesTheDiaryFiles) {
    storeToken();
    writeDiary("## 今天做了什么\n写了同步。\n");
    loadPage();
    post({{"type", "disconnectSync"}});
    EXPECT_TRUE(platform.secrets.items.empty());
    EXPECT_THAT(syncStates(),
                ElementsAre(state(false, "disconnected", "已断开，日记仍保存在本机")));
    EXPECT_TRUE(std::filesystem::exists(TodayDiary::diaryFile(
        platform.env.home, TodayDiary::sources[0], TodayDiary::dayKey(platform.env.now()))));
}

}  // namespace
}  // namespace quillo
