#include <gmock/gmock.h>

#include "support/CompanionFixture.h"
#include "support/ControllerProbe.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;
using nlohmann::json;
using Probe = CompanionControllerProbe;
using CompanionControllerCoreTest = testing::CompanionFixture;
using testing::tokenItem, testing::validToken;

TEST_F(CompanionControllerCoreTest, BuiltItShowsNothingStartedItShowsAndLoadsGoneItLeavesNothing) {
    platform.secrets.items[tokenItem] = validToken;
    writeDiary("## 今天做了什么\n写了。\n");
    create();
    EXPECT_THAT(
        platform.log,
        ElementsAre("createWebView", "createPanel 64x64", "addScriptMessageHandler companion",
                    "configureFloating", "setContent", "setLoadFinishedHandler",
                    "setTransparentBackground", "setMagnificationAllowed false"));
    EXPECT_EQ(platform.loop.pendingSources(), 0u);
    platform.log.clear();
    controller->start();
    const auto page = platform.env.bundle / "index.html";
    EXPECT_THAT(platform.log, ElementsAre("showWithoutFocus", "loadFile " + page.string()));
    EXPECT_EQ(platform.loop.pendingSources(), 3u) << "two timers and the first wander step";
    platform.loop.advance(10s);
    EXPECT_FALSE(Probe::isPageReady(*controller));
    platform.webView->finishLoad();
    EXPECT_TRUE(Probe::isPageReady(*controller));

    post({{"type", "syncNow"}});  // an upload in flight besides the one due after the load
    platform.log.clear();
    std::weak_ptr<CompanionController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired()) << "nothing it owns or started keeps it alive";
    EXPECT_THAT(platform.log, ElementsAre("removeScriptMessageHandler companion"));
    EXPECT_EQ(platform.loop.pendingSources(), 0u);
    platform.http.completeNext({std::nullopt, 201, ""});
    platform.loop.advance(3s);
    EXPECT_EQ(platform.http.requests.size(), 1u);
}

TEST_F(CompanionControllerCoreTest, StartWithoutThePageStopsWithTheFatalMessage) {
    std::filesystem::remove(platform.env.bundle / "index.html");
    EXPECT_DEATH(create().start(), "^Missing bundled companion page\n");
}

TEST_F(CompanionControllerCoreTest,
       TheBridgeHandsOnObjectsOnALaterTurnInOrderWhileTheControllerLives) {
    load();
    platform.secrets.items[tokenItem] = "old";
    const auto before = platform.loop.pendingSources();
    for (const json& body : {json("disconnectSync"), json(3), json::array({"type", "x"}), json()})
        platform.webView->post("companion", body);
    EXPECT_EQ(platform.loop.pendingSources(), before) << "what is not an object is dropped";
    platform.webView->post("companion", {{"type", "disconnectSync"}});
    platform.webView->post("companion", {{"type", "saveSyncToken"}, {"token", validToken}});
    EXPECT_EQ(platform.secrets.items.at(tokenItem), "old") << "not inside the delivering call";
    platform.loop.runPending();
    EXPECT_EQ(platform.secrets.items.at(tokenItem), validToken) << "in order";

    const auto handler = platform.webView->handler("companion").lock();
    handler->didReceiveScriptMessage({{"type", "disconnectSync"}});
    controller.reset();
    platform.loop.runPending();
    EXPECT_EQ(platform.secrets.items.size(), 1u) << "no controller, nothing handled";
}

}  // namespace
}  // namespace quillo
