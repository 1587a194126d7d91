#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diary/DiaryAggregator.h"

namespace quillo {
namespace {

using namespace std::string_literals;
using Document = std::pair<std::string, std::string>;  // content, label

const std::string kOpening = "## 今天做了什么\n\n";
// One source's diary that opens with the work heading; the document of such a source's points.
std::string work(const std::string& text) { return "## 今天做了什么\n" + text; }
std::string workOnly(const std::string& points) { return kOpening + points; }

Document merged(const std::vector<DiaryEntry>& entries) {
    const auto aggregate = DiaryAggregator::aggregate(entries);
    return {aggregate.content, aggregate.sourceLabel};
}

TEST(DiaryDocument, KeepsTheCallersOrderAndLabelsOnlyTheSourcesThatContribute) {
    const std::vector<std::pair<std::vector<DiaryEntry>, Document>> rows{
        {{}, {kOpening, "本地记忆"}},
        // Two sources of which one learned: sub-headings only in the work section.
        {{{"KILN",
           "# 日记\n\n## 今天做了什么\n- 修好了同步。重写了解析！\n\n## 今天学到了什么\n"
           "- ICU 的断字规则。\n"},
          {"Tansy工作", "## 今天做了什么\n整理了周报；\n开了两个会\n"}},
         {"## 今天做了什么\n\n### KILN\n- 修好了同步。\n- 重写了解析！\n\n### Tansy工作\n"
          "- 整理了周报；\n- 开了两个会\n\n## 今天学到了什么\n\n- ICU 的断字规则。",
          "KILN + Tansy工作 · 本地记忆"}},
        // The same source twice counts twice and keeps identical sentences.
        {{{"KILN", "## 今天做了什么\n写代码。写代码。"}, {"KILN", "## 今天做了什么\n写代码。"}},
         {"## 今天做了什么\n\n### KILN\n- 写代码。\n- 写代码。\n\n### KILN\n- 写代码。",
          "KILN + KILN · 本地记忆"}},
        {{{"Zeta", "## 今天做了什么\n写代码。"},
          {"Empty", "## 今天做了什么\n\n## 今天学到了什么\n"},
          {"Alpha", "## 今天学到了什么\n学会了。"}},
         {"## 今天做了什么\n\n- 写代码。\n\n## 今天学到了什么\n\n- 学会了。",
          "Zeta + Alpha · 本地记忆"}},
        {{{"KI\xc3", "## 今天做了什么\n写代码。"}, {"Tansy", "## 今天做了什么\n开会。"}},
         {"## 今天做了什么\n\n### KI\uFFFD\n- 写代码。\n\n### Tansy\n- 开会。",
          "KI\uFFFD + Tansy · 本地记忆"}},
    };
    for (const auto& [entries, document] : rows)
        EXPECT_EQ(merged(entries), document) << entries.size() << " entries";
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
         })
        EXPECT_EQ(merged({{"KILN", diary}}), Document(kOpening, "本地记忆")) << diary;
}

// One source's text in, the whole merged document out.
TEST(DiaryText, MergesToTheExpectedDocument) {
    std::vector<std::pair<std::string, std::string>> rows{
        // Headings: trimmed, spelled exactly or canonically alike. Any other heading closes the
        // section until the next recognised one, which continues where its last line left off.
        {" \t## 今天做了什么 \t\u3000\n写代码。", workOnly("- 写代码。")},
        {"## 今天做\uF9BA\uF9FD么\n写代码。", workOnly("- 写代码。")},
        {work("写代码。\n## 今天做了什么 (草稿)\n不算。\n##  今天做了什么\n也不算。\n## "
              "备注\n不算。\n"
              "## 今天做了什么\n开会。"),
         workOnly("- 写代码。\n- 开会。")},
        {work("上午写代码\n## 今天学到了什么\n学会了。\n## 今天做了什么\n下午开会。"),
         "## 今天做了什么\n\n- 上午写代码 下午开会。\n\n## 今天学到了什么\n\n- 学会了。"},
        {work("##今天学到了什么\n＃＃ 今天学到了什么\n写代码。"),
         workOnly("- ##今天学到了什么 ＃＃ 今天学到了什么 写代码。")},
        {work("## \u0301备注\n写代码。"), workOnly("- ## \u0301备注 写代码。")},
        {work("### 上午\n写代码。\n\n### 下午\n\n开会。"),
         workOnly("- ### 上午 写代码。\n- ### 下午\n- 开会。")},
        // Comments skip only the line that opens them.
        {work(" \t<!-- 备注 -->\n写代码。"), workOnly("- 写代码。")},
        {work("<!-- 开始\n中间\n-->\n写代码。"), workOnly("- 中间 --> 写代码。")},
        {"## 今天学到了什么\n<!-- ## 今天做了什么 -->\n学会了。",
         "## 今天做了什么\n\n\n\n## 今天学到了什么\n\n- 学会了。"},
        // Line ends of two characters make every line a paragraph.
        {"## 今天做了什么\n\r上午写代码\n\r下午开会\n\r", workOnly("- 上午写代码\n- 下午开会")},
        {"## 今天做了什么\r\n- 上午写代码\r\n- 下午开会\r\n\r\n## 今天学到了什么\r\n断字规则\r\n",
         "## 今天做了什么\n\n- 上午写代码\n- 下午开会\n\n## 今天学到了什么\n\n- 断字规则"},
        // Paragraphs: lines trimmed and joined with one space; blank lines separate.
        {work("  上午\t写代码 \u3000\n\t下午开会"), workOnly("- 上午\t写代码 下午开会")},
        {work("上午写代码\n \t\n下午开会\n\n\n晚上读书"),
         workOnly("- 上午写代码 下午开会\n- 晚上读书")},
        {work("上午写代码\n \u0301下午开会"), workOnly("- 上午写代码  \u0301下午开会")},
        {work("上午写代码，\n下午开会。晚上读书"),
         workOnly("- 上午写代码， 下午开会。\n- 晚上读书")},
        // Bullet markers: "-" or "*" and white space, only at the start of a paragraph.
        {work("- 写代码。\n\n*\t开会。"), workOnly("- 写代码。\n- 开会。")},
        {work("-写代码。\n\n+ 开会。"), workOnly("- -写代码。\n- + 开会。")},
        {work("-\u3000写代码。"), workOnly("- 写代码。")},
        {work("- - 写代码。\n- 开会。"), workOnly("- - 写代码。\n- - 开会。")},
        {work("-\n写代码。"), workOnly("- 写代码。")},
        // Regression: about a million spaces exhausted ICU's default backtracking stack.
        {work("-" + std::string(1'500'000, ' ') + "写代码。"), workOnly("- 写代码。")},
        // Points end at full-width terminators that stand alone as characters.
        {work("a. b! c? d; e，f、g一。二！三？四；五"),
         workOnly("- a. b! c? d; e，f、g一。\n- 二！\n- 三？\n- 四；\n- 五")},
        {work("好。。真好！？"), workOnly("- 好。\n- 。\n- 真好！\n- ？")},
        {work("一。 \u3000\u00A0\u2003二。 \u3000。"), workOnly("- 一。\n- 二。\n- 。")},
        {work("一。\u0301二\u0600。三。"), workOnly("- 一。\u0301二\u0600。三。")},
        {work("一。 \u0301二。"), workOnly("- 一。\n-  \u0301二。")},
        {work("𠮷野家。🇨🇳好！"), workOnly("- 𠮷野家。\n- 🇨🇳好！")},
        // Text that is not UTF-8 is read with replacement characters.
        {work("做\xff事。\xe4\xb8"), workOnly("- 做\uFFFD事。\n- \uFFFD")},
        {"## 今天做了什\xe4\n写代码。\n## 今天做了什么\n开会。", workOnly("- 开会。")},
        {work("做\0事。"s), workOnly("- 做\0事。"s)},
    };
    // Each single newline character joins consecutive lines.
    for (const std::string end : {"\n", "\r", "\v", "\f", "\u0085", "\u2028", "\u2029"})
        rows.push_back({"## 今天做了什么" + end + "上午写代码" + end + "下午开会" + end,
                        workOnly("- 上午写代码 下午开会")});
    for (const auto& [diary, expected] : rows)
        EXPECT_EQ(DiaryAggregator::aggregate({{"KILN", diary}}).content, expected)
            << ::testing::PrintToString(diary.substr(0, 100));
}

}  // namespace
}  // namespace quillo
