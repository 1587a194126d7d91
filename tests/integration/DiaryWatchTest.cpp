// The real folder watcher (GIO file monitors) against real folders: what a diary agent does on
// disk reaches the callback, including folders that appear only later.

#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/gtk/GioDirectoryWatcher.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Runs the default main context until `done` holds or the limit has passed. The one timeout
// source only wakes the loop at the deadline; everything else is the monitors' own events.
bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    if (done()) return true;
    bool expired = false;
    const guint timer = g_timeout_add(
        static_cast<guint>(limit.count()),
        +[](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &expired);
    while (!done() && !expired) g_main_context_iteration(nullptr, TRUE);
    if (!expired) g_source_remove(timer);
    return done();
}

// Lets whatever is already queued run, without waiting for anything new.
void drain() {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

void writeFile(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

class DiaryWatchTest : public ::testing::Test {
protected:
    // A change seen, then forgotten, so the next step waits for a change of its own.
    bool sawChange() {
        const bool seen = runUntil([this] { return changes > 0; });
        changes = 0;
        return seen;
    }
    SourceHandle watch(const fs::path& folder) {
        return watcher.watch(folder, [this] { ++changes; });
    }

    testing::TempDir dir;
    gtk::GioDirectoryWatcher watcher;
    int changes = 0;
};

TEST_F(DiaryWatchTest, AFileWrittenIntoAnExistingFolderIsReported) {
    const auto folder = dir.path() / "daily" / "2026";
    fs::create_directories(folder);
    auto handle = watch(folder);
    drain();
    changes = 0;

    writeFile(folder / "2026-12-06.md", "## 今天做了什么\n");
    EXPECT_TRUE(sawChange());
    std::ofstream(folder / "2026-12-06.md", std::ios::app) << "又一句。\n";
    EXPECT_TRUE(sawChange()) << "an append to a file already there";
}

TEST_F(DiaryWatchTest, AFolderCreatedLaterLevelByLevelIsReportedAndThenWatched) {
    const auto folder = dir.path() / "Documents" / "Quillo" / "kiln" / "daily" / "2026";
    auto handle = watch(folder);
    drain();

    fs::create_directories(dir.path() / "Documents" / "Quillo");
    fs::create_directories(folder);
    EXPECT_TRUE(sawChange()) << "the folder's appearance";
    drain();
    changes = 0;
    writeFile(folder / "2026-12-06.md", "第一条。");
    EXPECT_TRUE(sawChange()) << "a file in the folder that appeared";
}

TEST_F(DiaryWatchTest, ChangesBesideAMissingFolderAreNotReported) {
    const auto folder = dir.path() / "daily" / "2027";
    fs::create_directories(dir.path() / "daily");
    auto handle = watch(folder);
    drain();

    writeFile(dir.path() / "daily" / "notes.md", "不相干。");
    // A second watch on the same parent tells when the event has surely been dispatched.
    int parentChanges = 0;
    auto parent = watcher.watch(dir.path() / "daily", [&] { ++parentChanges; });
    drain();
    writeFile(dir.path() / "daily" / "notes.md", "还是不相干。");
    ASSERT_TRUE(runUntil([&] { return parentChanges > 0; }));
    drain();
    EXPECT_EQ(changes, 0);
}

TEST_F(DiaryWatchTest, AFolderRemovedAndMadeAgainIsFollowed) {
    const auto folder = dir.path() / "daily" / "2026";
    fs::create_directories(folder);
    auto handle = watch(folder);
    drain();

    fs::remove_all(folder);
    EXPECT_TRUE(sawChange()) << "the folder going away";
    drain();
    changes = 0;
    fs::create_directories(folder);
    EXPECT_TRUE(sawChange()) << "the folder made again";
    drain();
    changes = 0;
    writeFile(folder / "2026-12-06.md", "重新开始。");
    EXPECT_TRUE(sawChange()) << "a file in the new folder";
}

TEST_F(DiaryWatchTest, AFolderReplacedBeforeItsEventsArriveIsWatchedAnew) {
    const auto folder = dir.path() / "daily" / "2026";
    fs::create_directories(folder);
    auto handle = watch(folder);
    drain();

    // Gone and back under the same name, often with the same inode number, before the main loop
    // hears of it: the monitor of the old folder would hear nothing from the new one.
    fs::remove_all(dir.path() / "daily");
    fs::create_directories(folder);
    EXPECT_TRUE(sawChange());
    drain();
    changes = 0;
    writeFile(folder / "2026-12-06.md", "换了个文件夹。");
    EXPECT_TRUE(sawChange()) << "a file in the replacement folder";
}

TEST_F(DiaryWatchTest, ACancelledWatchIsSilent) {
    const auto folder = dir.path() / "daily";
    fs::create_directories(folder);
    auto cancelled = watch(folder);
    int liveChanges = 0;
    auto live = watcher.watch(folder, [&] { ++liveChanges; });
    drain();
    changes = 0;

    cancelled.cancel();
    writeFile(folder / "2026-12-06.md", "只有一个听见。");
    ASSERT_TRUE(runUntil([&] { return liveChanges > 0; }));
    drain();
    EXPECT_EQ(changes, 0);
}

TEST_F(DiaryWatchTest, TheCallbackMayDropItsOwnWatch) {
    const auto folder = dir.path() / "daily";
    fs::create_directories(folder);
    SourceHandle handle;
    handle = watcher.watch(folder, [&] {
        ++changes;
        handle = {};
    });
    drain();
    writeFile(folder / "a.md", "一。");
    writeFile(folder / "b.md", "二。");
    EXPECT_TRUE(runUntil([&] { return changes > 0; }));
    drain();
    EXPECT_EQ(changes, 1);
}

}  // namespace

}  // namespace quillo
