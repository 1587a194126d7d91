// The snapshot mode for real: the web view's PNG in a shown GTK window, and the shipped program
// started with QUILLO_CAPTURE_PATH, which writes its picture (or says why not) and ends.

#include <cairo.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/gtk/GtkWebView.h"
#include "support/TempDir.h"

namespace quillo {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kWaitLimit = 30s;

bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kWaitLimit) {
    if (done()) return true;
    bool expired = false;
    const guint deadline = g_timeout_add(
        static_cast<guint>(limit.count()),
        +[](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &expired);
    while (!done() && !expired) g_main_context_iteration(nullptr, TRUE);
    if (!expired) g_source_remove(deadline);
    return done();
}

int scaleFactor() {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (!monitor) monitor = gdk_display_get_monitor(display, 0);
    return monitor ? gdk_monitor_get_scale_factor(monitor) : 1;
}

struct SurfaceDeleter {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

// Decodes PNG bytes; nothing when they are not a PNG.
Surface decode(const std::string& png) {
    struct Reader {
        const std::string& bytes;
        std::size_t offset = 0;
    } reader{png};
    Surface surface(cairo_image_surface_create_from_png_stream(
        +[](void* closure, unsigned char* data, unsigned int length) {
            auto* r = static_cast<Reader*>(closure);
            if (r->bytes.size() - r->offset < length) return CAIRO_STATUS_READ_ERROR;
            std::copy_n(r->bytes.data() + r->offset, length, data);
            r->offset += length;
            return CAIRO_STATUS_SUCCESS;
        },
        &reader));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    return surface;
}

Surface decodeFile(const fs::path& path) {
    Surface surface(cairo_image_surface_create_from_png(path.c_str()));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    return surface;
}

// The alpha of one pixel; a picture without an alpha channel is opaque everywhere.
int alphaAt(cairo_surface_t* surface, int x, int y) {
    cairo_surface_flush(surface);
    if (cairo_image_surface_get_format(surface) != CAIRO_FORMAT_ARGB32) return 255;
    const auto* row =
        cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
    return reinterpret_cast<const std::uint32_t*>(row)[x] >> 24;
}

// --- The web view's picture

class WebViewSnapshotTest : public ::testing::Test {
protected:
    // Shows a page of the given size in an RGBA window and waits until it has loaded.
    void show(const std::string& html, int width, int height) {
        writePage(html);
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
        if (GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(window_)))
            gtk_widget_set_visual(window_, rgba);
        gtk_widget_set_app_paintable(window_, TRUE);
        gtk_widget_set_size_request(view.widget(), width, height);
        gtk_container_add(GTK_CONTAINER(window_), view.widget());
        gtk_widget_show_all(window_);
        load();
    }
    void writePage(const std::string& html) {
        FILE* file = std::fopen((folder.path() / "page.html").c_str(), "w");
        std::fputs(html.c_str(), file);
        std::fclose(file);
    }
    void load() {
        bool loaded = false;
        view.setLoadFinishedHandler([&] { loaded = true; });
        view.loadFile(folder.path() / "page.html");
        ASSERT_TRUE(runUntil([&] { return loaded; }));
        view.setLoadFinishedHandler(nullptr);
    }
    std::optional<std::optional<std::string>> snapshot() {
        std::optional<std::optional<std::string>> answer;
        view.takeSnapshot([&](std::optional<std::string> png) { answer = std::move(png); });
        EXPECT_TRUE(runUntil([&] { return answer.has_value(); }));
        return answer;
    }
    ~WebViewSnapshotTest() override {
        if (window_) {
            gtk_container_remove(GTK_CONTAINER(window_), view.widget());
            gtk_widget_destroy(window_);
        }
    }

    testing::TempDir folder;
    gtk::GtkWebView view;
    GtkWidget* window_ = nullptr;
};

TEST_F(WebViewSnapshotTest, APngOfTheVisibleAreaKeepsTheClearBackgroundClear) {
    view.setTransparentBackground();
    show(R"(<!doctype html><html><body style="margin:0;background:transparent">
            <div style="position:absolute;left:20px;top:10px;width:30px;height:30px;
                        background:#c04020"></div></body></html>)",
         80, 60);
    const auto answer = snapshot();
    ASSERT_TRUE(answer && *answer);
    const auto& png = **answer;
    ASSERT_EQ(png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);

    const Surface picture = decode(png);
    ASSERT_TRUE(picture);
    const int scale = scaleFactor();
    EXPECT_EQ(cairo_image_surface_get_width(picture.get()), 80 * scale);
    EXPECT_EQ(cairo_image_surface_get_height(picture.get()), 60 * scale);
    EXPECT_EQ(alphaAt(picture.get(), 2 * scale, 2 * scale), 0) << "the page leaves this clear";
    EXPECT_EQ(alphaAt(picture.get(), 35 * scale, 25 * scale), 255) << "inside the square";
}

TEST_F(WebViewSnapshotTest, AViewThatWasNeverShownAnswersWithNothing) {
    writePage("<!doctype html><p>hidden</p>");
    const auto answer = snapshot();
    ASSERT_TRUE(answer);
    EXPECT_FALSE(*answer);
}

// --- The program in snapshot mode

struct Run {
    bool ended = false;
    std::optional<int> exitStatus;
    std::string standardError;
};

// Starts the shipped program with the given variables and waits for it to end by itself.
Run runCompanion(const std::vector<std::pair<const char*, std::string>>& variables) {
    GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDERR_PIPE);
    for (const auto& [name, value] : variables)
        g_subprocess_launcher_setenv(launcher, name, value.c_str(), TRUE);
    GError* error = nullptr;
    GSubprocess* process =
        g_subprocess_launcher_spawn(launcher, &error, QUILLO_EXECUTABLE, nullptr);
    g_object_unref(launcher);
    Run run;
    if (!process) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return run;
    }
    struct Waiting {
        Run* run;
        bool done = false;
    } waiting{&run};
    g_subprocess_communicate_utf8_async(
        process, nullptr, nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            auto* w = static_cast<Waiting*>(data);
            gchar* err = nullptr;
            if (g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), result, nullptr, &err,
                                                     nullptr)) {
                w->run->ended = true;
                if (g_subprocess_get_if_exited(G_SUBPROCESS(source)))
                    w->run->exitStatus = g_subprocess_get_exit_status(G_SUBPROCESS(source));
            }
            if (err) w->run->standardError = err;
            g_free(err);
            w->done = true;
        },
        &waiting);
    if (!runUntil([&] { return waiting.done; })) {
        g_subprocess_force_exit(process);
        runUntil([&] { return waiting.done; });
    }
    g_object_unref(process);
    return run;
}

class SnapshotModeTest : public ::testing::Test {
protected:
    testing::TempDir folder;
};

TEST_F(SnapshotModeTest, TheCollapsedFigureIsWrittenAtItsSizeAndTheProgramEnds) {
    const auto path = folder.path() / "collapsed.png";
    const auto run = runCompanion({{"QUILLO_CAPTURE_PATH", path.string()}});
    ASSERT_TRUE(run.ended) << "the program kept running";
    EXPECT_EQ(run.exitStatus, 0);
    const Surface picture = decodeFile(path);
    ASSERT_TRUE(picture) << "no PNG at " << path;
    EXPECT_EQ(cairo_image_surface_get_width(picture.get()), 64 * scaleFactor());
    EXPECT_EQ(cairo_image_surface_get_height(picture.get()), 64 * scaleFactor());
}

TEST_F(SnapshotModeTest, ExpandedCaptureWritesTheWholePanel) {
    const auto path = folder.path() / "expanded.png";
    const auto run =
        runCompanion({{"QUILLO_CAPTURE_PATH", path.string()}, {"QUILLO_CAPTURE_EXPANDED", "1"}});
    ASSERT_TRUE(run.ended) << "the program kept running";
    const Surface picture = decodeFile(path);
    ASSERT_TRUE(picture) << "no PNG at " << path;
    EXPECT_EQ(cairo_image_surface_get_width(picture.get()), 370 * scaleFactor());
    EXPECT_EQ(cairo_image_surface_get_height(picture.get()), 500 * scaleFactor());
}

TEST_F(SnapshotModeTest, AFolderThatDoesNotExistIsReportedAndTheProgramStillEnds) {
    const auto path = folder.path() / "missing/companion.png";
    const auto run = runCompanion({{"QUILLO_CAPTURE_PATH", path.string()}});
    ASSERT_TRUE(run.ended) << "the program kept running";
    EXPECT_NE(run.standardError.find("Failed to write companion snapshot\n"), std::string::npos)
        << run.standardError;
    EXPECT_FALSE(fs::exists(path));
}

}  // namespace

}  // namespace quillo
