// The GTK backend of the window seam on the test session's Xvfb (no window manager and no
// compositor unless the session starts them): coordinates, pointer, motion setting and random
// draws; where the panel lands and who moved it, its hints, the page's compositor class; the
// defaults file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <array>
#include <cmath>
#include <fstream>
#include <set>
#include <string>

#include "platform/gtk/GioServices.h"
#include "platform/gtk/GtkMotionPreference.h"
#include "platform/gtk/GtkPanelWindow.h"
#include "platform/gtk/GtkScreens.h"
#include "platform/gtk/GtkWebView.h"
#include "platform/gtk/KeyFileDefaults.h"
#include "platform/gtk/ScreenCoordinates.h"
#include "support/MainContext.h"
#include "support/TempDir.h"

// Xlib's macros (None, Bool, Status) clash with GoogleTest's headers; they come last.
#include <gdk/gdkx.h>

namespace quillo {

// Readable failures; internal, so that other tests may print rectangles too.
static void PrintTo(const Rect& r, std::ostream* os) {
    *os << r.origin.x << "," << r.origin.y << " " << r.size.width << "x" << r.size.height;
}

namespace {

using namespace std::chrono_literals;
using namespace quillo::testing;
using gtk::KeyFileDefaults;
using Geometry = std::array<int, 4>;  // x, y, width and height in X pixels

Geometry of(const GdkRectangle& r) { return {r.x, r.y, r.width, r.height}; }

// What a command prints, once the X server has done what GDK asked of it.
std::string sh(const std::string& command) {
    gdk_display_sync(gdk_display_get_default());
    g_autofree gchar* out = nullptr;
    g_spawn_command_line_sync(command.c_str(), &out, nullptr, nullptr, nullptr);
    return out ? out : "";
}

TEST(ScreensTest, YUpPointsAreGdkPixelsAsFarAsXCarriesMotionFollowsGtkAndDrawsStayInRange) {
    // The primary monitor, 1600 x 900, to the right of a 1280 x 1024 one.
    const gtk::ScreenCoordinates coordinates(1280, 900);
    const auto expect = [&](Rect points, Geometry pixels) {
        EXPECT_EQ(of(coordinates.toPixels(points)), pixels);
    };
    expect({{-1280, -124}, {1280, 1024}}, {0, 0, 1280, 1024});  // the monitor to the left
    EXPECT_EQ(coordinates.toPoints(GdkRectangle{0, 0, 1280, 1024}),
              (Rect{{-1280, -124}, {1280, 1024}}));
    expect({{10.4, 20.6}, {63.6, 64.2}}, {1290, 815, 64, 64});
    expect({{1e12, -1e12}, {64, 64}}, {32767, 32767, 64, 64});
    expect({{NAN, INFINITY}, {NAN, 0}}, {-32768, -32768, 1, 1});
    // The session's own screen, the pointer and the page's pointer positions in points.
    gtk::GtkScreens screens;
    sh("xdotool mousemove 100 200");
    EXPECT_EQ(screens.pointer(), (Point{100, 700}));
    EXPECT_EQ(screens.fromPageScreen({100, 200}), (Point{100, 700}));
    gtk::SystemRandomSource random;
    for (int i = 0; i < 100; ++i) {
        const double step = random.uniform(22, 46);
        EXPECT_TRUE(step >= 22 && step <= 46) << step;
    }
    gtk::GtkMotionPreference motion;
    for (const bool animations : {false, true}) {
        g_object_set(gtk_settings_get_default(), "gtk-enable-animations", gboolean(animations),
                     nullptr);
        EXPECT_EQ(motion.reduced(), !animations);
    }
}

class PanelWindowTest : public ::testing::Test {
protected:
    PanelWindowTest() : panel(Size{64, 64}) {
        panel.configureFloating();
        panel.setContent(view);
    }

    GdkWindow* window() { return gtk_widget_get_window(GTK_WIDGET(panel.window())); }
    std::string xid() { return std::to_string(gdk_x11_window_get_xid(window())); }
    // Waits until the X server has the window where the y-up frame says on the session's
    // 1600 x 900 screen, computed here independently of the backend.
    ::testing::AssertionResult landsAt(const Rect& frame) {
        const Geometry expected{int(frame.origin.x), 900 - int(frame.origin.y + frame.size.height),
                                int(frame.size.width), int(frame.size.height)};
        GdkRectangle now{};
        if (runUntil(
                [&] { return gdk_window_get_frame_extents(window(), &now), of(now) == expected; },
                5s))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "the server has " << ::testing::PrintToString(of(now));
    }

    gtk::GtkWebView view;
    gtk::GtkPanelWindow panel;
};

TEST_F(PanelWindowTest, AnimationsReachTheirTargetByWholePixelsUnlessANewerChangeOrAMoveStopsThem) {
    // A page laid out for the expanded size asks for that size as its natural one; the collapse
    // must still take the window down to the figure.
    TempDir temp;
    std::ofstream(temp.path() / "big.html")
        << "<!doctype html><body style='margin:0'><div style='width:370px;height:500px'></div>";
    bool loaded = false;
    view.setLoadFinishedHandler([&] { loaded = true; });
    view.loadFile(temp.path() / "big.html");
    const Rect collapsed{{300, 200}, {64, 64}}, expanded{{147, 164}, {370, 500}};
    panel.setFrame(collapsed);
    panel.showWithoutFocus();
    ASSERT_TRUE(runUntil([&] { return loaded; }));
    ASSERT_TRUE(landsAt(collapsed));
    panel.setFrame(expanded);
    panel.displayNow();
    EXPECT_TRUE(landsAt(expanded));
    for (const Rect& target : {collapsed, expanded}) {
        bool done = false, between = false;
        panel.animateFrame(target, 200ms, [&] {
            done = true;
            EXPECT_EQ(panel.frame(), target) << "the callback comes after the last frame";
        });
        EXPECT_TRUE(runUntil([&] {
            return (between |= panel.frame().size.width > 64 && panel.frame().size.width < 370),
                   done;
        }));
        EXPECT_TRUE(between) << "the frame eased through in-between sizes";
        EXPECT_TRUE(landsAt(target));
    }
    // A new animation, a frame set or someone else's move (xdotool's here, the user's through the
    // window manager in life) stops the running one where it is; its callback still comes. The
    // move is where the window is from then on.
    for (const std::string by : {"animation", "move", "frame"}) {
        const Rect away{{900, 500}, {64, 64}};
        const Rect target{{by == "animation" ? 100.0 : 400.0, by == "move" ? 436.0 : 100},
                          {64, 64}};
        std::optional<Rect> stoppedAt;
        panel.animateFrame(away, 60s, [&] { stoppedAt = panel.frame(); });
        if (by == "animation") panel.animateFrame(target, 50ms, nullptr);
        if (by == "frame") panel.setFrame(target);
        if (by == "move") sh("xdotool windowmove " + xid() + " 400 400");
        EXPECT_TRUE(runUntil([&] { return stoppedAt.has_value(); }));
        EXPECT_NE(stoppedAt, away);
        EXPECT_TRUE(landsAt(target));
        EXPECT_EQ(panel.frame(), target);
    }
    // A slide moves X two whole pixels at a time: a window manager (this also runs under
    // several) answers every move asked of it, and a move per frame would be some thirty a second.
    std::set<int> places;
    const auto note = +[](GtkWidget*, GdkEventConfigure* e, std::set<int>* at) -> gboolean {
        return at->insert(e->x), FALSE;
    };
    const gulong noting =
        g_signal_connect(panel.window(), "configure-event", G_CALLBACK(note), &places);
    const Rect slid{{412, 100}, {64, 64}};
    bool done = false;
    panel.animateFrame(slid, 500ms, [&] { done = true; });
    ASSERT_TRUE(runUntil([&] { return done; }));
    EXPECT_TRUE(landsAt(slid));
    g_signal_handler_disconnect(panel.window(), noting);
    places.erase(400);  // where it started, which a window manager may report again
    EXPECT_GT(places.size(), 1u);
    EXPECT_LE(places.size(), 12u / 2) << "a place every two pixels of the twelve";
    EXPECT_EQ(panel.frame(), slid) << "its own moves, reported late, are not someone else's";
}

struct PageMessages : ScriptMessageHandler {
    void didReceiveScriptMessage(const nlohmann::json& body) override {
        classes.push_back(body.value("className", "?"));
    }
    std::vector<std::string> classes;
};

// Shown, the window carries the floating panel's hints, takes the keyboard only when presented,
// and the page knows before its first script whether a compositor runs, and hears of changes.
TEST_F(PanelWindowTest, ShownItCarriesThePanelHintsTakesKeysWhenPresentedAndTellsOfTheCompositor) {
    const auto composited = [] { return bool(gdk_screen_is_composited(gdk_screen_get_default())); };
    ASSERT_FALSE(composited()) << "the test session runs no compositor";
    const auto messages = std::make_shared<PageMessages>();
    view.addScriptMessageHandler("companion", messages);
    const std::string tell =
        "window.webkit.messageHandlers.companion.postMessage("
        "{className: document.documentElement.className});";
    // The page's own first script tells the class before anything is drawn.
    TempDir temp;
    std::ofstream(temp.path() / "index.html") << "<!doctype html><script>" << tell << "</script>";
    const auto classAfter = [&](bool reload) {
        const auto before = messages->classes.size();
        reload ? view.loadFile(temp.path() / "index.html") : view.evaluateScript(tell);
        const bool told = runUntil([&] { return messages->classes.size() > before; });
        return told ? messages->classes.back() : "(no answer)";
    };
    panel.showWithoutFocus();
    ASSERT_TRUE(window() && runUntil([&] { return gdk_window_is_visible(window()); }));
    const std::string hints =
        sh("xprop -id " + xid() + " _NET_WM_STATE _NET_WM_WINDOW_TYPE WM_NORMAL_HINTS WM_HINTS");
    for (const char* hint :
         {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_STICKY", "_NET_WM_STATE_SKIP_TASKBAR",
          "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_NORMAL\n",
          // Not resizable by the user: the size can be only this one.
          "minimum size: 64 by 64", "maximum size: 64 by 64", "input focus: False"})
        EXPECT_THAT(hints, ::testing::HasSubstr(hint));
    EXPECT_TRUE(gdk_window_get_visual(window()) ==
                gdk_screen_get_rgba_visual(gdk_window_get_screen(window())))
        << "transparent where a compositor runs";
    EXPECT_EQ(classAfter(true), "no-compositor");
    // Holding the compositing-manager selection of screen 0 is what a running compositor does;
    // X tells every client when its owner changes.
    GtkWidget* owner = g_object_ref_sink(gtk_invisible_new());
    gtk_widget_realize(owner);
    for (GdkWindow* holder : {gtk_widget_get_window(owner), static_cast<GdkWindow*>(nullptr)}) {
        gdk_selection_owner_set_for_display(gdk_display_get_default(), holder,
                                            gdk_atom_intern("_NET_WM_CM_S0", FALSE),
                                            GDK_CURRENT_TIME, FALSE);
        EXPECT_TRUE(runUntil([&] { return composited() == (holder != nullptr); }));
        const std::string expected = holder ? "" : "no-compositor";
        EXPECT_EQ(classAfter(false), expected) << "the shown page follows";
        EXPECT_EQ(classAfter(true), expected) << "a reload starts so";
    }
    gtk_widget_destroy(owner);
    g_object_unref(owner);
    panel.present();
    EXPECT_THAT(sh("xprop -id " + xid() + " WM_HINTS"), ::testing::HasSubstr("input focus: True"));
}

// A place that cannot be written is the fault test's; a folder in the file's place cannot even be
// read.
TEST(KeyFileDefaultsTest, NumbersComeBackExactlyAndACorruptOrUnreadableFileReadsAsNothing) {
    TempDir temp;
    const auto file = temp.path() / "config" / "QuilloCompanion" / "defaults.ini";
    // The file's text if there is one, and whether the key is there though unreadable.
    for (const auto& [text, present] : std::vector<std::pair<std::optional<std::string>, bool>>{
             {std::nullopt, false},
             {"[defaults]\ncompanion.x=1\n\xff\xfe garbage\n", false},
             {"[defaults]\ncompanion.x=abc\n", true},
             {"[defaults]\ncompanion.x=inf\n", true},
             {"[defaults]\ncompanion.x=nan\n", true}}) {
        SCOPED_TRACE(::testing::PrintToString(text));
        if (text) std::ofstream(file, std::ios::binary) << *text;
        KeyFileDefaults defaults(file);
        EXPECT_EQ(defaults.has("companion.x"), present);
        EXPECT_EQ(defaults.number("companion.x"), std::nullopt);
        defaults.setNumbers({{"companion.x", 1500.25}, {"companion.y", -136.0 / 3}});
        KeyFileDefaults(file).setNumbers({{"companion.x", 7}});
        EXPECT_EQ(KeyFileDefaults(file).number("companion.x"), 7);
        EXPECT_EQ(KeyFileDefaults(file).number("companion.y"), -136.0 / 3) << "kept exactly";
    }
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    KeyFileDefaults folder(file);
    EXPECT_FALSE(folder.has("companion.x"));
    folder.setNumbers({{"companion.x", 1}, {"companion.y", 2}});
    EXPECT_EQ(folder.number("companion.x"), std::nullopt);
}

}  // namespace
}  // namespace quillo
