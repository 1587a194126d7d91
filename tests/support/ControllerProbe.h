#pragma once

#include "companion/CompanionController.h"

namespace quillo {

// Read access to the controller's private state, for tests only; the one definition of the probe.
struct CompanionControllerProbe {
    using C = CompanionController;
    static bool isPageReady(const C& c) { return c.isPageReady; }
    static WebView& webView(const C& c) { return *c.webView; }
    static const std::string& lastDiarySnapshot(const C& c) { return c.lastDiarySnapshot; }
    static const DiaryAggregate& lastDiaryAggregate(const C& c) { return c.lastDiaryAggregate; }
    static bool isSyncing(const C& c) { return c.isSyncing; }
    static bool isExpanded(const C& c) { return c.isExpanded; }
    static bool isDragging(const C& c) { return c.isDragging; }
    static std::optional<Point> collapsedOriginBeforeExpansion(const C& c) {
        return c.collapsedOriginBeforeExpansion;
    }
    static bool hasWanderWorkItem(const C& c) { return static_cast<bool>(c.wanderWorkItem); }
    static const std::string& tansySummaryContent(const C& c) { return c.tansySummaryContent; }
    static bool isTansySummaryRefreshRunning(const C& c) { return c.isTansySummaryRefreshRunning; }
    static bool captureStarted(const C& c) { return c.captureStarted; }
};

}  // namespace quillo
