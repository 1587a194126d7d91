// Placeholder until the auxiliary features land; replaced by its owner.
#include "CompanionController.h"

namespace quillo {
std::optional<std::filesystem::path> CompanionController::tansyPythonURL() const { return {}; }
void CompanionController::refreshTansySummary() {}
void CompanionController::openCalendar() {}
void CompanionController::captureIfRequested() {}
}  // namespace quillo
