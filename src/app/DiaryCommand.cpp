#include "DiaryCommand.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "ResourceBundle.h"
#include "companion/DiaryPayload.h"
#include "diary/TodayDiary.h"
#include "platform/gtk/GioServices.h"

namespace quillo {

namespace {

constexpr const char* usage = "用法: quillo-companion diary [--json]\n";

bool print(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
           std::fputc('\n', stdout) != EOF && std::fflush(stdout) == 0;
}

}  // namespace

int runDiaryCommand(int argc, char** argv) {
    bool asJson = false;
    for (int i = 2; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--json" && !asJson) {
            asJson = true;
        } else {
            std::fprintf(stderr, "quillo-companion diary: 无法识别的参数 “%s”\n%s", argv[i], usage);
            return 2;
        }
    }

    // The same surroundings the companion reads; the bundle is looked for only if asked.
    const gtk::ProcessEnvironment environment(&ResourceBundle::module);
    const auto now = environment.now();
    // The assistant's summary is not read here: the companion takes it from a child process it
    // runs on its own schedule, so this prints the files the sources wrote.
    const auto diary = TodayDiary::todaysDiary(environment.homeDirectory(), now);

    if (!asJson) return print(diary.content) ? 0 : 1;
    const auto payload = DiaryPayload::json(TodayDiary::displayDate(now), diary);
    if (!payload) {
        std::fputs("quillo-companion diary: 今天的日记无法转换为 JSON\n", stderr);
        return 1;
    }
    return print(*payload) ? 0 : 1;
}

}  // namespace quillo
