#include "diary/DiaryAggregator.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillo::DiaryAggregator {
namespace {

// Text is examined as UTF-16 because that is what ICU's break iterator and regex run on natively;
// the result is written straight to UTF-8.
using Text = std::u16string;
using TextView = std::u16string_view;

// Both headings are in NFD already (no unified CJK ideograph decomposes); `sameCharacters` relies
// on that.
constexpr TextView kWorkHeading = u"## 今天做了什么";
constexpr TextView kLearningHeading = u"## 今天学到了什么";
constexpr TextView kOtherHeadingPrefix = u"## ";
constexpr TextView kCommentPrefix = u"<!--";
constexpr TextView kParagraphSeparator = u"\n\n";
constexpr char16_t kBulletMarkerPattern[] = u"^[-*]\\s+";

constexpr std::string_view kDocumentOpening = "## 今天做了什么\n\n";
constexpr std::string_view kLearningOpening = "\n\n## 今天学到了什么\n\n";
constexpr std::string_view kPointPrefix = "- ";
constexpr std::string_view kSubHeadingPrefix = "### ";
constexpr std::string_view kBlockSeparator = "\n\n";
constexpr std::string_view kSourceSeparator = " + ";
constexpr std::string_view kLabelSuffix = " · 本地记忆";
constexpr std::string_view kLabelWithoutSources = "本地记忆";

// While parsing, a line may also be outside both sections.
enum class Section { none, work, learning };

struct ParsedEntry {
    std::string source;
    Text work;
    Text learning;
};

using CodePointClass = bool (*)(UChar32);

bool isHorizontalWhitespace(UChar32 c) { return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR; }

bool isWhitespaceOrNewline(UChar32 c) {
    if ((c >= 0x09 && c <= 0x0D) || c == 0x85) {
        return true;
    }
    const auto type = u_charType(c);
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

// All newline characters are in the BMP, so a code unit test cannot mistake half a surrogate pair.
bool isNewline(char16_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// None of the four has a canonical equivalent, so a character is a terminator exactly when it is
// that one code point alone. A terminator carrying a combining mark is a different character.
bool isTerminator(TextView character) {
    return character.size() == 1 && (character[0] == u'。' || character[0] == u'！' ||
                                     character[0] == u'？' || character[0] == u'；');
}

bool consistsOf(TextView character, CodePointClass belongs) {
    for (size_t i = 0; i < character.size();) {
        UChar32 c;
        U16_NEXT(character.data(), i, character.size(), c);
        if (!belongs(c)) {
            return false;
        }
    }
    return true;
}

UChar32 firstCodePoint(TextView text) {
    size_t i = 0;
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    return c;
}

UChar32 lastCodePoint(TextView text) {
    size_t i = text.size();
    UChar32 c;
    U16_PREV(text.data(), 0, i, c);
    return c;
}

void requireSuccess(UErrorCode status, const char* what) {
    // The break rules and the pattern are fixed and the data ships inside libicudata; failing here
    // means a broken ICU installation, not unusual input.
    if (U_FAILURE(status)) {
        std::fprintf(stderr, "QuilloCompanion: ICU could not %s: %s\n", what, u_errorName(status));
        std::abort();
    }
}

// ICU measures text with 32-bit lengths. A diary beyond 2 GiB is read only up to that size (cut at
// the start of a UTF-8 sequence) rather than overflowing them; no real diary comes near it. Every
// later text is at most as long in UTF-16 code units as this is in bytes.
std::string_view withinIcuLimits(std::string_view bytes) {
    constexpr size_t limit = INT32_MAX;
    if (bytes.size() <= limit) {
        return bytes;
    }
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) {
        --end;
    }
    return bytes.substr(0, end);
}

// Ill-formed UTF-8 becomes U+FFFD, so a damaged diary file still shows and the result is always
// valid UTF-8 (the page and the upload serialise it as JSON, which would refuse it otherwise).
Text fromUtf8(std::string_view bytes) {
    bytes = withinIcuLimits(bytes);
    Text text(bytes.size(), u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(text.data(), static_cast<int32_t>(text.size()), &length, bytes.data(),
                         static_cast<int32_t>(bytes.size()), 0xFFFD, nullptr, &status);
    requireSuccess(status, "read UTF-8");
    text.resize(static_cast<size_t>(length));
    return text;
}

void appendUtf8(std::string& out, TextView text) {
    // In slices, so that a slice's worst case of three bytes per code unit stays within ICU's
    // 32-bit lengths; a slice never ends between the halves of a surrogate pair.
    constexpr size_t kSliceUnits = size_t{1} << 24;
    while (!text.empty()) {
        size_t units = std::min(text.size(), kSliceUnits);
        if (units < text.size() && U16_IS_LEAD(text[units - 1])) {
            --units;
        }
        const size_t oldSize = out.size();
        out.resize(oldSize + 3 * units);
        int32_t length = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strToUTF8WithSub(out.data() + oldSize, static_cast<int32_t>(3 * units), &length,
                           text.data(), static_cast<int32_t>(units), 0xFFFD, nullptr, &status);
        requireSuccess(status, "write UTF-8");
        out.resize(oldSize + static_cast<size_t>(length));
        text.remove_prefix(units);
    }
}

std::string validUtf8(std::string_view bytes) {
    std::string out;
    appendUtf8(out, fromUtf8(bytes));
    return out;
}

// The ICU objects of one call, made once and reused for every line and paragraph: building a break
// iterator or compiling the pattern costs far more than running it over a line.
class Unicode {
public:
    Unicode() {
        UErrorCode status = U_ZERO_ERROR;
        characters_.reset(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        requireSuccess(status, "create the character break iterator");
        bulletMarker_ = std::make_unique<icu::RegexMatcher>(
            icu::UnicodeString(kBulletMarkerPattern), 0, status);
        requireSuccess(status, "compile the bullet marker pattern");
        // ICU backtracks through `\s+` on a stack capped at 8 MB by default, which a marker
        // followed by about a million spaces exhausts; the match would then fail and the marker
        // stay. The stack only ever grows with the run of whitespace, so it is left unbounded.
        bulletMarker_->setStackLimit(0, status);
        requireSuccess(status, "lift the regex stack limit");
        nfd_ = icu::Normalizer2::getNFDInstance(status);
        requireSuccess(status, "load NFD normalization");
    }

    // Points the break iterator at `text` (without copying it) and hands it out; the iterator is
    // valid until the next call, and `text` must stay alive and unchanged that long.
    icu::BreakIterator& characters(TextView text) {
        charactersText_.setTo(false, text.data(), static_cast<int32_t>(text.size()));
        characters_->setText(charactersText_);
        return *characters_;
    }

    // The marker is removed with ICU's own regex so that `\s` keeps the meaning the pattern was
    // written for. Without the multi-line flag `^` anchors at the very start only, so there is at
    // most one match to remove.
    void removeBulletMarker(Text& paragraph) {
        markerText_.setTo(false, paragraph.data(), static_cast<int32_t>(paragraph.size()));
        bulletMarker_->reset(markerText_);
        UErrorCode status = U_ZERO_ERROR;
        if (!bulletMarker_->find(status) || U_FAILURE(status)) {
            return;
        }
        const int32_t start = bulletMarker_->start(status);
        const int32_t end = bulletMarker_->end(status);
        if (U_SUCCESS(status)) {
            paragraph.erase(static_cast<size_t>(start), static_cast<size_t>(end - start));
        }
    }

    // Lines are compared as user-perceived text: a heading typed with a compatibility ideograph
    // (U+F9BA for 了, U+F9FD for 什) looks the same and counts the same. `target` must be in NFD.
    bool sameCharacters(TextView text, TextView target) {
        if (text == target) {
            return true;
        }
        // Decomposition never shortens a code point below one code unit, so NFD at most halves the
        // length; longer lines cannot match and are spared the normalization.
        if (text.empty() || text.size() > 2 * target.size()) {
            return false;
        }
        UErrorCode status = U_ZERO_ERROR;
        const icu::UnicodeString decomposed = nfd_->normalize(
            icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size())), status);
        return U_SUCCESS(status) &&
               decomposed ==
                   icu::UnicodeString(false, target.data(), static_cast<int32_t>(target.size()));
    }

private:
    std::unique_ptr<icu::BreakIterator> characters_;
    icu::UnicodeString charactersText_;
    std::unique_ptr<icu::RegexMatcher> bulletMarker_;
    icu::UnicodeString markerText_;
    const icu::Normalizer2* nfd_ = nullptr;
};

// Trimming removes whole characters (grapheme clusters), and a character counts as space only when
// every code point in it does. So a space carrying a combining mark stays, as it is a visible
// character of its own; CR LF, a single character of two newline code points, goes.
TextView trimmed(TextView text, CodePointClass isSpace, Unicode& unicode) {
    if (text.empty()) {
        return text;
    }
    // A character whose first or last code point is not space cannot be space, so most lines are
    // settled without the break iterator.
    const bool spaceAtStart = isSpace(firstCodePoint(text));
    const bool spaceAtEnd = isSpace(lastCodePoint(text));
    if (!spaceAtStart && !spaceAtEnd) {
        return text;
    }
    icu::BreakIterator& characters = unicode.characters(text);
    int32_t start = 0;
    if (spaceAtStart) {
        int32_t from = characters.first();
        for (int32_t to = characters.next(); to != icu::BreakIterator::DONE;
             from = to, to = characters.next()) {
            if (!consistsOf(text.substr(from, to - from), isSpace)) {
                break;
            }
        }
        start = from;
    }
    int32_t end = static_cast<int32_t>(text.size());
    if (spaceAtEnd && start < end) {
        int32_t to = characters.last();
        for (int32_t from = characters.previous();
             from != icu::BreakIterator::DONE && from >= start;
             to = from, from = characters.previous()) {
            if (!consistsOf(text.substr(from, to - from), isSpace)) {
                break;
            }
        }
        end = to;
    }
    return text.substr(start, end - start);
}

// `prefix` is ASCII here, one character per code unit, and nothing else is canonically equivalent
// to those characters. So `text` begins with them exactly when it begins with the same code units
// and breaks into characters after each one: "## " followed by a combining mark does not qualify,
// its third character not being a plain space.
bool startsWithCharacters(TextView text, TextView prefix, Unicode& unicode) {
    if (!text.starts_with(prefix)) {
        return false;
    }
    icu::BreakIterator& characters = unicode.characters(text);
    for (size_t i = 1; i <= prefix.size(); ++i) {
        if (!characters.isBoundary(static_cast<int32_t>(i))) {
            return false;
        }
    }
    return true;
}

// `lines` are joined with line feeds; the text they view must outlive the call.
Text normalized(const std::vector<TextView>& lines, Unicode& unicode) {
    Text joined;
    size_t size = lines.size();
    for (TextView line : lines) {
        size += line.size();
    }
    joined.reserve(size);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            joined += u'\n';
        }
        joined += lines[i];
    }
    const TextView content = trimmed(joined, isWhitespaceOrNewline, unicode);
    const size_t start = static_cast<size_t>(content.data() - joined.data());
    joined.erase(start + content.size());
    joined.erase(0, start);
    return joined;
}

std::pair<Text, Text> parse(TextView text, Unicode& unicode) {
    std::vector<TextView> workLines;
    std::vector<TextView> learningLines;
    Section section = Section::none;
    // Lines end at newline code points, not at user-perceived characters: CR LF is one character,
    // yet it ends a line and then an empty one, which is what turns every line of a CR LF diary
    // into a paragraph of its own. Every other newline character always stands alone as a
    // character, so for them the two readings agree.
    size_t lineStart = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !isNewline(text[i])) {
            continue;
        }
        const TextView line = text.substr(lineStart, i - lineStart);
        lineStart = i + 1;
        const TextView bare = trimmed(line, isHorizontalWhitespace, unicode);
        if (unicode.sameCharacters(bare, kWorkHeading)) {
            section = Section::work;
        } else if (unicode.sameCharacters(bare, kLearningHeading)) {
            section = Section::learning;
        } else if (startsWithCharacters(bare, kOtherHeadingPrefix, unicode)) {
            section = Section::none;
        } else if (startsWithCharacters(bare, kCommentPrefix, unicode)) {
            // Only the comment's first line is recognisable; the rest of a multi-line comment is
            // read as text, which agents rarely write anyway.
        } else if (section == Section::work) {
            workLines.push_back(line);
        } else if (section == Section::learning) {
            learningLines.push_back(line);
        }
    }
    return {normalized(workLines, unicode), normalized(learningLines, unicode)};
}

// The points of one paragraph, as views into it. The sentence being collected is the stretch since
// the last terminator; trimming it keeps what lies between its first and last characters that are
// not space, so those are tracked on the way instead of walking the stretch again.
std::vector<TextView> sentencePoints(TextView paragraph, Unicode& unicode) {
    std::vector<TextView> points;
    if (paragraph.empty()) {
        return points;
    }
    icu::BreakIterator& characters = unicode.characters(paragraph);
    constexpr size_t kNoContent = TextView::npos;
    size_t contentStart = kNoContent;
    size_t contentEnd = 0;
    int32_t from = characters.first();
    for (int32_t to = characters.next(); to != icu::BreakIterator::DONE;
         from = to, to = characters.next()) {
        const TextView character = paragraph.substr(from, to - from);
        if (!consistsOf(character, isWhitespaceOrNewline)) {
            if (contentStart == kNoContent) {
                contentStart = from;
            }
            contentEnd = to;
        }
        if (isTerminator(character)) {
            points.push_back(paragraph.substr(contentStart, contentEnd - contentStart));
            contentStart = kNoContent;
        }
    }
    if (contentStart != kNoContent) {
        points.push_back(paragraph.substr(contentStart, contentEnd - contentStart));
    }
    return points;
}

// The lines of one paragraph, trimmed, without the empty ones, joined with single spaces.
void joinLines(TextView block, Text& paragraph, Unicode& unicode) {
    paragraph.clear();
    size_t lineStart = 0;
    for (size_t i = 0; i <= block.size(); ++i) {
        if (i < block.size() && !isNewline(block[i])) {
            continue;
        }
        const TextView line =
            trimmed(block.substr(lineStart, i - lineStart), isWhitespaceOrNewline, unicode);
        lineStart = i + 1;
        if (line.empty()) {
            continue;
        }
        if (!paragraph.empty()) {
            paragraph += u' ';
        }
        paragraph += line;
    }
}

std::string bulletList(TextView text, Unicode& unicode) {
    std::string list;
    Text paragraph;
    size_t start = 0;
    while (true) {
        const size_t separator = text.find(kParagraphSeparator, start);
        const TextView block = separator == TextView::npos ? text.substr(start)
                                                           : text.substr(start, separator - start);
        joinLines(block, paragraph, unicode);
        unicode.removeBulletMarker(paragraph);
        for (TextView point : sentencePoints(paragraph, unicode)) {
            if (point.empty()) {
                continue;
            }
            if (!list.empty()) {
                list += '\n';
            }
            list += kPointPrefix;
            appendUtf8(list, point);
        }
        if (separator == TextView::npos) {
            break;
        }
        start = separator + kParagraphSeparator.size();
    }
    return list;
}

std::string merge(const std::vector<ParsedEntry>& entries, Text ParsedEntry::*section,
                  Unicode& unicode) {
    std::vector<const ParsedEntry*> selected;
    for (const ParsedEntry& entry : entries) {
        if (!(entry.*section).empty()) {
            selected.push_back(&entry);
        }
    }
    if (selected.empty()) {
        return {};
    }
    if (selected.size() == 1) {
        return bulletList(selected.front()->*section, unicode);
    }
    std::string merged;
    for (size_t i = 0; i < selected.size(); ++i) {
        if (i > 0) {
            merged += kBlockSeparator;
        }
        merged += kSubHeadingPrefix;
        merged += selected[i]->source;
        merged += '\n';
        merged += bulletList(selected[i]->*section, unicode);
    }
    return merged;
}

}  // namespace

DiaryAggregate aggregate(const std::vector<DiaryEntry>& entries) {
    Unicode unicode;
    std::vector<ParsedEntry> parsed;
    for (const DiaryEntry& entry : entries) {
        auto [work, learning] = parse(fromUtf8(entry.content), unicode);
        if (work.empty() && learning.empty()) {
            continue;
        }
        parsed.push_back({validUtf8(entry.source), std::move(work), std::move(learning)});
    }

    std::string content(kDocumentOpening);
    content += merge(parsed, &ParsedEntry::work, unicode);
    const std::string learning = merge(parsed, &ParsedEntry::learning, unicode);
    if (!learning.empty()) {
        content += kLearningOpening;
        content += learning;
    }

    // Every source that gave either section counts, repeats included: two agents may share a label.
    std::string label;
    if (parsed.empty()) {
        label = kLabelWithoutSources;
    } else {
        for (size_t i = 0; i < parsed.size(); ++i) {
            if (i > 0) {
                label += kSourceSeparator;
            }
            label += parsed[i].source;
        }
        label += kLabelSuffix;
    }
    return DiaryAggregate{std::move(content), std::move(label)};
}

}  // namespace quillo::DiaryAggregator
