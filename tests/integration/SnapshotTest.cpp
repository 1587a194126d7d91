// The snapshot mode for real: the shipped program started with QUILLO_CAPTURE_PATH writes its
// picture (or says why not) and ends. The web view's picture itself is checked with the page.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/MainContext.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;

using quillo::testing::runUntil;

int scale() {
    return gdk_monitor_get_scale_factor(gdk_display_get_monitor(gdk_display_get_default(), 0));
}

TEST(SnapshotModeTest, TheProgramWritesTheFigureAtItsSizeOrSaysWhyNotAndEnds) {
    testing::TempDir folder;
    const auto errors = folder.path() / "errors";
    // The picture's path, QUILLO_CAPTURE_EXPANDED, and the size in points (none: not written).
    const std::vector<std::tuple<fs::path, const char*, int, int>> cases = {
        {folder.path() / "collapsed.png", nullptr, 64, 64},
        {folder.path() / "expanded.png", "1", 370, 500},
        {folder.path() / "missing/companion.png", nullptr, 0, 0},
    };
    for (const auto& [path, expanded, width, height] : cases) {
        SCOPED_TRACE(path.filename().string());
        g_autoptr(GSubprocessLauncher) launcher =
            g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE);
        g_subprocess_launcher_setenv(launcher, "QUILLO_CAPTURE_PATH", path.c_str(), TRUE);
        if (expanded) g_subprocess_launcher_setenv(launcher, "QUILLO_CAPTURE_EXPANDED", "1", TRUE);
        g_subprocess_launcher_set_stderr_file_path(launcher, errors.c_str());
        g_autoptr(GSubprocess) process =
            g_subprocess_launcher_spawn(launcher, nullptr, QUILLO_EXECUTABLE, nullptr);
        ASSERT_TRUE(process);
        bool ended = false;
        g_subprocess_wait_async(
            process, nullptr,
            +[](GObject*, GAsyncResult*, gpointer flag) { *static_cast<bool*>(flag) = true; },
            &ended);
        const bool byItself = runUntil([&] { return ended; });
        if (!byItself) g_subprocess_force_exit(process);
        runUntil([&] { return ended; });
        ASSERT_TRUE(byItself) << "the program kept running";
        EXPECT_TRUE(g_subprocess_get_if_exited(process));

        std::stringstream said;
        said << std::ifstream(errors).rdbuf();
        g_autoptr(GdkPixbuf) picture = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
        EXPECT_EQ(picture ? gdk_pixbuf_get_width(picture) : 0, width * scale()) << said.str();
        EXPECT_EQ(picture ? gdk_pixbuf_get_height(picture) : 0, height * scale());
        EXPECT_EQ(said.str().find("Failed to write companion snapshot\n") != std::string::npos,
                  width == 0);
    }
}

}  // namespace

}  // namespace quillo
