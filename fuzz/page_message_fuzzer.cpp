// Feeds the page's message handler whatever the page could post: one JSON value per line of the
// input (objects, scalars, arrays, or nothing when a line is not JSON), through the bridge as the
// web view delivers it and straight into handle(). Between messages the clock moves on, so
// animations end and wander steps run; an upload in flight is answered with the line itself.
#include <chrono>
#include <cstdint>
#include <string_view>

#include "FuzzCompanion.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace std::chrono_literals;
    quillo::fuzzing::Companion companion;
    auto& platform = companion.platform;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (std::size_t start = 0; start <= input.size();) {
        const auto end = std::min(input.find('\n', start), input.size());
        const std::string line(input.substr(start, end - start));
        start = end + 1;
        const auto body = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
        platform.clipboardText.text = line;
        platform.webView->post("companion", body);
        companion.controller->handle(body);
        platform.loop.runPending();
        if (platform.http.inFlight() > 0)
            platform.http.completeNext(
                {std::nullopt, 400 + static_cast<long>(line.size() % 200), line});
        platform.loop.advance(700ms);
    }
    return 0;
}
