// The real program on the session's X server (see tests/CMakeLists.txt for the window managers and
// the Xorg server with dummy monitors): one instance and its command line, its snapshot mode, as a
// screen reader hears it, where the figure first appears, a real pointer's drag across monitors,
// and life under real window managers.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "diary/TodayDiary.h"
#include "platform/gtk/KeyFileDefaults.h"
#include "support/MainContext.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using quillo::testing::runUntil;
using Geometry = std::array<int, 4>;  // x, y, width and height in X pixels
constexpr int figure = 64;            // the collapsed window's width and height
const Geometry single{0, 0, 1600, 900};

const std::string quillo = "'" QUILLO_EXECUTABLE "'";

// The program, and what else a test starts, with a home and settings folder of their own where the
// desktop asks for reduced motion: the figure then stays where it is put.
class Companion {
public:
    Companion() {
        std::filesystem::create_directories(dir.path() / "gtk-3.0");
        std::ofstream(dir.path() / "gtk-3.0" / "settings.ini")
            << "[Settings]\ngtk-enable-animations=0\n";
    }
    ~Companion() {
        while (!pids.empty()) stop(pids.back());
    }

    // Commands are shell words, run without a shell: in the background, or to their end (a minute
    // at most), answering what they printed and their exit status.
    GPid start(const std::string& command) {
        g_auto(GStrv) argv = words(command);
        GPid pid = -1;
        g_spawn_async(nullptr, argv, nullptr,
                      GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH |
                                  G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                      nullptr, nullptr, &pid, nullptr);
        pids.push_back(pid);
        return pid;
    }
    std::string run(const std::string& command, int* status = nullptr) {
        g_auto(GStrv) argv = words("timeout 60 " + command);
        g_autofree gchar* out = nullptr;
        int wait = -1;
        g_spawn_sync(nullptr, argv, nullptr,
                     GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
                     nullptr, &out, nullptr, &wait, nullptr);
        if (status) *status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
        return out ? out : "";
    }
    void stop(GPid pid) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::erase(pids, pid);
    }

    // Starts the companion and waits for its window.
    GPid launch() {
        app = start(quillo);
        const auto search =
            "xdotool search --onlyvisible --pid " + std::to_string(app) + " --name '^Quillo$'";
        runUntil([&] { return !(window = run(search)).empty(); });
        window = window.substr(0, window.find('\n'));
        return app;
    }
    Geometry geometry() {
        Geometry g{};
        std::sscanf(run("xdotool getwindowgeometry --shell " + window).c_str(),
                    "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &g[0], &g[1], &g[2], &g[3]);
        return g;
    }
    bool focused() { return run("xdotool getwindowfocus") == window + "\n"; }
    // Where the remembered y-up origin (from the primary monitor's lower left) puts the figure.
    std::optional<Geometry> remembered(const Geometry& primary) {
        quillo::gtk::KeyFileDefaults defaults(dir.path() / "QuilloCompanion" / "defaults.ini");
        const auto x = defaults.number("companion.x"), y = defaults.number("companion.y");
        if (!x || !y) return {};
        return Geometry{primary[0] + int(std::lround(*x)),
                        primary[1] + primary[3] - int(std::lround(*y)) - figure, figure, figure};
    }
    // Presses on the middle of the figure, moves the pointer in steps and lets go, again while the
    // window stays put: until the page has loaded, a press does nothing.
    Geometry drag(int dx, int dy, const Geometry& expected) {
        const Geometry start = geometry();
        const auto step = std::to_string(dx / 20) + " " + std::to_string(dy / 20);
        runUntil([&] {
            run("xdotool mousemove " + std::to_string(start[0] + 32) + " " +
                std::to_string(start[1] + 32) + " mousedown 1");
            for (int i = 0; i < 20; ++i) run("xdotool mousemove_relative -- " + step);
            run("xdotool mouseup 1");
            return runUntil([&] { return geometry() == expected; }, 2s) || geometry() != start;
        });
        return geometry();
    }

    quillo::testing::TempDir dir;
    std::vector<GPid> pids;
    GPid app = -1;
    std::string window;

private:
    GStrv words(const std::string& command) {
        const std::string home = dir.path().string();
        GStrv argv = nullptr;
        g_shell_parse_argv(
            ("env HOME=" + home + " XDG_CONFIG_HOME=" + home + " " + command).c_str(), nullptr,
            &argv, nullptr);
        return argv;
    }
};

std::string procFile(pid_t pid, const std::string& name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
    return {std::istreambuf_iterator<char>(file), {}};
}

// The web process the companion started: a child named so (the kernel cuts names at 15 bytes).
std::optional<pid_t> webProcessOf(pid_t parent) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = procFile(std::stoi(name), "stat");
        if (stat.find("(WebKitWebProces) ") != std::string::npos &&
            std::stoi(stat.substr(stat.rfind(')') + 4)) == parent)
            return std::stoi(name);
    }
    return std::nullopt;
}

// Where the panel goes from the figure: top edge and middle kept, then 18 points inside.
Geometry expandedFrom(const Geometry& g) {
    return {std::min(g[0] + figure / 2 - 370 / 2, 1600 - 18 - 370), std::min(g[1], 900 - 18 - 500),
            370, 500};
}

TEST(CompanionEndToEnd, OneInstanceWhichALaunchOpensAndToggleFoldsAndWhichQuitEnds) {
    Companion companion;
    int status = -1;
    companion.run(quillo + " --frobnicate", &status);
    EXPECT_EQ(status, 2) << "unknown arguments are refused with the usage";
    const GPid app = companion.launch();
    const Geometry start = companion.geometry();
    // A second launch hands its command line to the running instance and adds no window.
    companion.run(quillo, &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(runUntil([&] { return companion.geometry() == expandedFrom(start); }, 5s));
    EXPECT_EQ(
        std::ranges::count(companion.run("xdotool search --onlyvisible --name '^Quillo$'"), '\n'),
        1);
    companion.run(quillo + " --toggle");
    EXPECT_TRUE(runUntil([&] { return companion.geometry() == start; }, 5s)) << "folded back";
    EXPECT_EQ(companion.remembered(single), start);

    // What keeps it small: no GL driver (with libLLVM), SVG loader or OpenSSL in its own process,
    // and the web process alone without the JIT.
    const std::string maps = procFile(app, "maps");
    for (const char* library : {"libLLVM", "librsvg", "libssl.so"})
        EXPECT_EQ(maps.find(library), std::string::npos) << library;
    const auto web = webProcessOf(app);
    ASSERT_TRUE(web);
    const std::string environment = procFile(*web, "environ");
    EXPECT_NE(environment.find(std::string("\0JSC_useJIT=0\0", 14)), std::string::npos);
    EXPECT_EQ(environment.find("GDK_GL="), std::string::npos);

    // "--quit" returns once the companion has gone, so a start right after it is a companion of
    // its own rather than a command line handed to the one still ending.
    const auto quit = [&](GPid running) {
        companion.run(quillo + " --quit", &status);
        EXPECT_EQ(status, 0);
        int exited = -1;  // the status once it has ended by itself
        bool reaped = false;
        EXPECT_TRUE(runUntil(
            [&] { return reaped || (reaped = waitpid(running, &exited, WNOHANG) == running); }));
        EXPECT_EQ(exited, 0);
        std::erase(companion.pids, running);
    };
    quit(app);
    quit(companion.launch());
    EXPECT_FALSE(companion.window.empty()) << "the start right after --quit showed no window";
    companion.run(quillo + " --quit", &status);
    EXPECT_EQ(status, 0) << "with nothing running, starts nothing (that would still run)";
}

// Expanded at once, the window has the panel's size before the picture; then the program ends.
TEST(CompanionEndToEnd, InTheSnapshotModeItWritesThePanelAtItsSizeAndEnds) {
    Companion companion;
    const auto png = companion.dir.path() / "expanded.png";
    int status = -1;
    companion.run(
        "env QUILLO_CAPTURE_EXPANDED=1 QUILLO_CAPTURE_PATH=" + png.string() + " " + quillo,
        &status);
    g_autoptr(GdkPixbuf) picture = gdk_pixbuf_new_from_file(png.c_str(), nullptr);
    const int scale =
        gdk_monitor_get_scale_factor(gdk_display_get_monitor(gdk_display_get_default(), 0));
    EXPECT_EQ(std::tuple(status, picture ? gdk_pixbuf_get_width(picture) : 0,
                         picture ? gdk_pixbuf_get_height(picture) : 0),
              std::tuple(0, 370 * scale, 500 * scale));
}

// With a diary of today, on an accessibility bus of the test's own (the session's is found through
// a socket path that every session of the same user shares): opened, the diary's two points; with
// nothing on the clipboard "粘贴" fails, the message is announced and tied to the token field;
// closed, the figure tells of the failure.
TEST(CompanionEndToEnd, AScreenReaderHearsTheSyncMessageAndTheFiguresStateAndReadsTheDiary) {
    Companion companion;
    const auto home = companion.dir.path();
    const auto file =
        quillo::TodayDiary::diaryFile(home, quillo::TodayDiary::sources[0],
                                      quillo::TodayDiary::dayKey(std::chrono::system_clock::now()));
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "## 今天做了什么\n第一件事。第二件事。\n";
    const std::string heard = companion.run(
        "env AT_SPI_BUS_ADDRESS=unix:path=" + (home / "bus").string() + " /usr/bin/python3 " +
        QUILLO_SOURCE_DIR "/tests/integration/screen_reader.py " + quillo);
    EXPECT_EQ(nlohmann::json::parse(heard, nullptr, false), nlohmann::json::parse(R"({
        "figure": ["展开 Quillo", true, false], "diary": ["日记正文", true, 2],
        "message": "连接后可跨设备查看", "announced": ["剪贴板里没有连接令牌"],
        "field": ["剪贴板里没有连接令牌", true], "closed": "展开 Quillo，同步失败"})"))
        << heard;
}

// With two monitors, the first start lands lower right on the primary one, a drag follows the
// pointer onto the other, and a restart brings the figure back there.
TEST(CompanionEndToEnd, TheFigureStartsOnThePrimaryCrossesMonitorsWithTheDragAndComesBackThere) {
    Companion setup;
    if (setup.run("xrandr").find("DUMMY1") == std::string::npos)
        GTEST_SKIP() << "needs the dummy outputs of with-desktop-session.sh --xorg";
    setup.run("xrandr --addmode DUMMY1 1280x1024");
    // The primary monitor, the other one, and how far the pointer goes.
    for (const auto& [p, o, dx, dy] : std::vector<std::tuple<Geometry, Geometry, int, int>>{
             {{1280, 0, 1600, 900}, {0, 0, 1280, 1024}, -1600, -200},
             {single, {1600, 0, 1280, 1024}, 1300, -200}}) {
        SCOPED_TRACE(p[0] ? "primary on the right" : "primary on the left");
        Companion companion;
        companion.run("xrandr --output DUMMY1 --mode 1280x1024 --pos " + std::to_string(o[0]) +
                      "x0 --output DUMMY0 --mode 1600x900 --pos " + std::to_string(p[0]) +
                      "x0 --primary");
        companion.run("xrandr");  // the server reads its outputs again; GTK only asks for them
        companion.launch();
        // Its right edge 36 points inside the work area, its bottom 42 points above it.
        const Geometry first{p[0] + p[2] - 100, p[1] + p[3] - 106, figure, figure};
        EXPECT_EQ(companion.geometry(), first);
        // Where the pointer ends, fitted 18 points inside the monitor it is on.
        const Geometry moved{std::clamp(first[0] + dx, o[0] + 18, o[0] + o[2] - 18 - figure),
                             std::clamp(first[1] + dy, o[1] + 18, o[1] + o[3] - 18 - figure),
                             figure, figure};
        EXPECT_EQ(companion.drag(dx, dy, moved), moved);
        EXPECT_TRUE(runUntil([&] { return companion.remembered(p) == moved; }, 5s));
        companion.stop(companion.app);
        companion.launch();
        EXPECT_EQ(companion.geometry(), moved);
    }
}

// Under a real window manager, a start where another window has the keyboard neither takes it nor
// asks for attention (an "is ready" notification under GNOME). Opened with the keyboard, the
// panel grows all the way from the screen's corner and Escape folds it back; moved by the window
// manager, the figure stays put and opens there.
TEST(CompanionEndToEnd, UnderARealWindowManagerTheFigureAsksNoAttentionStaysWherePutTakesKeys) {
    Companion companion;
    if (companion.run("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") ==
        std::string::npos)
        GTEST_SKIP() << "needs a window manager: with-desktop-session.sh --window-manager";
    companion.start("xmessage -geometry 600x400+1000+450 focused");
    const std::string other = companion.run("xdotool search --sync --onlyvisible --class xmessage");
    // The window manager focuses the new window itself. An activation asked of it here could
    // be carried out only after the companion has started (--sync sees the window active already).
    ASSERT_TRUE(runUntil([&] { return companion.run("xdotool getactivewindow") == other; }, 5s));
    companion.launch();
    const Geometry start{1500, 794, figure, figure};
    ASSERT_EQ(companion.geometry(), start);
    EXPECT_FALSE(companion.focused());
    EXPECT_EQ(
        companion.run("xprop -id " + companion.window + " _NET_WM_STATE").find("DEMANDS_ATTENTION"),
        std::string::npos);

    companion.run(quillo + " --toggle");
    EXPECT_TRUE(runUntil([&] { return companion.geometry() == expandedFrom(start); }, 5s));
    EXPECT_TRUE(runUntil([&] { return companion.focused(); }, 5s))
        << "despite focus-stealing prevention";
    // A keyboard walk: Tab, and Escape folds the panel once the page has loaded; the keys stay.
    companion.run("xdotool key Tab Tab");
    EXPECT_TRUE(runUntil(
        [&] { return companion.run("xdotool key Escape"), companion.geometry() == start; }, 10s));
    EXPECT_TRUE(companion.focused());

    const Geometry moved{700, 300, figure, figure};
    companion.run("xdotool windowmove " + companion.window + " 700 300");
    ASSERT_TRUE(runUntil([&] { return companion.geometry() == moved; }, 5s));
    companion.run(quillo + " --toggle");
    EXPECT_TRUE(runUntil([&] { return companion.geometry() == expandedFrom(moved); }, 5s));
    companion.run(quillo + " --toggle");
    EXPECT_TRUE(runUntil([&] { return companion.geometry() == moved; }, 5s));
    EXPECT_EQ(companion.remembered(single), moved);
}

}  // namespace
