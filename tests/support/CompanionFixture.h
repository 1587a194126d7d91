#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "companion/CompanionController.h"
#include "diary/TodayDiary.h"
#include "fakes/FakePlatform.h"
#include "support/TempDir.h"

namespace quillo::testing {

// A well-formed token, and where the sync service keeps it.
inline const std::string validToken = "qlo_live_" + std::string(31, 'k');
inline const std::pair<std::string, std::string> tokenItem{"app.quillo.companion", "agent-token"};

// A controller on the fakes, its page in a bundle and its home in a throwaway folder.
class CompanionFixture : public ::testing::Test {
protected:
    CompanionFixture() {
        platform.env.home = dir.path() / "home";
        platform.env.bundle = dir.path() / "bundle";
        writeFile(platform.env.bundle / "index.html", "<!doctype html>");
    }
    CompanionController& create() {
        controller = CompanionController::create(platform);
        return *controller;
    }
    // Created, started and its page loaded, with what the load posted run.
    void load() {
        create().start();
        platform.webView->finishLoad();
        platform.loop.runPending();
    }
    // Posts a page message through the bridge and lets the main loop deliver it.
    void post(const nlohmann::json& message) {
        platform.webView->post("companion", message);
        platform.loop.runPending();
    }
    // A source's diary file (0: KILN, 1: Tansy工作) of the day, by default today.
    std::filesystem::path diaryFile(std::size_t source = 0, std::string day = {}) const {
        if (day.empty()) day = TodayDiary::dayKey(platform.env.now());
        return TodayDiary::diaryFile(platform.env.home, TodayDiary::sources[source], day);
    }
    void writeDiary(const std::string& text, std::size_t source = 0) {
        writeFile(diaryFile(source), text);
    }
    std::vector<nlohmann::json> syncStates() const {
        return platform.webView->argumentsOf("quilloSetSyncState");
    }

    TempDir dir;
    FakePlatform platform;
    std::shared_ptr<CompanionController> controller;
};

}  // namespace quillo::testing
