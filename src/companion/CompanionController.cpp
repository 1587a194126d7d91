#include "CompanionController.h"

#include <chrono>

#include "CompanionBridge.h"
#include "diary/DiaryAggregator.h"
#include "platform/Fatal.h"

namespace quillo {

using namespace std::chrono_literals;

namespace {
constexpr auto diaryRefreshInterval = 1500ms;
constexpr auto summaryRefreshInterval = 60s;
constexpr auto syncAfterLoadDelay = 2000ms;
constexpr const char* handlerName = "companion";
}  // namespace

std::shared_ptr<CompanionController> CompanionController::create(Platform& platform) {
    std::shared_ptr<CompanionController> controller(new CompanionController(platform));
    // Wiring that hands out weak references waits until the controller is owned by a shared_ptr.
    controller->bridge->setOwner(controller);
    controller->webView->addScriptMessageHandler(handlerName, controller->bridge);
    controller->configureWindow();
    controller->configureWebView();
    return controller;
}

CompanionController::CompanionController(Platform& platform)
    : platform_(platform),
      bridge(std::make_shared<CompanionBridge>(platform.mainLoop())),
      syncService(std::make_unique<QuilloSyncService>(
          platform.secretStore(), platform.httpClient(), platform.environment())),
      lastDiaryAggregate(DiaryAggregator::aggregate({})) {
    webView = platform.createWebView();
    panel = platform.createPanel(Layout::collapsed);
}

CompanionController::~CompanionController() {
    diaryTimer.cancel();
    tansySummaryTimer.cancel();
    wanderWorkItem.cancel();
    syncAfterLoad.cancel();
    webView->removeScriptMessageHandler(handlerName);
}

void CompanionController::configureWindow() {
    panel->configureFloating();
    panel->setContent(*webView);
}

void CompanionController::configureWebView() {
    webView->setLoadFinishedHandler([weakSelf = weak_from_this()] {
        if (auto self = weakSelf.lock()) self->webViewDidFinish();
    });
    webView->setTransparentBackground();
    webView->setMagnificationAllowed(false);
}

void CompanionController::start() {
    const auto page = platform_.environment().resourceBundle() / "index.html";
    std::error_code error;
    if (!std::filesystem::is_regular_file(page, error)) fatalError("Missing bundled companion page");

    restorePosition();
    panel->showWithoutFocus();
    webView->loadFile(page);

    auto weakSelf = weak_from_this();
    diaryTimer = platform_.mainLoop().repeating(diaryRefreshInterval, [weakSelf] {
        if (auto self = weakSelf.lock()) self->refreshDiary(true);
    });
    tansySummaryTimer = platform_.mainLoop().repeating(summaryRefreshInterval, [weakSelf] {
        if (auto self = weakSelf.lock(); self && self->tansySummaryMayHaveChanged())
            self->refreshTansySummary();
    });
    scheduleNextWander();
}

void CompanionController::webViewDidFinish() {
    isPageReady = true;
    lastDiarySnapshot.clear();
    refreshDiary(false);
    refreshTansySummary();
    pushSyncState(std::nullopt, std::nullopt);
    if (syncService->isConnected()) {
        // A reload within the delay moves the upload instead of adding one.
        syncAfterLoad =
            platform_.mainLoop().postDelayed(syncAfterLoadDelay, [weakSelf = weak_from_this()] {
                const auto self = weakSelf.lock();
                if (!self) return;
                self->syncAfterLoad = {};
                self->syncCurrentDiary(SyncRequest::automatic);
            });
    }
    captureIfRequested();
}

void CompanionController::handle(const nlohmann::json& message) {
    const auto type = message.find("type");
    if (type == message.end() || !type->is_string()) return;
    const auto& kind = type->get_ref<const std::string&>();

    if (kind == "expanded") {
        const auto value = message.find("value");
        setExpanded(value != message.end() && value->is_boolean() && value->get<bool>());
    } else if (kind == "dragStart") {
        beginDrag(message);
    } else if (kind == "dragMove") {
        continueDrag(message);
    } else if (kind == "dragEnd") {
        endDrag();
    } else if (kind == "openCalendar") {
        openCalendar();
    } else if (kind == "openSyncSetup") {
        openSyncSetup();
    } else if (kind == "pasteSyncToken") {
        pasteSyncToken();
    } else if (kind == "saveSyncToken") {
        const auto token = message.find("token");
        connect(token != message.end() && token->is_string() ? token->get<std::string>()
                                                             : std::string());
    } else if (kind == "syncNow") {
        syncCurrentDiary(SyncRequest::byPerson);
    } else if (kind == "disconnectSync") {
        syncService->deleteToken();
        pushSyncState(std::nullopt, QuilloSyncService::disconnectedMessage);
    }
}

}  // namespace quillo
