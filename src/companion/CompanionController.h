#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "diary/DiaryAggregate.h"
#include "diary/DiaryEntry.h"
#include "platform/Platform.h"
#include "sync/QuilloSyncService.h"

namespace quillo {

class CompanionBridge;
struct CompanionControllerProbe;  // read access for tests only; defined by the tests

// Holds the whole companion together: the floating panel, the web view showing the page, the page
// bridge, the sync client, the timers and every piece of mutable state. Lives on the main loop only.
class CompanionController : public std::enable_shared_from_this<CompanionController> {
public:
    struct Layout {
        static constexpr Size collapsed{64, 64};
        static constexpr Size expanded{370, 500};
        static constexpr double screenInset = 18;
    };

    // Builds everything, shows and loads nothing. The platform must outlive the controller.
    static std::shared_ptr<CompanionController> create(Platform& platform);
    ~CompanionController();
    CompanionController(const CompanionController&) = delete;
    CompanionController& operator=(const CompanionController&) = delete;

    void start();
    // The page has finished loading (first load or any reload).
    void webViewDidFinish();
    // One message the page posted, already on the main loop.
    void handle(const nlohmann::json& message);

    // Today's diary.
    std::string localDateString() const;
    std::vector<DiaryEntry> diaryEntries() const;
    void refreshDiary(bool notify);
    void pushDiary(const DiaryAggregate& aggregate);

    // Sync flow. A person who asks ("syncNow") is told every refusal; the automatic triggers
    // (page load, a diary change, a token save) pass over a day with nothing to sync quietly.
    enum class SyncRequest { byPerson, automatic };
    void pushSyncState(std::optional<std::string> status, std::optional<std::string> message);
    void syncCurrentDiary(SyncRequest request = SyncRequest::byPerson);
    void openSyncSetup();
    void pasteSyncToken();
    void connect(const std::string& token);

    // Window behaviour.
    std::optional<Screen> activeScreen() const;
    Point clamped(Point origin, Size size) const;
    void setExpanded(bool expanded);
    void toggleExpanded();
    void beginDrag(const nlohmann::json& body);
    void continueDrag(const nlohmann::json& body);
    void endDrag();
    void savePosition(std::optional<Point> origin = std::nullopt);
    void restorePosition();
    void scheduleNextWander();
    void wander();

    // Auxiliary features.
    std::optional<std::filesystem::path> tansyPythonURL() const;
    void refreshTansySummary();
    // False only when nothing the reader reads has changed since its last successful read.
    bool tansySummaryMayHaveChanged() const;
    void openCalendar();
    void captureIfRequested();

private:
    friend struct CompanionControllerProbe;

    explicit CompanionController(Platform& platform);
    std::string tansySummaryInputs(const std::filesystem::path& python,
                                   const std::filesystem::path& script) const;
    void configureWindow();
    void configureWebView();
    void uploadCurrentDiary();
    void uploadFinished(const std::optional<QuilloSyncError>& error);
    // Moves the window by this much from where the drag started, fitted to the monitor under the
    // pointer when the window system says where that is.
    void dragBy(Point moved, std::optional<Point> pointer);

    Platform& platform_;

    std::unique_ptr<PanelWindow> panel;
    std::unique_ptr<WebView> webView;
    std::shared_ptr<CompanionBridge> bridge;
    std::unique_ptr<QuilloSyncService> syncService;
    SourceHandle diaryTimer;
    SourceHandle tansySummaryTimer;
    SourceHandle wanderWorkItem;
    std::string lastDiarySnapshot;
    DiaryAggregate lastDiaryAggregate;
    std::string tansySummaryContent;
    bool isTansySummaryRefreshRunning = false;
    // What the reader's answer depends on, as found when the running read started and at the
    // last successful read; empty when it cannot be vouched for.
    std::string tansySummaryInputsOfRunningRead;
    std::string tansySummaryInputsOfLastRead;
    bool isSyncing = false;
    // Something asked for an upload while one was in flight: one more follows it, with the
    // diary as it is then, however many asked.
    bool isSyncFollowUpRequested = false;
    // The upload two seconds after a page load, until it starts.
    SourceHandle syncAfterLoad;
    bool isPageReady = false;
    bool isExpanded = false;
    bool isDragging = false;
    Point dragScreenStart;
    Point dragWindowStart;
    // Where the pointer was pressed for the drag, in points.
    Point dragPointerStart;
    std::optional<Point> collapsedOriginBeforeExpansion;
    bool captureStarted = false;
    // The day whose diary folders are under watch, and the one refresh a burst of changes is
    // waiting for.
    std::string watchedDayKey;
    std::vector<SourceHandle> diaryWatches;
    SourceHandle diaryChangeDebounce;
};

}  // namespace quillo
