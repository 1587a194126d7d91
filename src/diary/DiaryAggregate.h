#pragma once

#include <string>

namespace quillo {

// Today's merged diary and the label naming the sources that contributed to it.
struct DiaryAggregate {
    std::string content;
    std::string sourceLabel;
    friend bool operator==(const DiaryAggregate&, const DiaryAggregate&) = default;
};

}  // namespace quillo
