#include "companion/CompanionController.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "fakes/FakePlatform.h"
#include "support/ControllerProbe.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using namespace std::chrono_literals;
using Probe = CompanionControllerProbe;

class CompanionControllerCoreTest : public ::testing::Test {
protected:
    CompanionControllerCoreTest() {
        platform.env.home = home.path() / "home";
        platform.env.bundle = home.path() / "bundle";
        std::filesystem::create_directories(platform.env.bundle);
        std::ofstream(platform.env.bundle / "index.html") << "<!doctype html>";
    }

    testing::TempDir home;
    testing::FakePlatform platform;
};

TEST_F(CompanionControllerCoreTest, ConstructionBuildsTheGraphInOrderAndShowsNothing) {
    auto controller = CompanionController::create(platform);
    EXPECT_THAT(platform.log,
                ElementsAre("createWebView", "createPanel 64x64", "addScriptMessageHandler companion",
                            "configureFloating", "setContent", "setLoadFinishedHandler",
                            "setTransparentBackground", "setMagnificationAllowed false"));
    EXPECT_FALSE(platform.panel->visible);
    EXPECT_FALSE(platform.webView->loadedFile());
    EXPECT_EQ(platform.loop.pendingSources(), 0u);
}

TEST_F(CompanionControllerCoreTest, StartShowsThePanelThenLoadsThePageFromTheBundle) {
    auto controller = CompanionController::create(platform);
    platform.log.clear();
    controller->start();
    const auto page = platform.env.bundle / "index.html";
    EXPECT_THAT(platform.log, ElementsAre("showWithoutFocus", "loadFile " + page.string()));
    EXPECT_TRUE(Probe::hasTimers(*controller));
}

TEST_F(CompanionControllerCoreTest, StartWithoutThePageStopsWithTheFatalMessage) {
    std::filesystem::remove(platform.env.bundle / "index.html");
    auto controller = CompanionController::create(platform);
    EXPECT_DEATH(controller->start(), "^Missing bundled companion page\n");
}

TEST_F(CompanionControllerCoreTest, PageReadinessWaitsForTheFinishedLoad) {
    auto controller = CompanionController::create(platform);
    controller->start();
    platform.loop.advance(10s);
    EXPECT_FALSE(Probe::isPageReady(*controller));
    platform.webView->finishLoad();
    EXPECT_TRUE(Probe::isPageReady(*controller));
}

TEST_F(CompanionControllerCoreTest, TearDownCancelsTimersAndRemovesTheHandler) {
    auto controller = CompanionController::create(platform);
    controller->start();
    auto* webView = platform.webView;
    // The web view outlives nothing here, so check the handler through a copy of the pointer that
    // the controller's destructor must clear before the view goes.
    EXPECT_TRUE(webView->hasHandler("companion"));
    controller.reset();
    EXPECT_EQ(platform.loop.pendingSources(), 0u);
}

TEST_F(CompanionControllerCoreTest, NothingOwnedByTheControllerKeepsItAlive) {
    auto controller = CompanionController::create(platform);
    controller->start();
    std::weak_ptr<CompanionController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
}

// --- The bridge

class CompanionBridgeTest : public CompanionControllerCoreTest {
protected:
    void SetUp() override {
        controller = CompanionController::create(platform);
        controller->start();
        platform.webView->finishLoad();
        platform.loop.runPending();
        platform.webView->clearScripts();
    }
    std::shared_ptr<CompanionController> controller;
};

TEST_F(CompanionBridgeTest, MessagesAreHandledOnALaterTurnInPostingOrder) {
    platform.secrets.items[{"app.quillo.companion", "agent-token"}] = std::string(50, 'x');
    platform.webView->post("companion", {{"type", "disconnectSync"}});
    EXPECT_EQ(platform.secrets.items.size(), 1u) << "handled inside the delivering call";
    platform.loop.runPending();
    EXPECT_TRUE(platform.secrets.items.empty());
}

TEST_F(CompanionBridgeTest, BodiesThatAreNotObjectsAreDropped) {
    const auto before = platform.loop.pendingSources();
    for (const auto& body : {nlohmann::json("disconnectSync"), nlohmann::json(3),
                             nlohmann::json::array({"type", "disconnectSync"}), nlohmann::json()}) {
        platform.webView->post("companion", body);
    }
    EXPECT_EQ(platform.loop.pendingSources(), before);
    platform.webView->post("companion", {{"type", "dragEnd"}});
    EXPECT_EQ(platform.loop.pendingSources(), before + 1) << "an object is re-posted";
}

TEST_F(CompanionBridgeTest, AMessageArrivingAfterTheControllerIsGoneDoesNothing) {
    auto handler = platform.webView->handler("companion").lock();
    ASSERT_TRUE(handler);
    handler->didReceiveScriptMessage({{"type", "disconnectSync"}});
    platform.secrets.items[{"app.quillo.companion", "agent-token"}] = "kept";
    controller.reset();
    platform.loop.runPending();
    EXPECT_EQ(platform.secrets.items.size(), 1u);
}

}  // namespace
}  // namespace quillo
