#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "diary/DiaryAggregator.h"

namespace {

using quillo::DiaryEntry;

// A fixed pseudo-random sequence, so every run measures the same text.
class Sequence {
public:
    uint32_t next(uint32_t bound) {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state_ >> 33) % bound;
    }

private:
    uint64_t state_ = 0x5EED;
};

constexpr std::array kPhrases = {
    "修复了同步失败的问题", "和产品一起过了需求",         "重写了日记的解析",
    "给断字规则补了测试",   "看了一篇关于排版的文章",     "整理了本周的待办",
    "把构建时间缩短了一半", "review 了两个合并请求",      "调整了窗口的动画",
    "下午和设计师对了细节", "ICU 的字符边界比想象中复杂", "写完了周报",
    "发现缓存没有按时失效", "补上了错误提示的文案",       "读了 WebKitGTK 的文档",
};
constexpr std::array kTerminators = {"。", "。", "。", "！", "？", "；"};
constexpr std::array kJoiners = {"，", "，然后", "、", " "};

void appendSentence(std::string& text, Sequence& random) {
    const uint32_t phrases = 1 + random.next(3);
    for (uint32_t i = 0; i < phrases; ++i) {
        if (i > 0) {
            text += kJoiners[random.next(kJoiners.size())];
        }
        text += kPhrases[random.next(kPhrases.size())];
    }
    text += kTerminators[random.next(kTerminators.size())];
}

// A paragraph of bullet lines or of running prose, each line holding one to three sentences.
void appendParagraph(std::string& text, Sequence& random) {
    const bool bullets = random.next(3) != 0;
    const uint32_t lines = 1 + random.next(4);
    for (uint32_t line = 0; line < lines; ++line) {
        if (bullets) {
            text += random.next(4) == 0 ? "* " : "- ";
        }
        const uint32_t sentences = 1 + random.next(3);
        for (uint32_t i = 0; i < sentences; ++i) {
            appendSentence(text, random);
        }
        text += '\n';
    }
    text += '\n';
}

// One source's diary of about `bytes` bytes: a title, both sections (work about two thirds),
// now and then a comment or a level-3 heading, and a section of another name to skip.
std::string diary(size_t bytes, Sequence& random) {
    std::string text = "# 2026-12-06\n\n<!-- 由代理自动写入 -->\n## 今天做了什么\n\n";
    const size_t workBytes = bytes * 2 / 3;
    while (text.size() < workBytes) {
        if (random.next(10) == 0) {
            text += "### 下午\n";
        }
        appendParagraph(text, random);
    }
    text += "## 备注\n这里的内容不算。\n\n## 今天学到了什么\n\n";
    while (text.size() < bytes) {
        if (random.next(12) == 0) {
            text += "<!-- 待补充 -->\n";
        }
        appendParagraph(text, random);
    }
    return text;
}

std::vector<DiaryEntry> diaries(size_t totalBytes) {
    Sequence random;
    return {
        DiaryEntry{"KILN", diary(totalBytes * 3 / 5, random)},
        DiaryEntry{"Tansy工作", diary(totalBytes * 2 / 5, random)},
    };
}

void BM_AggregateTwoSources(benchmark::State& state) {
    const std::vector<DiaryEntry> entries = diaries(static_cast<size_t>(state.range(0)));
    int64_t bytes = 0;
    for (const DiaryEntry& entry : entries) {
        bytes += static_cast<int64_t>(entry.content.size());
    }
    for (auto _ : state) {
        quillo::DiaryAggregate aggregate = quillo::DiaryAggregator::aggregate(entries);
        benchmark::DoNotOptimize(aggregate);
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.SetComplexityN(bytes);
}

BENCHMARK(BM_AggregateTwoSources)
    ->Arg(10 << 10)
    ->Arg(1 << 20)
    ->Arg(10 << 20)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
