// Placeholder until today's diary lands; replaced by its owner.
#include "CompanionController.h"

namespace quillo {
std::string CompanionController::localDateString() const { return {}; }
std::vector<DiaryEntry> CompanionController::diaryEntries() const { return {}; }
void CompanionController::refreshDiary(bool) {}
void CompanionController::pushDiary(const DiaryAggregate&) {}
}  // namespace quillo
