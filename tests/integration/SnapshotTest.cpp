// The snapshot mode for real: the web view's PNG in a shown GTK window, and the shipped program
// started with QUILLO_CAPTURE_PATH, which writes its picture (or says why not) and ends.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "platform/gtk/GtkWebView.h"
#include "support/MainContext.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;

using quillo::testing::runUntil;

int scale() {
    return gdk_monitor_get_scale_factor(gdk_display_get_monitor(gdk_display_get_default(), 0));
}

// The alpha of one pixel, in points; a picture without an alpha channel is opaque everywhere.
int alphaAt(GdkPixbuf* picture, int x, int y) {
    if (!gdk_pixbuf_get_has_alpha(picture)) return 255;
    const int row = y * scale() * gdk_pixbuf_get_rowstride(picture);
    return gdk_pixbuf_get_pixels(picture)[row + x * scale() * 4 + 3];
}

TEST(WebViewSnapshotTest, APngOfTheVisibleAreaKeepsTheClearBackgroundClear) {
    testing::TempDir folder;
    std::ofstream(folder.path() / "page.html") << R"(<!doctype html>
        <body style="margin:0;background:transparent"><div style="position:absolute;left:20px;
        top:10px;width:30px;height:30px;background:#c04020"></div></body>)";
    gtk::GtkWebView view;
    std::optional<std::optional<std::string>> answer;
    view.takeSnapshot([&](std::optional<std::string> png) { answer = std::move(png); });
    ASSERT_TRUE(runUntil([&] { return answer.has_value(); }));
    EXPECT_FALSE(*answer) << "a view never shown answers with nothing";

    view.setTransparentBackground();
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    if (GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(window)))
        gtk_widget_set_visual(window, rgba);
    gtk_widget_set_app_paintable(window, TRUE);
    gtk_widget_set_size_request(view.widget(), 80, 60);
    gtk_container_add(GTK_CONTAINER(window), view.widget());
    gtk_widget_show_all(window);
    bool loaded = false;
    view.setLoadFinishedHandler([&] { loaded = true; });
    view.loadFile(folder.path() / "page.html");
    ASSERT_TRUE(runUntil([&] { return loaded; }));
    answer.reset();
    view.takeSnapshot([&](std::optional<std::string> png) { answer = std::move(png); });
    ASSERT_TRUE(runUntil([&] { return answer.has_value(); }) && *answer);
    gtk_container_remove(GTK_CONTAINER(window), view.widget());
    gtk_widget_destroy(window);

    std::ofstream(folder.path() / "view.png", std::ios::binary) << **answer;
    g_autoptr(GdkPixbuf) picture =
        gdk_pixbuf_new_from_file((folder.path() / "view.png").c_str(), nullptr);
    ASSERT_TRUE(picture) << "not a PNG";
    EXPECT_EQ(gdk_pixbuf_get_width(picture), 80 * scale());
    EXPECT_EQ(gdk_pixbuf_get_height(picture), 60 * scale());
    EXPECT_EQ(alphaAt(picture, 2, 2), 0) << "the page leaves this clear";
    EXPECT_EQ(alphaAt(picture, 35, 25), 255) << "inside the square";
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
