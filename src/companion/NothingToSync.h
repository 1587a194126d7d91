#pragma once

#include "diary/DiaryAggregate.h"

namespace quillo::NothingToSync {

// Shown instead of an upload when no source has written anything today.
inline constexpr const char* message = "今天还没有可同步的内容";

// A day to which no source contributed merges to the bare headings; uploading that would replace
// whatever review the service already holds for the day with an empty one. The aggregator names
// such a day by its label alone, so the label is the test (the content always has a heading).
inline bool applies(const DiaryAggregate& diary) { return diary.sourceLabel == "本地记忆"; }

}  // namespace quillo::NothingToSync
