#pragma once

#include <vector>

#include "DiaryAggregate.h"
#include "DiaryEntry.h"

namespace quillo::DiaryAggregator {

// Merges the sources' texts (UTF-8) into one document with the two fixed sections. Never fails;
// text that is not valid UTF-8 is read with replacement characters rather than rejected.
DiaryAggregate aggregate(const std::vector<DiaryEntry>& entries);

}  // namespace quillo::DiaryAggregator
