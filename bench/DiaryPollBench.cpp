// What watching today's diary costs and how soon a change shows.
//
// - One diary tick that finds nothing changed, with two 10 KB diaries: the work done every 1.5 s
//   for the whole life of the companion (target: at most 50 µs).
// - From a diary file written to the page being handed the new diary, through the real GIO folder
//   watches and the real main loop (target: at most 250 ms), both into a folder that exists and
//   as the first diary of the day, when the day's folders have to be made first.
//
// The controller runs on the test fakes except where the measurement needs the real thing.

#include <benchmark/benchmark.h>
#include <glib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "companion/CompanionController.h"
#include "diary/TodayDiary.h"
#include "fakes/FakePlatform.h"
#include "platform/gtk/GioDirectoryWatcher.h"
#include "platform/gtk/GtkMainLoop.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace quillo;

// A diary of about `size` bytes in the shape the agents write: both sections, short paragraphs
// of full-width sentences, a few bullets.
std::string realisticDiary(std::size_t size, const std::string& flavour) {
    std::string work = "## 今天做了什么\n\n";
    std::string learning = "## 今天学到了什么\n\n";
    for (int i = 0; work.size() + learning.size() < size; ++i) {
        const auto n = std::to_string(i);
        work += "- 第" + n + "件事：" + flavour +
                "整理了同步的日志，补上了测试。顺手修了一个小问题！\n";
        if (i % 3 == 2) work += "\n";
        learning += "学到第" + n + "点：文件监视要看最近存在的上级文件夹；合并要按字素。\n";
    }
    return "# 日记\n\n" + work + "\n" + learning;
}

void writeFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

class PageReadyController {
public:
    explicit PageReadyController(testing::FakePlatform& platform, const fs::path& root)
        : platform_(platform) {
        platform.env.home = root / "home";
        platform.env.bundle = root / "bundle";
        writeFile(platform.env.bundle / "index.html", "<!doctype html>");
    }
    void load() {
        controller = CompanionController::create(platform_);
        controller->start();
        platform_.webView->finishLoad();
    }
    fs::path todaysFile(std::size_t source) const {
        return TodayDiary::diaryFile(platform_.env.home, TodayDiary::sources[source],
                                     TodayDiary::dayKey(platform_.env.now()));
    }
    std::size_t pushes() const {
        return platform_.webView->scriptsCalling("quilloSetDiary").size();
    }

    std::shared_ptr<CompanionController> controller;

private:
    testing::FakePlatform& platform_;
};

void BM_UnchangedDiaryTick(benchmark::State& state) {
    quillo::testing::TempDir root;
    quillo::testing::FakePlatform platform;
    platform.env.start = std::chrono::system_clock::now();
    PageReadyController page(platform, root.path());
    writeFile(page.todaysFile(0), realisticDiary(10 * 1024, "烧窑"));
    writeFile(page.todaysFile(1), realisticDiary(10 * 1024, "周报"));
    page.load();
    const auto before = page.pushes();
    for (auto _ : state) page.controller->refreshDiary(true);
    if (page.pushes() != before) state.SkipWithError("an unchanged tick pushed the diary");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 20 * 1024);
}
BENCHMARK(BM_UnchangedDiaryTick)->Unit(benchmark::kMicrosecond);

void BM_UnchangedDiaryReadingAndSnapshot(benchmark::State& state) {
    quillo::testing::TempDir root;
    const auto now = std::chrono::system_clock::now();
    const auto dayKey = TodayDiary::dayKey(now);
    writeFile(TodayDiary::diaryFile(root.path(), TodayDiary::sources[0], dayKey),
              realisticDiary(10 * 1024, "烧窑"));
    writeFile(TodayDiary::diaryFile(root.path(), TodayDiary::sources[1], dayKey),
              realisticDiary(10 * 1024, "周报"));
    const auto last = TodayDiary::snapshot(TodayDiary::entries(root.path(), dayKey));
    for (auto _ : state) {
        const auto snapshot =
            TodayDiary::snapshot(TodayDiary::entries(root.path(), TodayDiary::dayKey(now)));
        benchmark::DoNotOptimize(snapshot == last);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 20 * 1024);
}
BENCHMARK(BM_UnchangedDiaryReadingAndSnapshot)->Unit(benchmark::kMicrosecond);

// The fakes, except for the main loop and the folder watcher, which are GLib's and GIO's own.
class RealLoopPlatform : public quillo::testing::FakePlatform {
public:
    MainLoop& mainLoop() override { return realLoop; }
    DirectoryWatcher& directoryWatcher() override { return realWatcher; }
    gtk::GtkMainLoop realLoop;
    gtk::GioDirectoryWatcher realWatcher;
};

// Runs the default main context until the page has been handed `count` diaries; false after 5 s.
bool iterateUntilPushes(const PageReadyController& page, std::size_t count) {
    bool expired = false;
    const guint timer = g_timeout_add(
        5000,
        +[](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &expired);
    while (page.pushes() < count && !expired) g_main_context_iteration(nullptr, TRUE);
    if (!expired) g_source_remove(timer);
    return page.pushes() >= count;
}

void measureWriteToPush(benchmark::State& state, bool firstDiaryOfTheDay) {
    quillo::testing::TempDir root;
    RealLoopPlatform platform;
    platform.env.start = std::chrono::system_clock::now();
    PageReadyController page(platform, root.path());
    fs::create_directories(page.todaysFile(0).parent_path());
    page.load();
    const auto sourceRoot = platform.env.home / "Documents";
    int round = 0;
    for (auto _ : state) {
        if (firstDiaryOfTheDay) {
            // Untimed: take the day's folders away and let the page see the empty day.
            const auto before = page.pushes();
            fs::remove_all(sourceRoot);
            if (before > 1 && !iterateUntilPushes(page, before + 1)) {
                state.SkipWithError("the emptied day never reached the page");
                break;
            }
        }
        const auto before = page.pushes();
        const auto start = std::chrono::steady_clock::now();
        writeFile(page.todaysFile(0),
                  "## 今天做了什么\n第" + std::to_string(++round) + "次写入。\n");
        if (!iterateUntilPushes(page, before + 1)) {
            state.SkipWithError("the change never reached the page");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    page.controller.reset();
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

void BM_FileWrittenToPageUpdated(benchmark::State& state) { measureWriteToPush(state, false); }
BENCHMARK(BM_FileWrittenToPageUpdated)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

void BM_FirstDiaryOfTheDayToPageUpdated(benchmark::State& state) {
    measureWriteToPush(state, true);
}
BENCHMARK(BM_FirstDiaryOfTheDayToPageUpdated)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

}  // namespace
