#include "FakePlatform.h"

namespace quillo::testing {

FakePlatform::FakePlatform() {
    // One 1600 x 900 monitor with a 28-point panel at the top, as on a default desktop.
    screenList.screens = {Screen{{{0, 0}, {1600, 900}}, {{0, 0}, {1600, 872}}}};
    env.start = std::chrono::system_clock::from_time_t(1796558400);  // 2026-12-06 12:00 UTC
}

std::unique_ptr<WebView> FakePlatform::createWebView() {
    log.push_back("createWebView");
    auto view = std::make_unique<FakeWebView>(log);
    webView = view.get();
    return view;
}

std::unique_ptr<PanelWindow> FakePlatform::createPanel(Size contentSize) {
    log.push_back("createPanel " + std::to_string(static_cast<int>(contentSize.width)) + "x" +
                  std::to_string(static_cast<int>(contentSize.height)));
    auto window = std::make_unique<FakePanelWindow>(log, loop, contentSize);
    panel = window.get();
    return window;
}

}  // namespace quillo::testing
