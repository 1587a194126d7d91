#include "UnicodeText.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>

namespace quillo::unicode {

namespace {

// ICU indexes with int32_t; texts beyond that are cut at the largest index it can address, which
// is far past any limit asked of it here.
int32_t clampedLength(std::string_view text) {
    return static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
}

// Where the clusters of the text end, as byte offsets, one after another.
class ClusterBoundaries {
public:
    explicit ClusterBoundaries(std::string_view text) {
        UErrorCode status = U_ZERO_ERROR;
        // Over the UTF-8 bytes themselves: the boundaries come back as byte offsets, and no copy
        // of a large diary is made to cut off its head.
        text_ = utext_openUTF8(nullptr, text.data(), clampedLength(text), &status);
        characters_.reset(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_SUCCESS(status) && text_ && characters_) characters_->setText(text_, status);
        usable_ = U_SUCCESS(status) && text_ && characters_;
    }
    ~ClusterBoundaries() {
        characters_.reset();
        if (text_) utext_close(text_);
    }
    ClusterBoundaries(const ClusterBoundaries&) = delete;
    ClusterBoundaries& operator=(const ClusterBoundaries&) = delete;

    bool usable() const { return usable_; }
    // The end of the next cluster, or nothing at the end of the text.
    std::optional<std::size_t> next() {
        const int32_t end = characters_->next();
        if (end == icu::BreakIterator::DONE) return std::nullopt;
        return static_cast<std::size_t>(end);
    }

private:
    UText* text_ = nullptr;
    std::unique_ptr<icu::BreakIterator> characters_;
    bool usable_ = false;
};

// The code point starting at `offset`, or a negative value for an ill-formed sequence; moves
// `offset` past what it read.
UChar32 nextCodePoint(std::string_view text, int32_t& offset) {
    UChar32 c = 0;
    U8_NEXT(text.data(), offset, clampedLength(text), c);
    return c;
}

}  // namespace

bool isValidUTF8(std::string_view text) {
    if (text.size() > INT32_MAX) return false;
    for (int32_t offset = 0; offset < clampedLength(text);) {
        if (nextCodePoint(text, offset) < 0) return false;
    }
    return true;
}

std::string replacingInvalidUTF8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    const int32_t length = clampedLength(text);
    for (int32_t offset = 0; offset < length;) {
        const int32_t start = offset;
        if (nextCodePoint(text, offset) < 0) {
            result += "\xEF\xBF\xBD";
        } else {
            result.append(text.substr(static_cast<std::size_t>(start),
                                      static_cast<std::size_t>(offset - start)));
        }
    }
    return result;
}

std::string_view trimmedWhitespace(std::string_view text) {
    const int32_t length = clampedLength(text);
    int32_t start = 0;
    while (start < length) {
        int32_t after = start;
        const UChar32 c = nextCodePoint(text, after);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        start = after;
    }
    int32_t end = length;
    while (end > start) {
        int32_t before = end;
        UChar32 c = 0;
        U8_PREV(text.data(), start, before, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = before;
    }
    return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

bool hasAtLeastGraphemes(std::string_view text, std::size_t count) {
    if (count == 0) return true;
    ClusterBoundaries boundaries(text);
    if (!boundaries.usable()) return false;
    for (std::size_t seen = 0; boundaries.next();) {
        if (++seen == count) return true;
    }
    return false;
}

std::string_view graphemePrefix(std::string_view text, std::size_t count) {
    if (count == 0) return text.substr(0, 0);
    ClusterBoundaries boundaries(text);
    if (!boundaries.usable()) return text.substr(0, 0);
    std::size_t seen = 0;
    while (const auto end = boundaries.next()) {
        if (++seen == count) return text.substr(0, *end);
    }
    return text;
}

}  // namespace quillo::unicode
