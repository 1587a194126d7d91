// The real program's window under the test session's Xvfb: where it first appears, a real pointer
// drag on the figure and the remembered position across a restart.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/gtk/KeyFileDefaults.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr int figure = 64;  // the collapsed window's width and height

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const Geometry&, const Geometry&) = default;
};

std::ostream& operator<<(std::ostream& os, const Geometry& g) {
    return os << g.x << "," << g.y << " " << g.width << "x" << g.height;
}

// Asks again every few milliseconds until the condition holds or the limit has passed: another
// process's window sends this one no event when it moves.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

// Runs a helper program to its end and returns what it printed.
std::string output(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    gchar* out = nullptr;
    g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out,
                 nullptr, nullptr, nullptr);
    std::string text = out ? out : "";
    g_free(out);
    return text;
}

// The bottom edge of the primary monitor in X coordinates: where y-up points start.
int primaryBottom() {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* primary = gdk_display_get_primary_monitor(display);
    if (!primary) primary = gdk_display_get_monitor(display, 0);
    GdkRectangle r;
    gdk_monitor_get_geometry(primary, &r);
    return r.y + r.height;
}

class CompanionWindowEndToEndTest : public ::testing::Test {
protected:
    ~CompanionWindowEndToEndTest() override { stop(); }

    std::filesystem::path defaultsFile() const {
        return config.path() / "QuilloCompanion" / "defaults.ini";
    }

    // Starts the program with its own settings folder and waits for its window to show.
    void launch() {
        std::vector<std::string> variables;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "XDG_CONFIG_HOME=", 16) != 0) variables.emplace_back(*e);
        variables.push_back("XDG_CONFIG_HOME=" + config.path().string());
        std::vector<char*> envp;
        for (auto& v : variables) envp.push_back(v.data());
        envp.push_back(nullptr);
        std::string program = QUILLO_EXECUTABLE;
        char* argv[] = {program.data(), nullptr};
        ASSERT_EQ(posix_spawn(&app, argv[0], nullptr, nullptr, argv, envp.data()), 0);
        eventually(
            [&] {
                window = output({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(app),
                                 "--name", "^Quillo$"});
                window = window.substr(0, window.find('\n'));
                return !window.empty();
            },
            20s);
        ASSERT_FALSE(window.empty()) << "the companion's window did not appear";
    }

    void stop() {
        if (app <= 0) return;
        kill(app, SIGTERM);
        int status = 0;
        waitpid(app, &status, 0);
        app = -1;
    }

    Geometry geometry() const {
        std::istringstream shell(output({"xdotool", "getwindowgeometry", "--shell", window}));
        Geometry g;
        for (std::string line; std::getline(shell, line);) {
            const auto eq = line.find('=');
            if (eq == std::string::npos) continue;
            const auto key = line.substr(0, eq);
            const int value = std::atoi(line.c_str() + eq + 1);
            if (key == "X") g.x = value;
            if (key == "Y") g.y = value;
            if (key == "WIDTH") g.width = value;
            if (key == "HEIGHT") g.height = value;
        }
        return g;
    }

    // The window the remembered y-up origin stands for.
    static Geometry windowAt(double x, double y) {
        return {int(std::lround(x)), int(std::lround(primaryBottom() - y - figure)), figure,
                figure};
    }
    std::optional<Geometry> remembered() const {
        quillo::gtk::KeyFileDefaults defaults(defaultsFile());
        const auto x = defaults.number("companion.x");
        const auto y = defaults.number("companion.y");
        if (!x || !y) return std::nullopt;
        return windowAt(*x, *y);
    }

    // Presses on the middle of the figure, moves the pointer in steps and lets go. The window
    // follows a moment later, once the page's messages have come through. Until the page has
    // loaded, a press does nothing, so the drag is tried again while the window stays put.
    ::testing::AssertionResult dragFigure(
        int dx, int dy, const std::function<Geometry(const Geometry&)>& expected) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        Geometry start, now;
        while (std::chrono::steady_clock::now() < deadline) {
            start = geometry();
            output({"xdotool", "mousemove", std::to_string(start.x + figure / 2),
                    std::to_string(start.y + figure / 2), "mousedown", "1"});
            const int steps = 10;
            for (int i = 0; i < steps; ++i)
                output({"xdotool", "mousemove_relative", "--", std::to_string(dx / steps),
                        std::to_string(dy / steps)});
            output({"xdotool", "mouseup", "1"});
            if (eventually([&] { return (now = geometry()) == expected(start); }, 2s))
                return ::testing::AssertionSuccess();
            if (!(now == start)) break;  // it moved, but not as the pointer did
        }
        return ::testing::AssertionFailure() << "the window went from " << start << " to " << now
                                             << ", expected " << expected(start);
    }

    quillo::testing::TempDir config;
    pid_t app = -1;
    std::string window;
};

TEST_F(CompanionWindowEndToEndTest, AFirstLaunchShowsTheFigureAtTheLowerRightOfTheScreen) {
    launch();
    GdkRectangle workArea;
    gdk_monitor_get_workarea(gdk_display_get_monitor(gdk_display_get_default(), 0), &workArea);
    const Geometry expected{workArea.x + workArea.width - 100,
                            workArea.y + workArea.height - 42 - figure, figure, figure};
    EXPECT_EQ(geometry(), expected);
    EXPECT_FALSE(std::filesystem::exists(defaultsFile())) << "showing it remembers nothing";
}

TEST_F(CompanionWindowEndToEndTest, ARealDragMovesTheWindowWithThePointerAndItComesBackThere) {
    launch();
    ASSERT_TRUE(dragFigure(-200, -100, [](const Geometry& start) {
        return Geometry{start.x - 200, start.y - 100, figure, figure};
    }));
    EXPECT_EQ(remembered(), geometry()) << "the new origin is in the defaults file";

    stop();
    const auto stored = remembered();
    ASSERT_TRUE(stored);
    launch();
    EXPECT_EQ(geometry(), *stored);
}

TEST_F(CompanionWindowEndToEndTest, TogglingGrowsThePanelDownFromTheFigureAndFoldsItBack) {
    launch();
    const Geometry figureAt = geometry();
    GdkRectangle area;
    gdk_monitor_get_workarea(gdk_display_get_monitor(gdk_display_get_default(), 0), &area);
    // The top edge and the middle are kept, then the panel is pulled 18 points inside the area.
    const Geometry panelAt{
        std::min(figureAt.x + figure / 2 - 370 / 2, area.x + area.width - 18 - 370),
        std::min(figureAt.y, area.y + area.height - 18 - 500), 370, 500};

    output({QUILLO_EXECUTABLE, "--toggle"});
    EXPECT_TRUE(eventually([&] { return geometry() == panelAt; }, 10s)) << geometry();
    output({QUILLO_EXECUTABLE, "--toggle"});
    EXPECT_TRUE(eventually([&] { return geometry() == figureAt; }, 10s)) << geometry();
    EXPECT_EQ(remembered(), figureAt);
}

TEST_F(CompanionWindowEndToEndTest, LeftAloneTheFigureTakesASmallStepAndRemembersWhereItEnds) {
    launch();
    const Geometry start = geometry();
    // The first step comes 6 to 10 seconds after the start.
    ASSERT_TRUE(eventually([&] { return !(geometry() == start); }, 15s));
    // The target is remembered at once; the slide ends there.
    std::optional<Geometry> target;
    ASSERT_TRUE(eventually([&] { return (target = remembered()) && geometry() == *target; }, 5s))
        << geometry();
    // 22 to 46 points sideways (a pixel either way for rounding), unless the inset edge of the
    // area stopped it first; the figure starts only 18 points from the right one.
    GdkRectangle area;
    gdk_monitor_get_workarea(gdk_display_get_monitor(gdk_display_get_default(), 0), &area);
    const bool stoppedAtTheEdge = target->x == area.x + area.width - 18 - figure;
    const int dx = target->x - start.x;
    const int up = start.y - target->y;
    EXPECT_TRUE((std::abs(dx) >= 21 || stoppedAtTheEdge) && std::abs(dx) <= 47) << dx;
    EXPECT_TRUE(up >= -9 && up <= 13) << up;
}

}  // namespace
