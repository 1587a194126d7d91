// Placeholder until the sync flow lands; replaced by its owner.
#include "CompanionController.h"

namespace quillo {
void CompanionController::pushSyncState(std::optional<std::string>, std::optional<std::string>) {}
void CompanionController::syncCurrentDiary() {}
void CompanionController::openSyncSetup() {}
void CompanionController::pasteSyncToken() {}
void CompanionController::connect(const std::string&) {}
}  // namespace quillo
