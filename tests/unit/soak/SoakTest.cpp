// Hours of use in virtual time leave the companion's sources, flags and page as they were. Whether
// memory leaks is LeakSanitizer's to say, in the sanitizer build.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>

#include "support/CompanionFixture.h"
#include "support/ControllerProbe.h"

namespace quillo {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Probe = CompanionControllerProbe;
using SoakTest = testing::CompanionFixture;

// The outcomes an upload meets, in turn: accepted, token refused, server error, unreachable.
const HttpResponse outcomes[] = {
    {std::nullopt, 201, "{}"},
    {std::nullopt, 401, R"({"error":"Invalid or insufficient agent token"})"},
    {std::nullopt, 500, "<html>busy</html>"},
    {"Connection refused", std::nullopt, ""}};

TEST_F(SoakTest, ThousandsOfChangesUploadsStepsAndToggles_LeaveNothingBehind) {
    std::tm tenOClock{0, 0, 10, 5, 11, 126, 0, 0, -1, 0, nullptr};
    platform.env.start = std::chrono::system_clock::from_time_t(std::mktime(&tenOClock));
    platform.screenList.screens = {{{{0, 0}, {1600, 900}}, {{0, 40}, {1600, 832}}}};
    platform.secrets.items[testing::tokenItem] = testing::validToken;
    // Rewritten in place at one length: a truncating rewrite makes the file system flush each time.
    writeDiary("");
    const auto writeDiaryInPlace = [&](int n) {
        char text[64];
        std::snprintf(text, sizeof text, "## 今天做了什么\n第%05d次改动。\n", n);
        std::fstream(diaryFile(), std::ios::in | std::ios::out) << text;
    };
    writeDiaryInPlace(0);
    load();
    // The most sources pending at once over ten quiet seconds, which hold one wander step.
    const auto settle = [&] {
        std::size_t most = 0;
        for (int tick = 0; tick < 100; ++tick) {
            while (platform.http.inFlight() > 0) platform.http.completeNext(outcomes[0]);
            while (platform.processes.inFlight() > 0) platform.processes.completeNext({});
            platform.loop.advance(100ms);
            most = std::max(most, platform.loop.pendingSources());
        }
        return most;
    };
    const auto baseline = settle();

    // Each change reaches the page through the folder watch, and the service with the upload
    // that follows the one in flight; every tenth change an upload is answered.
    for (int n = 1; n <= 10000; ++n) {
        writeDiaryInPlace(n);
        platform.watcher.notify(diaryFile().parent_path());
        platform.loop.advance(150ms);
        ASSERT_LE(platform.http.inFlight(), 1u) << "one upload at a time";
        if (n % 10 == 0 && platform.http.inFlight() > 0)
            platform.http.completeNext(outcomes[(n / 10) % 4]);
        if (n % 1000 == 0) {
            EXPECT_EQ(settle(), baseline) << "after " << n << " changes";
        }
    }
    EXPECT_NE(platform.http.requests.back().body.find("第10000次改动。"), std::string::npos);

    // Wander steps every six seconds (the low end of the fake's draws), alternating direction.
    const auto stepsBefore = platform.panel->animations.size();
    for (int step = 0; step < 1000; ++step) {
        platform.randomSource.bools.push_back(step % 2 == 0);
        platform.loop.advance(6s);
    }
    EXPECT_EQ(platform.panel->animations.size() - stepsBefore, 1000u);
    EXPECT_EQ(settle(), baseline) << "after wandering";

    // Open, drag by the header, close: the page's messages as the user makes them.
    const auto send = [&](const Json& message) { platform.webView->post("companion", message); };
    for (int cycle = 0; cycle < 1000; ++cycle) {
        send({{"type", "expanded"}, {"value", true}});
        platform.loop.advance(250ms);
        send({{"type", "dragStart"}, {"screenX", 500}, {"screenY", 400}});
        send({{"type", "dragMove"}, {"screenX", 500 + cycle % 7}, {"screenY", 400 - cycle % 5}});
        send({{"type", "dragEnd"}});
        send({{"type", "expanded"}, {"value", false}});
        platform.loop.advance(250ms);
    }
    EXPECT_EQ(settle(), baseline) << "after expanding and collapsing";
    EXPECT_FALSE(Probe::isExpanded(*controller));
    EXPECT_FALSE(Probe::isDragging(*controller));
    EXPECT_FALSE(Probe::isSyncing(*controller));
}

}  // namespace
}  // namespace quillo
