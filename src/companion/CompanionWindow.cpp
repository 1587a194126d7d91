// Placeholder until window behaviour lands; replaced by its owner.
#include "CompanionController.h"

namespace quillo {
std::optional<Screen> CompanionController::activeScreen() const { return std::nullopt; }
Point CompanionController::clamped(Point origin, Size) const { return origin; }
void CompanionController::setExpanded(bool) {}
void CompanionController::toggleExpanded() {}
void CompanionController::beginDrag(const nlohmann::json&) {}
void CompanionController::continueDrag(const nlohmann::json&) {}
void CompanionController::endDrag() {}
void CompanionController::savePosition(std::optional<Point>) {}
void CompanionController::restorePosition() {}
void CompanionController::scheduleNextWander() {}
void CompanionController::wander() {}
}  // namespace quillo
