// The real folder watcher (GIO file monitors) against real folders: what a diary agent does on
// disk reaches the callback, including folders that appear only later.

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <utility>

#include "platform/gtk/GioDirectoryWatcher.h"
#include "support/MainContext.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;

using quillo::testing::runUntil;

class DiaryWatchTest : public ::testing::Test {
protected:
    // Lets whatever is queued run; returns the changes seen and forgets them.
    int settle() {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        return std::exchange(changes, 0);
    }
    // A change seen, then forgotten, so that the next step waits for a change of its own.
    bool sawChange() {
        return runUntil([this] { return changes > 0; }) && settle() > 0;
    }
    SourceHandle watch(const fs::path& folder) {
        return watcher.watch(folder, [this] { ++changes; });
    }

    testing::TempDir dir;
    gtk::GioDirectoryWatcher watcher;
    int changes = 0;
    const fs::path folder = dir.path() / "Documents" / "Quillo" / "kiln" / "daily" / "2026";
};

TEST_F(DiaryWatchTest, AFolderCreatedLaterIsReportedAndThenItsFilesAndAppends) {
    auto handle = watch(folder);
    settle();
    fs::create_directories(folder);
    EXPECT_TRUE(sawChange()) << "the folder's appearance, level by level";
    std::ofstream(folder / "2026-12-06.md") << "## 今天做了什么\n";
    EXPECT_TRUE(sawChange()) << "a file in the folder that appeared";
    std::ofstream(folder / "2026-12-06.md", std::ios::app) << "又一句。\n";
    EXPECT_TRUE(sawChange()) << "an append to a file already there";
}

TEST_F(DiaryWatchTest, AFolderRemovedOrReplacedIsWatchedAnew) {
    fs::create_directories(folder);
    auto handle = watch(folder);
    settle();
    for (const bool replacedAtOnce : {false, true}) {
        SCOPED_TRACE(replacedAtOnce ? "replaced before its events arrive" : "removed, then made");
        fs::remove_all(replacedAtOnce ? folder.parent_path() : folder);
        EXPECT_TRUE(replacedAtOnce || sawChange()) << "the folder going away";
        // Back under the same name, often with the same inode: the old monitor hears nothing.
        fs::create_directories(folder);
        EXPECT_TRUE(sawChange()) << "the folder made again";
        std::ofstream(folder / "2026-12-06.md") << "重新开始。";
        EXPECT_TRUE(sawChange()) << "a file in the new folder";
    }
}

TEST_F(DiaryWatchTest, CancelledAndDroppedWatchesAndTheWatchOfAMissingFolderHearNothingMore) {
    const auto daily = folder.parent_path();
    fs::create_directories(daily);
    auto missing = watch(folder);
    auto cancelled = watch(daily);
    int dropped = 0;
    SourceHandle dropping = watcher.watch(daily, [&] {
        ++dropped;
        dropping = {};
    });
    int liveChanges = 0;
    auto live = watcher.watch(daily, [&] { ++liveChanges; });
    settle();
    cancelled.cancel();
    std::ofstream(daily / "a.md") << "不相干。";
    std::ofstream(daily / "b.md") << "还是不相干。";
    ASSERT_TRUE(runUntil([&] { return liveChanges > 1; }));
    EXPECT_EQ(settle(), 0) << "cancelled, or watching a folder that is not there";
    EXPECT_EQ(dropped, 1) << "the callback dropped its own watch";
}

}  // namespace

}  // namespace quillo
