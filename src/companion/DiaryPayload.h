#pragma once

#include <optional>
#include <string>

#include "diary/DiaryAggregate.h"

namespace quillo::DiaryPayload {

// The object the page's diary function receives, {"title","source","content"}, as compact JSON
// with non-ASCII characters left as they are. Nothing when a text is not valid UTF-8.
std::optional<std::string> json(const std::string& title, const DiaryAggregate& aggregate);

}  // namespace quillo::DiaryPayload
