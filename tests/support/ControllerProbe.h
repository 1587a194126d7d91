#pragma once

#include "companion/CompanionController.h"

namespace quillo {

// Read access to the controller's private state, for tests only.
struct CompanionControllerProbe {
    // Append accessors as tests need them; this is the only definition of the probe.
    static bool isPageReady(const CompanionController& c) { return c.isPageReady; }
    static const std::string& lastDiarySnapshot(const CompanionController& c) {
        return c.lastDiarySnapshot;
    }
    static const DiaryAggregate& lastDiaryAggregate(const CompanionController& c) {
        return c.lastDiaryAggregate;
    }
    static bool hasTimers(const CompanionController& c) {
        return static_cast<bool>(c.diaryTimer) && static_cast<bool>(c.tansySummaryTimer);
    }
    // Window behaviour.
    static bool isExpanded(const CompanionController& c) { return c.isExpanded; }
    static bool isDragging(const CompanionController& c) { return c.isDragging; }
    static std::optional<Point> collapsedOriginBeforeExpansion(const CompanionController& c) {
        return c.collapsedOriginBeforeExpansion;
    }
    static bool hasWanderWorkItem(const CompanionController& c) {
        return static_cast<bool>(c.wanderWorkItem);
    }
    // Auxiliary features.
    static const std::string& tansySummaryContent(const CompanionController& c) {
        return c.tansySummaryContent;
    }
    static bool isTansySummaryRefreshRunning(const CompanionController& c) {
        return c.isTansySummaryRefreshRunning;
    }
    static bool captureStarted(const CompanionController& c) { return c.captureStarted; }
    // Today's diary.
    static WebView& webView(const CompanionController& c) { return *c.webView; }
    // Sync flow.
    static bool isSyncing(const CompanionController& c) { return c.isSyncing; }
};

}  // namespace quillo
