#pragma once

#include <string>

namespace quillo {

// One source's diary text for today, exactly as read.
struct DiaryEntry {
    std::string source;
    std::string content;
    friend bool operator==(const DiaryEntry&, const DiaryEntry&) = default;
};

}  // namespace quillo
