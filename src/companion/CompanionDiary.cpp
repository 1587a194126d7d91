#include <chrono>

#include "CompanionController.h"
#include "DiaryPayload.h"
#include "diary/DiaryAggregator.h"
#include "diary/TodayDiary.h"

namespace quillo {

using namespace std::chrono_literals;

namespace {
// Editors and agents write a file in several steps (truncate, write, rename, touch); one refresh
// shortly after the first of them sees the finished file and spares the page a push per step.
constexpr auto diaryChangeCoalescing = 100ms;
}  // namespace

std::string CompanionController::localDateString() const {
    return TodayDiary::dayKey(platform_.environment().now());
}

std::vector<DiaryEntry> CompanionController::diaryEntries() const {
    return TodayDiary::entries(platform_.environment().homeDirectory(), localDateString(),
                               tansySummaryContent);
}

void CompanionController::refreshDiary(bool notify) {
    if (!isPageReady) return;

    // The watches only make a change arrive sooner than the next tick; the tick alone stays
    // correct. Re-arming before reading means a write after this point is reported, and one
    // before it is read below. After midnight the watches follow the new day's folders.
    if (auto dayKey = localDateString(); dayKey != watchedDayKey) {
        diaryWatches.clear();
        for (const auto& folder :
             TodayDiary::dayFolders(platform_.environment().homeDirectory(), dayKey)) {
            diaryWatches.push_back(
                platform_.directoryWatcher().watch(folder, [weakSelf = weak_from_this()] {
                    const auto self = weakSelf.lock();
                    // A burst of events gets one refresh: later ones fall into the pending one.
                    if (!self || self->diaryChangeDebounce) return;
                    self->diaryChangeDebounce =
                        self->platform_.mainLoop().postDelayed(diaryChangeCoalescing, [weakSelf] {
                            const auto self = weakSelf.lock();
                            if (!self) return;
                            self->diaryChangeDebounce = {};
                            self->refreshDiary(true);
                        });
                }));
        }
        watchedDayKey = std::move(dayKey);
    }

    const auto entries = diaryEntries();
    auto snapshot = TodayDiary::snapshot(entries);
    if (notify && snapshot == lastDiarySnapshot) return;

    const bool absorb = !lastDiarySnapshot.empty() && lastDiarySnapshot != snapshot;
    lastDiarySnapshot = std::move(snapshot);
    lastDiaryAggregate = DiaryAggregator::aggregate(entries);
    pushDiary(lastDiaryAggregate);

    if (!notify) return;
    if (absorb) webView->evaluateScript("window.quilloAbsorb?.()");
    // Every change goes up, the day's first entry too: an agent that writes once in the evening
    // must not wait for a later change that never comes. The upload due after a page load, not
    // started yet, takes the change along.
    if (!syncAfterLoad && syncService->isConnected()) syncCurrentDiary(SyncRequest::automatic);
}

void CompanionController::pushDiary(const DiaryAggregate& aggregate) {
    const auto payload =
        DiaryPayload::json(TodayDiary::displayDate(platform_.environment().now()), aggregate);
    if (!payload) return;
    webView->evaluateScript("window.quilloSetDiary?.(" + *payload + ")");
}

}  // namespace quillo
