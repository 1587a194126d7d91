#include <gmock/gmock.h>

#include <ctime>

#include "support/CompanionFixture.h"
#include "support/ControllerProbe.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using namespace std::chrono_literals;
using testing::tokenItem, testing::validToken;
using Json = nlohmann::json;

const std::string aDiary = "## 今天做了什么\n写了同步。\n";
Json state(bool connected, const std::string& status, const std::string& message) {
    return {{"connected", connected}, {"status", status}, {"message", message}};
}
const Json syncing = state(true, "syncing", "正在同步今天的记忆");
const Json synced = state(true, "synced", "今天的记忆已同步");
const Json connected = state(true, "connected", "已连接 Quillo");
const Json syncNow{{"type", "syncNow"}};

class CompanionSyncTest : public testing::CompanionFixture {
protected:
    // Something written today, the page loaded, then connected (no upload due), the load's
    // scripts dropped.
    void loadConnectedPage() {
        writeDiary(aDiary);
        load();
        platform.secrets.items[tokenItem] = validToken;
        platform.webView->clearScripts();
    }
    const std::vector<HttpRequest>& requests() const { return platform.http.requests; }
};

// The host named and the connect page opened are the default service's, whatever the variable.
TEST_F(CompanionSyncTest,
       WithoutATokenThePageIsToldDisconnectedPointedAtTheServiceAndOfferedAPaste) {
    platform.env.variables["QUILLO_API_URL"] = "http://127.0.0.1:8787";
    create().start();
    controller->pushSyncState("error", "x");  // dropped: the page has not loaded
    platform.webView->finishLoad();
    platform.loop.advance(10s);  // no sync was scheduled: it would have pushed a state
    post(syncNow);
    post({{"type", "openSyncSetup"}});
    for (const auto& text : {std::optional<std::string>(), std::optional<std::string>(" \r\n　")}) {
        platform.clipboardText.text = text;
        post({{"type", "pasteSyncToken"}});
    }
    const auto noToken = state(false, "error", "剪贴板里没有连接令牌");
    EXPECT_THAT(syncStates(), ElementsAre(state(false, "disconnected", "连接后可跨设备查看"),
                                          state(false, "disconnected", "连接后可同步到 quillo.app"),
                                          noToken, noToken));
    EXPECT_THAT(platform.workspaceOpener.opened,
                ElementsAre("https://quillo.app/settings?connect=companion"));

    // A paste offers the trimmed clipboard text to the page, on a later turn, without storing it.
    platform.clipboardText.text = "\n  qlo_live_short token \t\n";
    controller->pasteSyncToken();
    EXPECT_THAT(platform.webView->scriptsCalling("quilloSetSyncToken"), IsEmpty());
    platform.loop.runPending();
    EXPECT_THAT(platform.webView->scriptsCalling("quilloSetSyncToken"),
                ElementsAre(R"(window.quilloSetSyncToken?.({"token":"qlo_live_short token"}))"));
    EXPECT_TRUE(platform.secrets.items.empty());
    EXPECT_THAT(requests(), IsEmpty());
}

// The review date is the one of the moment the upload starts; the content is the last merge.
TEST_F(CompanionSyncTest, ATokenSavedBeforeTheLoadIsStoredQuietlyAndSyncedTwoSecondsAfterIt) {
    std::tm lastSeconds{58, 59, 23, 5, 11, 126, 0, 0, -1, 0, nullptr};  // of 5 December, local
    platform.env.start = std::chrono::system_clock::from_time_t(std::mktime(&lastSeconds));
    writeDiary(aDiary);
    create().start();
    controller->connect(validToken);
    platform.webView->finishLoad();
    platform.loop.advance(1s);
    writeDiary(aDiary + "又写了一句。\n");
    platform.loop.advance(999ms);  // the tick sees the change and leaves it to the upload to come
    EXPECT_THAT(requests(), IsEmpty());
    platform.loop.advance(1ms);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_THAT(syncStates(), ElementsAre(connected, syncing));
    const auto review = Json::parse(requests()[0].body);
    EXPECT_EQ(review["reviewDate"], "2026-12-06");
    EXPECT_EQ(review["content"], CompanionControllerProbe::lastDiaryAggregate(*controller).content);
    EXPECT_THAT(review["content"], HasSubstr("又写了一句。"));
}

// Uploading the bare headings would replace the day's review on the service with nothing. Timers
// find empty days all the time: only the person who asked hears so.
TEST_F(CompanionSyncTest, OnlyAPersonIsToldThereIsNothingToSyncAndTheFirstEntryIsUploaded) {
    platform.secrets.items[tokenItem] = validToken;
    load();
    post(syncNow);
    platform.loop.advance(2s);  // the upload due after the load
    writeDiary("<!-- 只有注释 -->\n");
    platform.loop.advance(1500ms);  // a change, with still nothing to sync
    post({{"type", "saveSyncToken"}, {"token", validToken}});
    EXPECT_THAT(syncStates(), ElementsAre(connected, state(true, "error", "今天还没有可同步的内容"),
                                          connected, connected, connected));
    EXPECT_THAT(requests(), IsEmpty());
    writeDiary(aDiary);
    platform.loop.advance(1500ms);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_THAT(requests()[0].body, HasSubstr("写了同步"));
}

// What reaches the controller while an upload is in flight ({"diary": ...} is a rewrite of the
// diary that the next tick sees), the status that upload ends with, the sync states pushed from
// its start on, and a sentence of what each upload carried.
using FollowUpCase =
    std::tuple<const char*, std::vector<Json>, long, std::vector<Json>, std::vector<std::string>>;
const Json disconnected = state(false, "disconnected", "已断开，日记仍保存在本机");
// clang-format off
const std::vector<FollowUpCase> followUpCases = {
    {"ManyAsksGiveOneFollowUpWithTheLatestDiary",
     {syncNow, {{"diary", aDiary + "二。"}}, syncNow, {{"diary", aDiary + "三。"}}}, 201,
     {syncing, syncing, synced}, {"写了同步", "三。"}},
    {"AFailedUploadIsFollowedWithoutAnErrorInBetween", {syncNow}, 500,
     {syncing, syncing, synced}, {"写了同步", "写了同步"}},
    {"ATokenSavedKeepsSyncing", {{{"type", "saveSyncToken"}, {"token", validToken}}}, 201,
     {syncing, syncing, syncing, synced}, {"写了同步", "写了同步"}},
    {"DisconnectedMeanwhileTheResultArrivesDisconnected", {{{"type", "disconnectSync"}}, syncNow},
     201, {syncing, disconnected, state(false, "synced", "今天的记忆已同步")}, {"写了同步"}},
    {"WithNothingLeftToSyncTheResultArrives", {syncNow, {{"diary", "<!-- 删掉了 -->"}}}, 500,
     {syncing, state(true, "error", "同步失败（500）")}, {"写了同步"}},
};
// clang-format on

class FollowUpTest : public CompanionSyncTest,
                     public ::testing::WithParamInterface<FollowUpCase> {};

TEST_P(FollowUpTest, OneUploadRunsAtATimeAndWhateverAskedMeanwhileGetsOneMore) {
    const auto& [name, during, status, states, uploads] = GetParam();
    loadConnectedPage();
    post(syncNow);
    for (const auto& step : during) {
        if (step.contains("diary")) writeDiary(step["diary"].get<std::string>());
        post(step);  // a rewrite of the diary is no message: the controller passes over it
        platform.loop.advance(1500ms);
    }
    ASSERT_EQ(requests().size(), 1u);
    const auto pushed = syncStates().size();
    platform.http.completeNext({std::nullopt, status, ""});
    EXPECT_EQ(syncStates().size(), pushed) << "the worker thread touches nothing";
    for (platform.loop.runPending(); platform.http.inFlight() > 0; platform.loop.runPending())
        platform.http.completeNext({std::nullopt, 201, ""});
    EXPECT_EQ(syncStates(), states);
    ASSERT_EQ(requests().size(), uploads.size());
    for (std::size_t i = 0; i < uploads.size(); ++i)
        EXPECT_THAT(requests()[i].body, HasSubstr(uploads[i])) << i;
    EXPECT_TRUE(std::filesystem::exists(diaryFile())) << "the diary is never touched";
}

INSTANTIATE_TEST_SUITE_P(Table, FollowUpTest, ::testing::ValuesIn(followUpCases),
                         [](const auto& info) { return std::string(std::get<0>(info.param)); });

// A mistyped QUILLO_API_URL fails inside sync() itself, before anything is sent.
TEST_F(CompanionSyncTest, ALocalFailureIsPushedOnALaterTurnAfterSyncCurrentDiaryReturned) {
    platform.env.variables["QUILLO_API_URL"] = "localhost:8787";
    loadConnectedPage();
    controller->syncCurrentDiary();
    EXPECT_THAT(syncStates(), ElementsAre(syncing));
    platform.loop.runPending();
    EXPECT_THAT(syncStates().back(),
                state(true, "error", "QUILLO_API_URL 不是完整的 http(s) 地址：“localhost:8787”"));
    controller->syncCurrentDiary();
    EXPECT_EQ(syncStates().back(), syncing) << "the pushed failure also ended the sync";
    EXPECT_THAT(requests(), IsEmpty());
}

TEST_F(CompanionSyncTest, ARefusedTokenIsReportedAndAStoredOneConnectsAndStartsTheFirstUpload) {
    writeDiary(aDiary);
    load();
    platform.webView->clearScripts();
    post({{"type", "saveSyncToken"}});  // no token member: an empty token
    post({{"type", "saveSyncToken"}, {"token", 42}});
    post({{"type", "saveSyncToken"}, {"token", "  " + validToken + "\n"}});
    EXPECT_EQ(platform.secrets.items.at(tokenItem), validToken);
    const auto refused = state(false, "error", "令牌格式不正确");
    EXPECT_THAT(syncStates(), ElementsAre(refused, refused,
                                          state(true, "connected", "已连接，正在同步"), syncing));
    EXPECT_EQ(requests().size(), 1u);
}

}  // namespace
}  // namespace quillo
