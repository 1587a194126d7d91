// A companion on the test fakes, started, its page loaded, on one 1600 x 900 screen: what the
// fuzz targets that drive the controller start from for every input.
#pragma once

#include <memory>

#include "companion/CompanionController.h"
#include "fakes/FakePlatform.h"
#include "support/TempDir.h"

namespace quillo::fuzzing {

// The page and an empty reader script; home stays an empty folder.
struct Bundle : testing::TempDir {
    Bundle() {
        testing::writeFile(path() / "index.html", "<!doctype html>");
        testing::writeFile(path() / "TansyReader/read_today_summary.py", "");
    }
};

struct Companion {
    Companion() {
        static const Bundle bundle;  // made once per process
        platform.env.bundle = platform.env.home = bundle.path();
        const Screen screen{{{0, 0}, {1600, 900}}, {{0, 40}, {1600, 832}}};
        platform.screenList.screens = {screen};
        controller = CompanionController::create(platform);
        controller->start();
        platform.webView->finishLoad();
        platform.loop.runPending();
    }
    testing::FakePlatform platform;
    std::shared_ptr<CompanionController> controller;
};

}  // namespace quillo::fuzzing
