// The real program's window under the test session's Xvfb: where it first appears, a real pointer
// drag on the figure, the remembered position across a restart, a second launch's toggle and a
// wander step.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/gtk/KeyFileDefaults.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using Geometry = std::array<int, 4>;  // x, y, width and height in X pixels
constexpr int figure = 64;            // the collapsed window's width and height

// Asks again every few milliseconds until the condition holds or the limit has passed: another
// process's window sends this one no event when it moves.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    return condition();
}

// Runs a helper program to its end and returns what it printed.
std::string output(const std::string& command) {
    g_autofree gchar* out = nullptr;
    g_spawn_command_line_sync(command.c_str(), &out, nullptr, nullptr, nullptr);
    return out ? out : "";
}

// The session's single monitor, whole or its work area, in X pixels.
GdkRectangle monitor(bool workArea = false) {
    GdkRectangle r;
    GdkMonitor* m = gdk_display_get_monitor(gdk_display_get_default(), 0);
    workArea ? gdk_monitor_get_workarea(m, &r) : gdk_monitor_get_geometry(m, &r);
    return r;
}

class CompanionWindowEndToEndTest : public ::testing::Test {
protected:
    ~CompanionWindowEndToEndTest() override { stop(); }

    // Starts the program with its own settings folder and waits for its window to show.
    void launch() {
        g_auto(GStrv) env =
            g_environ_setenv(g_get_environ(), "XDG_CONFIG_HOME", config.path().c_str(), 1);
        gchar* argv[] = {const_cast<gchar*>(QUILLO_EXECUTABLE), nullptr};
        ASSERT_TRUE(g_spawn_async(nullptr, argv, env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr,
                                  &app, nullptr));
        const auto search = "xdotool search --onlyvisible --pid " + std::to_string(app);
        eventually([&] { return !(window = output(search + " --name ^Quillo$")).empty(); }, 20s);
        window = window.substr(0, window.find('\n'));
        ASSERT_FALSE(window.empty()) << "the companion's window did not appear";
    }
    void stop() {
        if (app > 0) kill(app, SIGTERM), waitpid(app, nullptr, 0);
        app = -1;
    }
    Geometry geometry() const {
        Geometry g{};
        std::sscanf(output("xdotool getwindowgeometry --shell " + window).c_str(),
                    "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &g[0], &g[1], &g[2], &g[3]);
        return g;
    }
    // Where the remembered y-up origin puts the figure.
    std::optional<Geometry> remembered() const {
        quillo::gtk::KeyFileDefaults defaults(config.path() / "QuilloCompanion" / "defaults.ini");
        const auto x = defaults.number("companion.x"), y = defaults.number("companion.y");
        if (!x || !y) return std::nullopt;
        const int top = int(std::lround(monitor().y + monitor().height - *y)) - figure;
        return Geometry{int(std::lround(*x)), top, figure, figure};
    }

    quillo::testing::TempDir config;
    GPid app = -1;
    std::string window;
};

TEST_F(CompanionWindowEndToEndTest, TheFigureFirstStandsLowerRightMovesWithARealDragAndComesBack) {
    launch();
    const GdkRectangle area = monitor(true);
    // Its right edge 36 points inside the work area, its bottom 42 points above it.
    EXPECT_EQ(geometry(),
              (Geometry{area.x + area.width - 100, area.y + area.height - 106, 64, 64}));
    EXPECT_FALSE(remembered()) << "showing it remembers nothing";

    // Presses on the middle of the figure, moves the pointer in steps and lets go. Until the page
    // has loaded a press does nothing, so the drag is tried again while the window stays put.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    Geometry start, now, moved;
    do {
        start = geometry();
        moved = {start[0] - 200, start[1] - 100, figure, figure};
        const auto middle = std::to_string(start[0] + 32) + " " + std::to_string(start[1] + 32);
        output("xdotool mousemove " + middle + " mousedown 1");
        for (int i = 0; i < 10; ++i) output("xdotool mousemove_relative -- -20 -10");
        output("xdotool mouseup 1");
        eventually([&] { return (now = geometry()) == moved; }, 2s);
    } while (now == start && std::chrono::steady_clock::now() < deadline);
    ASSERT_EQ(now, moved) << "the window started at " << ::testing::PrintToString(start);
    EXPECT_EQ(remembered(), geometry()) << "the new origin is in the defaults file";

    stop();
    const auto stored = remembered();
    ASSERT_TRUE(stored);
    launch();
    EXPECT_EQ(geometry(), *stored);
}

TEST_F(CompanionWindowEndToEndTest, ASecondLaunchTogglesThePanelAndLeftAloneTheFigureWanders) {
    launch();
    const Geometry start = geometry();
    const GdkRectangle area = monitor(true);
    // The top edge and the middle are kept, then the panel is pulled 18 points inside the area.
    const Geometry panelAt{
        std::min(start[0] + figure / 2 - 370 / 2, area.x + area.width - 18 - 370),
        std::min(start[1], area.y + area.height - 18 - 500), 370, 500};
    output(QUILLO_EXECUTABLE " --toggle");
    EXPECT_TRUE(eventually([&] { return geometry() == panelAt; }, 5s)) << "grown";
    output(QUILLO_EXECUTABLE " --toggle");
    EXPECT_TRUE(eventually([&] { return geometry() == start; }, 5s)) << "folded back";
    EXPECT_EQ(remembered(), start);

    // The first step comes 6 to 10 seconds after the start; its target is remembered at once.
    ASSERT_TRUE(eventually([&] { return geometry() != start; }, 15s));
    std::optional<Geometry> to;
    ASSERT_TRUE(eventually([&] { return (to = remembered()) && geometry() == *to; }, 5s));
    // 22 to 46 points sideways (a pixel either way for rounding) unless stopped by the inset
    // edge of the area, only 18 points to the right of the start; up or down by -8 to 12.
    const int dx = (*to)[0] - start[0], up = start[1] - (*to)[1];
    EXPECT_TRUE(dx == 18 || (std::abs(dx) >= 21 && std::abs(dx) <= 47)) << dx;
    EXPECT_TRUE(up >= -9 && up <= 13) << up;
}

}  // namespace
