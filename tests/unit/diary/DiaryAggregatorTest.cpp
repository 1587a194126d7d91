#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "diary/DiaryAggregator.h"

namespace quillo {
namespace {

using namespace std::string_literals;

const std::string kOpening = "## 今天做了什么\n\n";

// One source's diary that opens with the work heading.
std::string work(const std::string& text) { return "## 今天做了什么\n" + text; }
// The document of one source that wrote only a work section: its points under the first heading.
std::string workOnly(const std::string& points) { return kOpening + points; }

// ---------------------------------------------------------------------------------------------
// The document as a whole and its label

TEST(DiaryDocument, KeepsTheCallersOrderAndLabelsOnlyTheSourcesThatContribute) {
    struct Case {
        const char* name;
        std::vector<DiaryEntry> entries;
        std::string content;
        std::string label;
    };
    const std::vector<Case> cases = {
        {"empty list", {}, kOpening, "本地记忆"},
        {"only learning text leaves four line feeds between the headings",
         {{"Tansy工作", "## 今天学到了什么\n学会了断字。"}},
         "## 今天做了什么\n\n\n\n## 今天学到了什么\n\n- 学会了断字。",
         "Tansy工作 · 本地记忆"},
        {"a single source with both sections has no sub-headings",
         {{"KILN", "## 今天做了什么\n写代码。\n\n## 今天学到了什么\n学会了。"}},
         "## 今天做了什么\n\n- 写代码。\n\n## 今天学到了什么\n\n- 学会了。",
         "KILN · 本地记忆"},
        {"two sources of which one learned: sub-headings only in the work section",
         {{"KILN",
           "# 日记\n\n## 今天做了什么\n- 修好了同步。重写了解析！\n\n## 今天学到了什么\n"
           "- ICU 的断字规则。\n"},
          {"Tansy工作", "## 今天做了什么\n整理了周报；\n开了两个会\n"}},
         "## 今天做了什么\n\n### KILN\n- 修好了同步。\n- 重写了解析！\n\n### Tansy工作\n"
         "- 整理了周报；\n- 开了两个会\n\n## 今天学到了什么\n\n- ICU 的断字规则。",
         "KILN + Tansy工作 · 本地记忆"},
        {"the same source twice counts twice and keeps identical sentences",
         {{"KILN", "## 今天做了什么\n写代码。写代码。"}, {"KILN", "## 今天做了什么\n写代码。"}},
         "## 今天做了什么\n\n### KILN\n- 写代码。\n- 写代码。\n\n### KILN\n- 写代码。",
         "KILN + KILN · 本地记忆"},
        {"a dropped entry leaves the label",
         {{"Zeta", "## 今天做了什么\n写代码。"},
          {"Empty", "## 今天做了什么\n\n## 今天学到了什么\n"},
          {"Alpha", "## 今天学到了什么\n学会了。"}},
         "## 今天做了什么\n\n- 写代码。\n\n## 今天学到了什么\n\n- 学会了。",
         "Zeta + Alpha · 本地记忆"},
        {"a source label that is not UTF-8 is read with replacement characters",
         {{"KI\xc3", "## 今天做了什么\n写代码。"}, {"Tansy", "## 今天做了什么\n开会。"}},
         "## 今天做了什么\n\n### KI\uFFFD\n- 写代码。\n\n### Tansy\n- 开会。",
         "KI\uFFFD + Tansy · 本地记忆"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const DiaryAggregate aggregate = DiaryAggregator::aggregate(c.entries);
        EXPECT_EQ(aggregate.content, c.content);
        EXPECT_EQ(aggregate.sourceLabel, c.label);
    }
}

TEST(DiaryDocument, EntriesWithoutSectionTextAreDroppedFromTheDocumentAndTheLabel) {
    for (const std::string& diary : {
             ""s,
             "写了代码。\n开了会。\n"s,
             "写了代码。\n## 今天做了什么\n"s,
             "## 备注\n写了代码。\n## 今天做了什么：\n开了会。"s,
             "# 今天做了什么\n### 今天做了什么\n写了代码。"s,
             "## 今天做了什么\n \t\u3000\n\n## 今天学到了什么\r\n\u00A0\u2028\u0085\f"s,
             "## 今天做了什么\n<!-- 待补充 -->"s,
         }) {
        SCOPED_TRACE(diary);
        const DiaryAggregate aggregate = DiaryAggregator::aggregate({{"KILN", diary}});
        EXPECT_EQ(aggregate.content, kOpening);
        EXPECT_EQ(aggregate.sourceLabel, "本地记忆");
    }
}

// ---------------------------------------------------------------------------------------------
// One source's text in, the whole merged document out. Each instantiation's name says the rule.

struct DiaryCase {
    std::string name;
    std::string diary;
    std::string expected;
};

void PrintTo(const DiaryCase& diaryCase, std::ostream* out) { *out << diaryCase.name; }

std::string caseName(const testing::TestParamInfo<DiaryCase>& info) { return info.param.name; }

class DiaryText : public testing::TestWithParam<DiaryCase> {};

TEST_P(DiaryText, MergesToTheExpectedDocument) {
    EXPECT_EQ(DiaryAggregator::aggregate({{"KILN", GetParam().diary}}).content,
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    SectionHeadingsDecideWhichLinesBelongToWhichSection, DiaryText,
    testing::Values(
        DiaryCase{"LeadingAndTrailingSpacesAndTabsAroundAHeadingAreIgnored",
                  " \t## 今天做了什么 \t\n写代码。", workOnly("- 写代码。")},
        DiaryCase{"TrailingIdeographicSpaceAfterAHeadingIsIgnored",
                  "## 今天做了什么\u3000\n写代码。", workOnly("- 写代码。")},
        DiaryCase{"HeadingFollowedByANoteClosesTheSection",
                  work("写代码。\n## 今天做了什么 (草稿)\n开会。"), workOnly("- 写代码。")},
        DiaryCase{"ExtraInnerSpaceMakesItAnotherHeading",
                  work("写代码。\n##  今天做了什么\n开会。"), workOnly("- 写代码。")},
        DiaryCase{"OtherHeadingClosesUntilTheNextRecognisedOne",
                  work("写代码。\n## 备注\n不算。\n## 今天做了什么\n开会。"),
                  workOnly("- 写代码。\n- 开会。")},
        DiaryCase{"ReopenedSectionContinuesWhereItsLastLineLeftOff",
                  work("上午写代码\n## 今天学到了什么\n学会了。\n## 今天做了什么\n下午开会。"),
                  "## 今天做了什么\n\n- 上午写代码 下午开会。\n\n## 今天学到了什么\n\n- 学会了。"},
        DiaryCase{"NumberSignsWithoutASpaceAreOrdinaryText", work("##今天学到了什么\n写代码。"),
                  workOnly("- ##今天学到了什么 写代码。")},
        DiaryCase{"FullWidthNumberSignsAreOrdinaryText", work("＃＃ 今天学到了什么\n写代码。"),
                  workOnly("- ＃＃ 今天学到了什么 写代码。")},
        DiaryCase{"LevelThreeHeadingRunsOnWithTheNextLine", work("### 上午\n写代码。"),
                  workOnly("- ### 上午 写代码。")},
        DiaryCase{"LevelThreeHeadingAloneInItsParagraphIsAPointOfItsOwn",
                  work("### 上午\n\n写代码。"), workOnly("- ### 上午\n- 写代码。")},
        DiaryCase{"SpaceCarryingACombiningMarkIsNotTheSpaceOfAHeading",
                  work("## \u0301备注\n写代码。"), workOnly("- ## \u0301备注 写代码。")},
        DiaryCase{"HeadingSpelledWithCanonicallyEquivalentIdeographsIsRecognised",
                  "## 今天做\uF9BA\uF9FD么\n写代码。", workOnly("- 写代码。")}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    CommentsSkipOnlyTheLineThatOpensThem, DiaryText,
    testing::Values(DiaryCase{"OneLineCommentIsSkipped", work("<!-- 备注 -->\n写代码。"),
                              workOnly("- 写代码。")},
                    DiaryCase{"IndentedCommentIsSkipped", work(" \t<!-- 备注 -->\n写代码。"),
                              workOnly("- 写代码。")},
                    DiaryCase{"LaterLinesOfAMultiLineCommentAreText",
                              work("<!-- 开始\n中间\n-->\n写代码。"),
                              workOnly("- 中间 --> 写代码。")},
                    DiaryCase{"CommentHoldingAHeadingDoesNotChangeTheSection",
                              "## 今天学到了什么\n<!-- ## 今天做了什么 -->\n学会了。",
                              "## 今天做了什么\n\n\n\n## 今天学到了什么\n\n- 学会了。"}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    LineEndsOfTwoCharactersMakeEveryLineAParagraph, DiaryText,
    testing::Values(
        DiaryCase{"LineFeedCarriageReturn", "## 今天做了什么\n\r上午写代码\n\r下午开会\n\r",
                  workOnly("- 上午写代码\n- 下午开会")},
        DiaryCase{
            "CarriageReturnLineFeedTakesTheMarkerOffEveryLine",
            "## 今天做了什么\r\n- 上午写代码\r\n- 下午开会\r\n\r\n## "
            "今天学到了什么\r\n断字规则\r\n",
            "## 今天做了什么\n\n- 上午写代码\n- 下午开会\n\n## 今天学到了什么\n\n- 断字规则"}),
    caseName);

TEST(DiaryLineEnds, EachSingleNewlineCharacterJoinsConsecutiveLines) {
    for (const std::string end : {"\n", "\r", "\v", "\f", "\u0085", "\u2028", "\u2029"}) {
        SCOPED_TRACE(testing::PrintToString(end));
        const std::string diary = "## 今天做了什么" + end + "上午写代码" + end + "下午开会" + end;
        EXPECT_EQ(DiaryAggregator::aggregate({{"KILN", diary}}).content,
                  workOnly("- 上午写代码 下午开会"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    ParagraphsAreSeparatedByTwoLineFeedsAndJoinTheirLines, DiaryText,
    testing::Values(
        DiaryCase{"LinesAreTrimmedAndJoinedWithOneSpace", work("  上午\t写代码 \u3000\n\t下午开会"),
                  workOnly("- 上午\t写代码 下午开会")},
        DiaryCase{"LineOfOnlySpacesAndTabsDoesNotSeparateParagraphs",
                  work("上午写代码\n \t\n下午开会"), workOnly("- 上午写代码 下午开会")},
        DiaryCase{"ThreeLineFeedsSeparateLikeTwo", work("上午写代码\n\n\n下午开会"),
                  workOnly("- 上午写代码\n- 下午开会")},
        DiaryCase{"LineStartingWithASpaceThatCarriesACombiningMarkKeepsIt",
                  work("上午写代码\n \u0301下午开会"), workOnly("- 上午写代码  \u0301下午开会")},
        DiaryCase{"SentenceRunsOverALineBreak", work("上午写代码，\n下午开会。晚上读书"),
                  workOnly("- 上午写代码， 下午开会。\n- 晚上读书")}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    BulletMarkersAreRemovedOnlyAtTheStartOfAParagraph, DiaryText,
    testing::Values(
        DiaryCase{"AsteriskMarkerIsRemoved", work("*\t写代码。"), workOnly("- 写代码。")},
        DiaryCase{"MarkerWithoutWhitespaceAfterItStays", work("-写代码。"),
                  workOnly("- -写代码。")},
        DiaryCase{"IdeographicSpaceCountsAsWhitespaceAfterAMarker", work("-\u3000写代码。"),
                  workOnly("- 写代码。")},
        DiaryCase{"PlusSignIsNotAMarker", work("+ 写代码。"), workOnly("- + 写代码。")},
        DiaryCase{"DoubledMarkerLosesOnlyTheFirst", work("- - 写代码。"), workOnly("- - 写代码。")},
        DiaryCase{"MarkerOfTheSecondLineStaysInItsPoint", work("- 写代码。\n- 开会。"),
                  workOnly("- 写代码。\n- - 开会。")},
        DiaryCase{"EveryParagraphLosesItsOwnMarker", work("- 写代码。\n\n* 开会。"),
                  workOnly("- 写代码。\n- 开会。")},
        DiaryCase{"MarkerAloneOnItsLineTakesTheJoiningSpaceAsItsWhitespace", work("-\n写代码。"),
                  workOnly("- 写代码。")},
        // Regression: about a million spaces exhausted ICU's default backtracking stack.
        DiaryCase{"MarkerBeforeMoreThanAMillionSpacesIsStillRemoved",
                  work("-" + std::string(1'500'000, ' ') + "写代码。"), workOnly("- 写代码。")}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    SentencePointsEndAtFullWidthTerminatorsThatStandAlone, DiaryText,
    testing::Values(DiaryCase{"EachOfTheFourTerminatorsEndsAPoint", work("一。二！三？四；五"),
                              workOnly("- 一。\n- 二！\n- 三？\n- 四；\n- 五")},
                    DiaryCase{"AsciiPunctuationAndCommasDoNotEndAPoint",
                              work("a. b! c? d; e，f、g"), workOnly("- a. b! c? d; e，f、g")},
                    DiaryCase{"TerminatorRightAfterAnotherIsAPointOfItsOwn", work("好。。真好！？"),
                              workOnly("- 好。\n- 。\n- 真好！\n- ？")},
                    DiaryCase{"TerminatorAfterOnlySpacesIsAPointOfItsOwn", work("好。 \u3000。"),
                              workOnly("- 好。\n- 。")},
                    DiaryCase{"UnicodeSpacesBetweenPointsAreTrimmed",
                              work("一。 \u3000\u00A0\u2003二。"), workOnly("- 一。\n- 二。")},
                    DiaryCase{"TerminatorCarryingACombiningMarkDoesNotEndAPoint",
                              work("一。\u0301二。"), workOnly("- 一。\u0301二。")},
                    DiaryCase{"TerminatorJoinedToAPrependedCharacterDoesNotEndAPoint",
                              work("一\u0600。二。"), workOnly("- 一\u0600。二。")},
                    DiaryCase{"SpaceCarryingACombiningMarkIsAVisibleCharacterAndStays",
                              work("一。 \u0301二。"), workOnly("- 一。\n-  \u0301二。")},
                    DiaryCase{"CharactersOutsideTheBasicPlanePassThrough", work("𠮷野家。🇨🇳好！"),
                              workOnly("- 𠮷野家。\n- 🇨🇳好！")}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    TextThatIsNotUTF8IsReadWithReplacementCharacters, DiaryText,
    testing::Values(
        DiaryCase{"StrayByteInsideASentence", work("做\xff事。"), workOnly("- 做\uFFFD事。")},
        DiaryCase{"TruncatedSequenceAtTheEnd", work("做事。\xe4\xb8"),
                  workOnly("- 做事。\n- \uFFFD")},
        DiaryCase{"DamagedHeadingIsNotAHeading",
                  "## 今天做了什\xe4\n写代码。\n## 今天做了什么\n开会。", workOnly("- 开会。")},
        DiaryCase{"NullCharacterIsKept", work("做\0事。"s), workOnly("- 做\0事。"s)}),
    caseName);

}  // namespace
}  // namespace quillo
