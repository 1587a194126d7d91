#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "diary/DiaryAggregator.h"

namespace quillo {
namespace {

using namespace std::string_literals;

const std::string kOpening = "## 今天做了什么\n\n";
const std::string kBareLabel = "本地记忆";

DiaryAggregate aggregateOne(const std::string& diary, const std::string& source = "KILN") {
    return DiaryAggregator::aggregate({DiaryEntry{source, diary}});
}

// The document of one source that wrote only a work section: its points under the first heading.
std::string workOnly(const std::string& points) { return kOpening + points; }

// One source's diary text in, the whole merged document out.
struct DiaryCase {
    std::string name;
    std::string diary;
    std::string expected;
};

void PrintTo(const DiaryCase& diaryCase, std::ostream* out) { *out << diaryCase.name; }

std::string caseName(const testing::TestParamInfo<DiaryCase>& info) { return info.param.name; }

// ---------------------------------------------------------------------------------------------
// The document as a whole and its label

TEST(DiaryDocument, EmptyListGivesTheWorkHeadingAndTwoLineFeedsOnly) {
    const DiaryAggregate aggregate = DiaryAggregator::aggregate({});
    EXPECT_EQ(aggregate.content, "## 今天做了什么\n\n");
    EXPECT_EQ(aggregate.sourceLabel, "本地记忆");
}

TEST(DiaryDocument, OnlyLearningTextLeavesFourLineFeedsBetweenTheHeadings) {
    const DiaryAggregate aggregate = aggregateOne("## 今天学到了什么\n学会了断字。", "Tansy工作");
    EXPECT_EQ(aggregate.content, "## 今天做了什么\n\n\n\n## 今天学到了什么\n\n- 学会了断字。");
    EXPECT_EQ(aggregate.sourceLabel, "Tansy工作 · 本地记忆");
}

TEST(DiaryDocument, SingleSourceWithBothSectionsHasNoSubHeadings) {
    const DiaryAggregate aggregate =
        aggregateOne("## 今天做了什么\n写代码。\n\n## 今天学到了什么\n学会了。");
    EXPECT_EQ(aggregate.content,
              "## 今天做了什么\n\n- 写代码。\n\n## 今天学到了什么\n\n- 学会了。");
    EXPECT_EQ(aggregate.sourceLabel, "KILN · 本地记忆");
}

TEST(DiaryDocument, TwoSourcesOfWhichOneLearnedGiveSubHeadingsOnlyInTheWorkSection) {
    const DiaryAggregate aggregate = DiaryAggregator::aggregate({
        {"KILN",
         "# 日记\n\n## 今天做了什么\n- 修好了同步。重写了解析！\n\n## 今天学到了什么\n"
         "- ICU 的断字规则。\n"},
        {"Tansy工作", "## 今天做了什么\n整理了周报；\n开了两个会\n"},
    });
    EXPECT_EQ(aggregate.content,
              "## 今天做了什么\n"
              "\n"
              "### KILN\n"
              "- 修好了同步。\n"
              "- 重写了解析！\n"
              "\n"
              "### Tansy工作\n"
              "- 整理了周报；\n"
              "- 开了两个会\n"
              "\n"
              "## 今天学到了什么\n"
              "\n"
              "- ICU 的断字规则。");
    EXPECT_EQ(aggregate.sourceLabel, "KILN + Tansy工作 · 本地记忆");
}

TEST(DiaryDocument, SameSourceTwiceCountsTwiceAndKeepsIdenticalSentences) {
    const DiaryAggregate aggregate = DiaryAggregator::aggregate({
        {"KILN", "## 今天做了什么\n写代码。写代码。"},
        {"KILN", "## 今天做了什么\n写代码。"},
    });
    EXPECT_EQ(aggregate.content,
              "## 今天做了什么\n\n### KILN\n- 写代码。\n- 写代码。\n\n### KILN\n- 写代码。");
    EXPECT_EQ(aggregate.sourceLabel, "KILN + KILN · 本地记忆");
}

TEST(DiaryDocument, SourcesKeepTheCallersOrderAndDroppedEntriesLeaveTheLabel) {
    const DiaryAggregate aggregate = DiaryAggregator::aggregate({
        {"Zeta", "## 今天做了什么\n写代码。"},
        {"Empty", "## 今天做了什么\n\n## 今天学到了什么\n"},
        {"Alpha", "## 今天学到了什么\n学会了。"},
    });
    EXPECT_EQ(aggregate.content,
              "## 今天做了什么\n\n- 写代码。\n\n## 今天学到了什么\n\n- 学会了。");
    EXPECT_EQ(aggregate.sourceLabel, "Zeta + Alpha · 本地记忆");
}

class DiaryEntriesWithoutSectionText : public testing::TestWithParam<DiaryCase> {};

TEST_P(DiaryEntriesWithoutSectionText, AreDroppedFromTheDocumentAndTheLabel) {
    const DiaryAggregate aggregate = aggregateOne(GetParam().diary);
    EXPECT_EQ(aggregate.content, kOpening);
    EXPECT_EQ(aggregate.sourceLabel, kBareLabel);
}

INSTANTIATE_TEST_SUITE_P(
    , DiaryEntriesWithoutSectionText,
    testing::Values(
        DiaryCase{"EmptyText", "", ""},
        DiaryCase{"TextWithoutHeadings", "写了代码。\n开了会。\n", ""},
        DiaryCase{"TextOnlyBeforeTheFirstHeading", "写了代码。\n## 今天做了什么\n", ""},
        DiaryCase{"TextOnlyUnderOtherLevelTwoHeadings",
                  "## 备注\n写了代码。\n## 今天做了什么：\n开了会。", ""},
        DiaryCase{"HeadingsOfLevelOneAndThree", "# 今天做了什么\n### 今天做了什么\n写了代码。", ""},
        DiaryCase{"SectionsHoldingOnlyWhitespaceAndNewlines",
                  "## 今天做了什么\n \t\u3000\n\n## 今天学到了什么\r\n\u00A0\u2028\u0085\f", ""},
        DiaryCase{"SectionHoldingOnlyAComment", "## 今天做了什么\n<!-- 待补充 -->", ""}),
    caseName);

// ---------------------------------------------------------------------------------------------
// Recognising the section headings

class DiarySectionHeadings : public testing::TestWithParam<DiaryCase> {};

TEST_P(DiarySectionHeadings, DecideWhichLinesBelongToWhichSection) {
    EXPECT_EQ(aggregateOne(GetParam().diary).content, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    , DiarySectionHeadings,
    testing::Values(
        DiaryCase{"LeadingAndTrailingSpacesAndTabsAroundAHeadingAreIgnored",
                  " \t## 今天做了什么 \t\n写代码。", workOnly("- 写代码。")},
        DiaryCase{"TrailingIdeographicSpaceAfterAHeadingIsIgnored",
                  "## 今天做了什么\u3000\n写代码。", workOnly("- 写代码。")},
        DiaryCase{"HeadingFollowedByAColonClosesTheSection",
                  "## 今天做了什么\n写代码。\n## 今天做了什么：\n开会。", workOnly("- 写代码。")},
        DiaryCase{"HeadingFollowedByANoteClosesTheSection",
                  "## 今天做了什么\n写代码。\n## 今天做了什么 (草稿)\n开会。",
                  workOnly("- 写代码。")},
        DiaryCase{"ExtraInnerSpaceMakesItAnotherHeading",
                  "## 今天做了什么\n写代码。\n##  今天做了什么\n开会。", workOnly("- 写代码。")},
        DiaryCase{"OtherHeadingClosesUntilTheNextRecognisedOne",
                  "## 今天做了什么\n写代码。\n## 备注\n不算。\n## 今天做了什么\n开会。",
                  workOnly("- 写代码。\n- 开会。")},
        DiaryCase{
            "ReopenedSectionContinuesWhereItsLastLineLeftOff",
            "## 今天做了什么\n上午写代码\n## 今天学到了什么\n学会了。\n## 今天做了什么\n下午开会。",
            "## 今天做了什么\n\n- 上午写代码 下午开会。\n\n## 今天学到了什么\n\n- 学会了。"},
        DiaryCase{"NumberSignsWithoutASpaceAreOrdinaryText",
                  "## 今天做了什么\n##今天学到了什么\n写代码。",
                  workOnly("- ##今天学到了什么 写代码。")},
        DiaryCase{"FullWidthNumberSignsAreOrdinaryText",
                  "## 今天做了什么\n＃＃ 今天学到了什么\n写代码。",
                  workOnly("- ＃＃ 今天学到了什么 写代码。")},
        DiaryCase{"LevelThreeHeadingRunsOnWithTheNextLine", "## 今天做了什么\n### 上午\n写代码。",
                  workOnly("- ### 上午 写代码。")},
        DiaryCase{"LevelThreeHeadingAloneInItsParagraphIsAPointOfItsOwn",
                  "## 今天做了什么\n### 上午\n\n写代码。", workOnly("- ### 上午\n- 写代码。")},
        DiaryCase{"SpaceCarryingACombiningMarkIsNotTheSpaceOfAHeading",
                  "## 今天做了什么\n## \u0301备注\n写代码。", workOnly("- ## \u0301备注 写代码。")},
        DiaryCase{"HeadingSpelledWithCanonicallyEquivalentIdeographsIsRecognised",
                  "## 今天做\uF9BA\uF9FD么\n写代码。", workOnly("- 写代码。")}),
    caseName);

// ---------------------------------------------------------------------------------------------
// Comments

class DiaryComments : public testing::TestWithParam<DiaryCase> {};

TEST_P(DiaryComments, SkipOnlyTheLineThatOpensThem) {
    EXPECT_EQ(aggregateOne(GetParam().diary).content, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    , DiaryComments,
    testing::Values(DiaryCase{"OneLineCommentIsSkipped", "## 今天做了什么\n<!-- 备注 -->\n写代码。",
                              workOnly("- 写代码。")},
                    DiaryCase{"IndentedCommentIsSkipped",
                              "## 今天做了什么\n \t<!-- 备注 -->\n写代码。",
                              workOnly("- 写代码。")},
                    DiaryCase{"LaterLinesOfAMultiLineCommentAreText",
                              "## 今天做了什么\n<!-- 开始\n中间\n-->\n写代码。",
                              workOnly("- 中间 --> 写代码。")},
                    DiaryCase{"CommentHoldingAHeadingDoesNotChangeTheSection",
                              "## 今天学到了什么\n<!-- ## 今天做了什么 -->\n学会了。",
                              "## 今天做了什么\n\n\n\n## 今天学到了什么\n\n- 学会了。"}),
    caseName);

// ---------------------------------------------------------------------------------------------
// Line ends

class DiaryLineEnds : public testing::TestWithParam<DiaryCase> {};

// `diary` holds the line end under test; the same three lines are written with it.
TEST_P(DiaryLineEnds, EndLinesOneNewlineCharacterAtATime) {
    const std::string& end = GetParam().diary;
    const std::string diary = "## 今天做了什么" + end + "上午写代码" + end + "下午开会" + end;
    EXPECT_EQ(aggregateOne(diary).content, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    , DiaryLineEnds,
    testing::Values(
        DiaryCase{"LineFeedJoinsConsecutiveLines", "\n", workOnly("- 上午写代码 下午开会")},
        DiaryCase{"CarriageReturnAloneJoinsConsecutiveLines", "\r",
                  workOnly("- 上午写代码 下午开会")},
        DiaryCase{"LineTabulationJoinsConsecutiveLines", "\v", workOnly("- 上午写代码 下午开会")},
        DiaryCase{"FormFeedJoinsConsecutiveLines", "\f", workOnly("- 上午写代码 下午开会")},
        DiaryCase{"NextLineJoinsConsecutiveLines", "\u0085", workOnly("- 上午写代码 下午开会")},
        DiaryCase{"LineSeparatorJoinsConsecutiveLines", "\u2028",
                  workOnly("- 上午写代码 下午开会")},
        DiaryCase{"ParagraphSeparatorJoinsConsecutiveLines", "\u2029",
                  workOnly("- 上午写代码 下午开会")},
        DiaryCase{"CarriageReturnLineFeedMakesEveryLineAParagraph", "\r\n",
                  workOnly("- 上午写代码\n- 下午开会")},
        DiaryCase{"LineFeedCarriageReturnMakesEveryLineAParagraph", "\n\r",
                  workOnly("- 上午写代码\n- 下午开会")}),
    caseName);

TEST(DiaryLineEndsInDocuments, CarriageReturnLineFeedTakesTheMarkerOffEveryLine) {
    const DiaryAggregate aggregate = aggregateOne(
        "## 今天做了什么\r\n- 上午写代码\r\n- 下午开会\r\n\r\n## 今天学到了什么\r\n断字规则\r\n");
    EXPECT_EQ(aggregate.content,
              "## 今天做了什么\n\n- 上午写代码\n- 下午开会\n\n## 今天学到了什么\n\n- 断字规则");
}

TEST(DiaryLineEndsInDocuments, LineFeedKeepsTheMarkersOfLaterLinesInThePoint) {
    const DiaryAggregate aggregate = aggregateOne("## 今天做了什么\n- 上午写代码\n- 下午开会\n");
    EXPECT_EQ(aggregate.content, workOnly("- 上午写代码 - 下午开会"));
}

// ---------------------------------------------------------------------------------------------
// Paragraphs

class DiaryParagraphs : public testing::TestWithParam<DiaryCase> {};

TEST_P(DiaryParagraphs, AreSeparatedByTwoLineFeedsAndJoinTheirLines) {
    EXPECT_EQ(aggregateOne("## 今天做了什么\n" + GetParam().diary).content, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    , DiaryParagraphs,
    testing::Values(DiaryCase{"LinesAreTrimmedAndJoinedWithOneSpace",
                              "  上午\t写代码 \u3000\n\t下午开会",
                              workOnly("- 上午\t写代码 下午开会")},
                    DiaryCase{"BlankLineSeparatesParagraphs", "上午写代码\n\n下午开会",
                              workOnly("- 上午写代码\n- 下午开会")},
                    DiaryCase{"LineOfOnlySpacesAndTabsDoesNotSeparateParagraphs",
                              "上午写代码\n \t\n下午开会", workOnly("- 上午写代码 下午开会")},
                    DiaryCase{"ThreeLineFeedsSeparateLikeTwo", "上午写代码\n\n\n下午开会",
                              workOnly("- 上午写代码\n- 下午开会")},
                    DiaryCase{"LineStartingWithASpaceThatCarriesACombiningMarkKeepsIt",
                              "上午写代码\n \u0301下午开会",
                              workOnly("- 上午写代码  \u0301下午开会")},
                    DiaryCase{"SentenceRunsOverALineBreak", "上午写代码，\n下午开会。晚上读书",
                              workOnly("- 上午写代码， 下午开会。\n- 晚上读书")}),
    caseName);

// ---------------------------------------------------------------------------------------------
// Bullet markers

class DiaryBulletMarkers : public testing::TestWithParam<DiaryCase> {};

TEST_P(DiaryBulletMarkers, AreRemovedOnlyAtTheStartOfAParagraph) {
    EXPECT_EQ(aggregateOne("## 今天做了什么\n" + GetParam().diary).content, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    , DiaryBulletMarkers,
    testing::Values(
        DiaryCase{"HyphenMarkerIsRemoved", "- 写代码。", workOnly("- 写代码。")},
        DiaryCase{"AsteriskMarkerIsRemoved", "*\t写代码。", workOnly("- 写代码。")},
        DiaryCase{"MarkerWithoutWhitespaceAfterItStays", "-写代码。", workOnly("- -写代码。")},
        DiaryCase{"IdeographicSpaceCountsAsWhitespaceAfterAMarker", "-\u3000写代码。",
                  workOnly("- 写代码。")},
        DiaryCase{"PlusSignIsNotAMarker", "+ 写代码。", workOnly("- + 写代码。")},
        DiaryCase{"DoubledMarkerLosesOnlyTheFirst", "- - 写代码。", workOnly("- - 写代码。")},
        DiaryCase{"MarkerOfTheSecondLineStaysInItsPoint", "- 写代码。\n- 开会。",
                  workOnly("- 写代码。\n- - 开会。")},
        DiaryCase{"EveryParagraphLosesItsOwnMarker", "- 写代码。\n\n* 开会。",
                  workOnly("- 写代码。\n- 开会。")},
        DiaryCase{"MarkerAloneOnItsLineTakesTheJoiningSpaceAsItsWhitespace", "-\n写代码。",
                  workOnly("- 写代码。")},
        DiaryCase{"MarkerBeforeMoreThanAMillionSpacesIsStillRemoved",
                  "-" + std::string(1'500'000, ' ') + "写代码。", workOnly("- 写代码。")}),
    caseName);

// ---------------------------------------------------------------------------------------------
// Sentence points

class DiarySentencePoints : public testing::TestWithParam<DiaryCase> {};

TEST_P(DiarySentencePoints, EndAtFullWidthTerminatorsThatStandAlone) {
    EXPECT_EQ(aggregateOne("## 今天做了什么\n" + GetParam().diary).content, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    , DiarySentencePoints,
    testing::Values(DiaryCase{"EachOfTheFourTerminatorsEndsAPoint", "一。二！三？四；五",
                              workOnly("- 一。\n- 二！\n- 三？\n- 四；\n- 五")},
                    DiaryCase{"AsciiPunctuationAndCommasDoNotEndAPoint", "a. b! c? d; e，f、g",
                              workOnly("- a. b! c? d; e，f、g")},
                    DiaryCase{"TerminatorRightAfterAnotherIsAPointOfItsOwn", "好。。真好！？",
                              workOnly("- 好。\n- 。\n- 真好！\n- ？")},
                    DiaryCase{"TerminatorAfterOnlySpacesIsAPointOfItsOwn", "好。 \u3000。",
                              workOnly("- 好。\n- 。")},
                    DiaryCase{"UnicodeSpacesBetweenPointsAreTrimmed", "一。 \u3000\u00A0\u2003二。",
                              workOnly("- 一。\n- 二。")},
                    DiaryCase{"TerminatorCarryingACombiningMarkDoesNotEndAPoint", "一。\u0301二。",
                              workOnly("- 一。\u0301二。")},
                    DiaryCase{"TerminatorJoinedToAPrependedCharacterDoesNotEndAPoint",
                              "一\u0600。二。", workOnly("- 一\u0600。二。")},
                    DiaryCase{"SpaceCarryingACombiningMarkIsAVisibleCharacterAndStays",
                              "一。 \u0301二。", workOnly("- 一。\n-  \u0301二。")},
                    DiaryCase{"CharactersOutsideTheBasicPlanePassThrough", "𠮷野家。🇨🇳好！",
                              workOnly("- 𠮷野家。\n- 🇨🇳好！")}),
    caseName);

// ---------------------------------------------------------------------------------------------
// Text that is not valid UTF-8

class DiaryMalformedInput : public testing::TestWithParam<DiaryCase> {};

TEST_P(DiaryMalformedInput, IsReadWithReplacementCharacters) {
    EXPECT_EQ(aggregateOne(GetParam().diary).content, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    , DiaryMalformedInput,
    testing::Values(
        DiaryCase{"StrayByteInsideASentence",
                  "## 今天做了什么\n做\xff"
                  "事。",
                  workOnly("- 做\uFFFD事。")},
        DiaryCase{"TruncatedSequenceAtTheEnd", "## 今天做了什么\n做事。\xe4\xb8",
                  workOnly("- 做事。\n- \uFFFD")},
        DiaryCase{"DamagedHeadingIsNotAHeading",
                  "## 今天做了什\xe4\n写代码。\n## 今天做了什么\n开会。", workOnly("- 开会。")},
        DiaryCase{"NullCharacterIsKept", "## 今天做了什么\n做\0事。"s, workOnly("- 做\0事。"s)}),
    caseName);

TEST(DiaryMalformedSourceLabel, IsReadWithReplacementCharacters) {
    const DiaryAggregate aggregate = DiaryAggregator::aggregate({
        {"KI\xc3", "## 今天做了什么\n写代码。"},
        {"Tansy", "## 今天做了什么\n开会。"},
    });
    EXPECT_EQ(aggregate.content,
              "## 今天做了什么\n\n### KI\uFFFD\n- 写代码。\n\n### Tansy\n- 开会。");
    EXPECT_EQ(aggregate.sourceLabel, "KI\uFFFD + Tansy · 本地记忆");
}

}  // namespace
}  // namespace quillo
