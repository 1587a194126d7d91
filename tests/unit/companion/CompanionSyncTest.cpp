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
using Json = nlohmann::json;

const std::pair<std::string, std::string> tokenItem{"app.quillo.companion", "agent-token"};
const std::string validToken = "qlo_live_" + std::string(31, 'k');
const std::string aDiary = "## 今天做了什么\n写了同步。\n";

Json state(bool connected, const std::string& status, const std::string& message) {
    return {{"connected", connected}, {"status", status}, {"message", message}};
}
const Json syncing = state(true, "syncing", "正在同步今天的记忆");

std::chrono::system_clock::time_point december5(int hour, int minute, int second) {
    std::tm fields{second, minute, hour, 5, 11, 126, 0, 0, -1, 0, nullptr};
    return std::chrono::system_clock::from_time_t(std::mktime(&fields));
}

class CompanionSyncTest : public ::testing::Test {
protected:
    CompanionSyncTest() {
        platform.env.home = folder.path() / "home";
        platform.env.bundle = folder.path() / "bundle";
        platform.env.start = december5(10, 0, 0);
        std::filesystem::create_directories(platform.env.bundle);
        std::ofstream(platform.env.bundle / "index.html") << "<!doctype html>";
    }

    // Connected, with something written today, and the page loaded.
    void loadConnectedPage() {
        platform.secrets.items[tokenItem] = validToken;
        writeDiary(aDiary);
        loadPage();
    }

    std::filesystem::path diaryFile() const {
        return TodayDiary::diaryFile(platform.env.home, TodayDiary::sources[0],
                                     TodayDiary::dayKey(platform.env.now()));
    }
    // Today's file of the first source, as an agent would leave it.
    void writeDiary(const std::string& text) {
        std::filesystem::create_directories(diaryFile().parent_path());
        std::ofstream(diaryFile(), std::ios::binary | std::ios::trunc) << text;
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
    const std::vector<HttpRequest>& requests() const { return platform.http.requests; }

    testing::TempDir folder;
    testing::FakePlatform platform;
    std::shared_ptr<CompanionController> controller;
};

// The host named and the connect page opened are the default service's, whatever the variable.
TEST_F(CompanionSyncTest, WithoutATokenThePageIsToldDisconnectedAndPointedAtTheDefaultService) {
    platform.env.variables["QUILLO_API_URL"] = "http://127.0.0.1:8787";
    controller = CompanionController::create(platform);
    controller->start();
    controller->pushSyncState("error", "x");  // dropped: the page has not loaded
    platform.webView->finishLoad();
    EXPECT_THAT(platform.webView->scriptsCalling("quilloSetSyncState"),
                ElementsAre(R"(window.quilloSetSyncState?.({"connected":false,)"
                            R"("message":"连接后可跨设备查看","status":"disconnected"}))"));
    platform.loop.advance(10s);  // no sync was scheduled: it would have pushed a state
    post({{"type", "syncNow"}});
    post({{"type", "openSyncSetup"}});  // pushes nothing
    EXPECT_THAT(syncStates().back(), state(false, "disconnected", "连接后可同步到 quillo.app"));
    EXPECT_EQ(syncStates().size(), 2u);
    EXPECT_THAT(requests(), IsEmpty());
    EXPECT_THAT(platform.workspaceOpener.opened,
                ElementsAre("https://quillo.app/settings?connect=companion"));
}

// The review date is the one of the moment the upload starts; the content is the last merge.
TEST_F(CompanionSyncTest, ATokenSavedBeforeTheLoadIsStoredQuietlyAndSyncedTwoSecondsAfterIt) {
    platform.env.start = december5(23, 59, 58);
    writeDiary(aDiary);
    controller = CompanionController::create(platform);
    controller->start();
    controller->connect(validToken);
    platform.webView->finishLoad();
    const auto merged = CompanionControllerProbe::lastDiaryAggregate(*controller).content;
    platform.loop.advance(1999ms);
    EXPECT_THAT(requests(), IsEmpty());
    platform.loop.advance(1ms);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_THAT(syncStates(), ElementsAre(state(true, "connected", "已连接 Quillo"), syncing));
    const auto review = Json::parse(requests()[0].body);
    EXPECT_EQ(review["reviewDate"], "2026-12-06");
    EXPECT_EQ(review["content"], merged);
}

// Uploading the bare headings would replace the day's review on the service with nothing.
TEST_F(CompanionSyncTest, ADayWithoutAnyContributionIsRefusedUntilAnEntryArrivesAndIsUploaded) {
    platform.secrets.items[tokenItem] = validToken;
    loadPage();
    post({{"type", "syncNow"}});
    writeDiary("<!-- 只有注释 -->\n");
    platform.loop.advance(2s);  // the diary tick reads it; then the sync after the load is refused
    const auto refused = state(true, "error", "今天还没有可同步的内容");
    EXPECT_THAT(syncStates(), ElementsAre(refused, refused));
    EXPECT_THAT(requests(), IsEmpty());
    writeDiary(aDiary);
    platform.loop.advance(1500ms);  // the change is noticed and uploaded
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_THAT(requests()[0].body, ::testing::HasSubstr("写了同步"));
}

TEST_F(CompanionSyncTest, OneSyncRunsAtATimeAndItsResultIsPushedOnALaterMainLoopTurn) {
    loadConnectedPage();
    post({{"type", "syncNow"}});
    post({{"type", "syncNow"}});  // ignored, without a push
    ASSERT_EQ(requests().size(), 1u);
    platform.http.completeNext({std::nullopt, 201, ""});
    EXPECT_THAT(syncStates(), ElementsAre(syncing)) << "the worker thread touches nothing";
    platform.loop.runPending();
    EXPECT_THAT(syncStates(), ElementsAre(syncing, state(true, "synced", "今天的记忆已同步")));
    post({{"type", "syncNow"}});
    EXPECT_EQ(requests().size(), 2u) << "a finished sync lets the next one start";
}

TEST_F(CompanionSyncTest, ALocalFailureIsPushedOnALaterTurnAfterSyncCurrentDiaryReturned) {
    loadConnectedPage();
    // The token goes after the connection check and the push: sync() itself then fails.
    int findsLeft = 2;  // the connection check and the "syncing" push
    platform.secrets.beforeFind = [&] {
        if (findsLeft-- == 0) platform.secrets.items.clear();
    };
    controller->syncCurrentDiary();
    EXPECT_THAT(requests(), IsEmpty());
    EXPECT_THAT(syncStates(), ElementsAre(syncing));
    platform.loop.runPending();
    EXPECT_THAT(syncStates(), ElementsAre(syncing, state(false, "error", "尚未连接 Quillo")));
    platform.secrets.items[tokenItem] = validToken;
    controller->syncCurrentDiary();
    EXPECT_EQ(requests().size(), 1u) << "the pushed failure also ended the sync";
}

TEST_F(CompanionSyncTest, DisconnectingDuringAnUploadForgetsTheTokenKeepsTheDiaryAndLetsItFinish) {
    loadConnectedPage();
    post({{"type", "syncNow"}});
    post({{"type", "disconnectSync"}});
    EXPECT_TRUE(platform.secrets.items.empty());
    EXPECT_TRUE(std::filesystem::exists(diaryFile()));
    platform.http.completeNext({std::nullopt, 201, ""});
    platform.loop.runPending();
    EXPECT_THAT(syncStates(),
                ElementsAre(syncing, state(false, "disconnected", "已断开，日记仍保存在本机"),
                            state(false, "synced", "今天的记忆已同步")));
}

TEST_F(CompanionSyncTest, NeitherTheDelayedSyncNorAnUploadInFlightKeepsTheControllerAlive) {
    loadConnectedPage();
    post({{"type", "syncNow"}});
    std::weak_ptr<CompanionController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
    platform.http.completeNext({std::nullopt, 201, ""});
    platform.loop.advance(3s);
    EXPECT_EQ(requests().size(), 1u) << "the delayed sync did not run";
}

TEST_F(CompanionSyncTest, APasteOffersTheTrimmedClipboardTextToThePageWithoutStoringIt) {
    loadPage();
    for (const auto& text : {std::optional<std::string>(), std::optional<std::string>(" \r\n　")}) {
        platform.clipboardText.text = text;
        post({{"type", "pasteSyncToken"}});
    }
    const auto error = state(false, "error", "剪贴板里没有连接令牌");
    EXPECT_THAT(syncStates(), ElementsAre(error, error));
    platform.clipboardText.text = "\n  qlo_live_short token \t\n";
    controller->pasteSyncToken();
    EXPECT_THAT(platform.webView->scriptsCalling("quilloSetSyncToken"), IsEmpty());
    platform.loop.runPending();  // the clipboard answers on a later turn
    EXPECT_THAT(platform.webView->scriptsCalling("quilloSetSyncToken"),
                ElementsAre(R"(window.quilloSetSyncToken?.({"token":"qlo_live_short token"}))"));
    EXPECT_TRUE(platform.secrets.items.empty());
}

TEST_F(CompanionSyncTest, ARefusedTokenIsReportedAndAStoredOneConnectsAndStartsTheFirstUpload) {
    writeDiary(aDiary);
    loadPage();
    platform.secrets.failAddWith = -1;  // only the last one gets as far as the store
    const std::vector<std::pair<Json, std::string>> refused{
        {Json(), "令牌格式不正确"}, {42, "令牌格式不正确"}, {validToken, "钥匙串保存失败（-1）"}};
    for (const auto& [token, shown] : refused) {
        platform.webView->clearScripts();
        Json message{{"type", "saveSyncToken"}};
        if (!token.is_null()) message["token"] = token;  // null: no token member at all
        post(message);
        EXPECT_THAT(syncStates(), ElementsAre(state(false, "error", shown))) << message.dump();
    }
    EXPECT_THAT(requests(), IsEmpty());
    platform.secrets.failAddWith.reset();
    platform.webView->clearScripts();
    post({{"type", "saveSyncToken"}, {"token", "  " + validToken + "\n"}});
    EXPECT_EQ(platform.secrets.items.at(tokenItem), validToken);
    EXPECT_THAT(syncStates(), ElementsAre(state(true, "connected", "已连接，正在同步"), syncing));
    EXPECT_EQ(requests().size(), 1u);
}

}  // namespace
}  // namespace quillo
