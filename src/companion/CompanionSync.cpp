#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "CompanionController.h"
#include "NothingToSync.h"
#include "sync/UnicodeText.h"

namespace quillo {

namespace {

constexpr const char* connectPage = "/settings?connect=companion";
constexpr const char* syncingMessage = "正在同步今天的记忆";

// Compact JSON of a value built here; nothing when a text in it is not valid UTF-8.
std::optional<std::string> compactJSON(const nlohmann::json& value) {
    try {
        return value.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace

void CompanionController::pushSyncState(std::optional<std::string> status,
                                        std::optional<std::string> message) {
    if (!isPageReady) return;
    const bool connected = syncService->isConnected();
    const nlohmann::json state = {
        {"connected", connected},
        {"status", status      ? std::move(*status)
                   : connected ? "connected"
                               : "disconnected"},
        {"message", message     ? std::move(*message)
                    : connected ? "已连接 Quillo"
                                : "连接后可跨设备查看"},
    };
    if (const auto text = compactJSON(state))
        webView->evaluateScript("window.quilloSetSyncState?.(" + *text + ")");
}

void CompanionController::syncCurrentDiary(SyncRequest request) {
    if (isSyncing) {
        isSyncFollowUpRequested = true;
        return;
    }
    if (!syncService->isConnected()) {
        pushSyncState(std::nullopt,
                      std::string("连接后可同步到 ") + QuilloSyncService::defaultHost);
        return;
    }
    if (NothingToSync::applies(lastDiaryAggregate)) {
        // Timers find empty days all the time; only a person who asked hears the refusal.
        if (request == SyncRequest::byPerson)
            pushSyncState("error", NothingToSync::message);
        else
            pushSyncState(std::nullopt, std::nullopt);
        return;
    }
    uploadCurrentDiary();
}

void CompanionController::uploadCurrentDiary() {
    isSyncing = true;
    pushSyncState("syncing", syncingMessage);
    // The completion may run on the HTTP worker or, for a local failure, inside sync() itself.
    // Either way the result is handled on a later main-loop turn, where all controller state
    // lives. The main loop belongs to the platform, which outlives the controller.
    MainLoop& mainLoop = platform_.mainLoop();
    syncService->sync(
        localDateString(), lastDiaryAggregate.content,
        [weakSelf = weak_from_this(), &mainLoop](std::optional<QuilloSyncError> error) {
            mainLoop.post([weakSelf, error = std::move(error)] {
                if (const auto self = weakSelf.lock()) self->uploadFinished(error);
            });
        });
}

void CompanionController::uploadFinished(const std::optional<QuilloSyncError>& error) {
    isSyncing = false;
    // The page keeps showing "syncing" through the follow-up; when the follow-up cannot start
    // (disconnected meanwhile, nothing left to sync), this upload's own result is the news.
    if (std::exchange(isSyncFollowUpRequested, false) && syncService->isConnected() &&
        !NothingToSync::applies(lastDiaryAggregate)) {
        uploadCurrentDiary();
        return;
    }
    if (error)
        pushSyncState("error", error->errorDescription());
    else
        pushSyncState("synced", "今天的记忆已同步");
}

void CompanionController::openSyncSetup() {
    platform_.workspace().openURI(std::string(QuilloSyncService::defaultWebAddress) + connectPage);
}

void CompanionController::pasteSyncToken() {
    platform_.clipboard().requestText(
        [weakSelf = weak_from_this()](std::optional<std::string> text) {
            const auto self = weakSelf.lock();
            if (!self) return;
            const auto token = text ? unicode::trimmedWhitespace(*text) : std::string_view();
            if (token.empty()) {
                self->pushSyncState("error", "剪贴板里没有连接令牌");
                return;
            }
            // Offered to the page only; it is stored when the page sends it back to be saved.
            if (const auto json = compactJSON({{"token", std::string(token)}}))
                self->webView->evaluateScript("window.quilloSetSyncToken?.(" + *json + ")");
        });
}

void CompanionController::connect(const std::string& token) {
    if (const auto error = syncService->saveToken(token)) {
        pushSyncState("error", error->errorDescription());
        return;
    }
    if (!isPageReady) return;
    if (isSyncing) {
        // The upload in flight may have gone out with the previous token; one more follows.
        isSyncFollowUpRequested = true;
        pushSyncState("syncing", syncingMessage);
    } else if (NothingToSync::applies(lastDiaryAggregate)) {
        // "正在同步" would promise an upload that is not coming.
        pushSyncState(std::nullopt, std::nullopt);
    } else {
        pushSyncState("connected", "已连接，正在同步");
        syncCurrentDiary(SyncRequest::automatic);
    }
}

}  // namespace quillo
