// Feeds arbitrary bytes to DiaryAggregator::aggregate. An input is a list of entries separated by
// the byte 0x1E (record separator); in each entry the text up to the first line feed is the source
// and the rest is the diary.

#include <unicode/ustring.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "diary/DiaryAggregator.h"

namespace {

constexpr std::string_view kOpening = "## 今天做了什么\n\n";
constexpr std::string_view kLabelSuffix = " · 本地记忆";
constexpr std::string_view kBareLabel = "本地记忆";

bool isValidUtf8(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
    return status != U_INVALID_CHAR_FOUND;
}

void require(bool holds, const char* invariant) {
    if (!holds) std::fprintf(stderr, "broken invariant: %s\n", invariant), std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<quillo::DiaryEntry> entries;
    for (std::size_t start = 0; start <= input.size();) {
        const auto record = input.substr(start, input.find('\x1e', start) - start);
        const auto lineEnd = std::min(record.find('\n'), record.size());
        entries.push_back({std::string(record.substr(0, lineEnd)),
                           std::string(record.substr(std::min(lineEnd + 1, record.size())))});
        start += record.size() + 1;
    }
    const quillo::DiaryAggregate aggregate = quillo::DiaryAggregator::aggregate(entries);

    require(aggregate.content.starts_with(kOpening), "the document opens with the work heading");
    require(isValidUtf8(aggregate.content) && isValidUtf8(aggregate.sourceLabel),
            "the result is valid UTF-8");
    require(aggregate.content == kOpening || !aggregate.content.ends_with('\n'),
            "a document with points has no trailing line feed");

    // The label names, in order and with repeats, exactly the entries that contribute on their
    // own: an entry's contribution depends on nothing but its own text.
    std::string sources;
    bool anyContributes = false;
    for (const quillo::DiaryEntry& entry : entries) {
        const quillo::DiaryAggregate alone = quillo::DiaryAggregator::aggregate({entry});
        if (alone.sourceLabel == kBareLabel) {
            require(alone.content == kOpening, "an entry left out of the label adds no text");
            continue;
        }
        require(alone.sourceLabel.ends_with(kLabelSuffix), "a label ends with the suffix");
        sources += (anyContributes ? " + " : "") +
                   alone.sourceLabel.substr(0, alone.sourceLabel.size() - kLabelSuffix.size());
        anyContributes = true;
    }
    require(aggregate.sourceLabel ==
                (anyContributes ? sources + std::string(kLabelSuffix) : std::string(kBareLabel)),
            "the label lists the contributing sources");
    require((aggregate.content == kOpening) == !anyContributes,
            "the document is bare exactly when no source contributes");
    return 0;
}
