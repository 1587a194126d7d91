// The GTK backend of the window seam against a real X server (the test session's Xvfb, which
// runs no window manager and no compositor): where the panel lands, the hints it carries, its
// animation, the page's compositor class, the screens and the defaults file.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/gtk/GtkPanelWindow.h"
#include "platform/gtk/GtkScreens.h"
#include "platform/gtk/GtkWebView.h"
#include "platform/gtk/KeyFileDefaults.h"
#include "platform/gtk/ScreenCoordinates.h"
#include "support/TempDir.h"

// Xlib's macros (None, Bool, Status) clash with GoogleTest's headers; they come last.
#include <X11/Xutil.h>
#include <gdk/gdkx.h>

namespace quillo {

// Readable failures; internal, so that other tests may print rectangles too.
static void PrintTo(const Rect& r, std::ostream* os) {
    *os << "{(" << r.origin.x << ", " << r.origin.y << "), " << r.size.width << " x "
        << r.size.height << "}";
}

namespace {

using namespace std::chrono_literals;
using gtk::GtkPanelWindow;
using gtk::GtkWebView;
using gtk::KeyFileDefaults;
using gtk::ScreenCoordinates;

constexpr auto waitLimit = 20s;

// Runs the default main context until `done` holds or the limit has passed. The one timeout
// source only wakes the loop at the deadline; everything else is the window system's events.
bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = waitLimit) {
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

// The monitors' bottom edge in GDK pixels: the y-up origin of the session's single screen.
int primaryBottom() {
    GdkMonitor* monitor = gdk_display_get_monitor(gdk_display_get_default(), 0);
    GdkRectangle geometry;
    gdk_monitor_get_geometry(monitor, &geometry);
    return geometry.y + geometry.height;
}

// Where the X server has the window now (no window manager: no frame around it).
GdkRectangle serverGeometry(GtkPanelWindow& panel) {
    GdkRectangle r{};
    if (GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(panel.window())))
        gdk_window_get_frame_extents(window, &r);
    return r;
}

bool sameRect(const GdkRectangle& a, const GdkRectangle& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

std::string describe(const GdkRectangle& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
}

// The GDK rectangle a y-up frame must occupy, computed here independently of the backend.
GdkRectangle expectedPixels(const Rect& frame) {
    return {int(frame.origin.x), primaryBottom() - int(frame.origin.y + frame.size.height),
            int(frame.size.width), int(frame.size.height)};
}

std::vector<std::string> atomNames(GdkWindow* window, const char* property) {
    GdkAtom type;
    gint format = 0, length = 0;
    guchar* data = nullptr;
    std::vector<std::string> names;
    if (!gdk_property_get(window, gdk_atom_intern(property, FALSE), GDK_NONE, 0, 1024, FALSE, &type,
                          &format, &length, &data))
        return names;
    const auto* atoms = reinterpret_cast<GdkAtom*>(data);
    for (gint i = 0; i < length / gint(sizeof(GdkAtom)); ++i) {
        gchar* name = gdk_atom_name(atoms[i]);
        names.emplace_back(name);
        g_free(name);
    }
    g_free(data);
    return names;
}

// --- Coordinates

TEST(ScreenCoordinatesTest, YUpPointsAndGdkPixelsConvertBothWays) {
    const ScreenCoordinates coordinates(900);
    struct Case {
        GdkRectangle pixels;
        Rect points;
    };
    const Case cases[] = {
        {{0, 836, 64, 64}, {{0, 0}, {64, 64}}},
        {{1500, 794, 64, 64}, {{1500, 42}, {64, 64}}},
        {{347, 536, 370, 500}, {{347, -136}, {370, 500}}},
        {{1600, -124, 1280, 1024}, {{1600, 0}, {1280, 1024}}},
        {{-1280, 0, 1280, 1024}, {{-1280, -124}, {1280, 1024}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe(c.pixels));
        EXPECT_EQ(coordinates.toPoints(c.pixels), c.points);
        EXPECT_TRUE(sameRect(coordinates.toPixels(c.points), c.pixels))
            << describe(coordinates.toPixels(c.points));
    }
}

TEST(ScreenCoordinatesTest, FractionsRoundAndOutlandishFramesStayWithinWhatXCanCarry) {
    const ScreenCoordinates coordinates(900);
    struct Case {
        const char* name;
        Rect points;
        GdkRectangle pixels;
    };
    const Case cases[] = {
        {"fractions round to the nearest pixel", {{10.4, 20.6}, {63.6, 64.2}}, {10, 815, 64, 64}},
        {"no size is at least one pixel", {{0, 0}, {0, -5}}, {0, 899, 1, 1}},
        {"far away is pinned", {{1e12, -1e12}, {64, 64}}, {32767, 32767, 64, 64}},
        {"not a number is pinned", {{NAN, INFINITY}, {NAN, 64}}, {-32768, -32768, 1, 64}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(sameRect(coordinates.toPixels(c.points), c.pixels))
            << describe(coordinates.toPixels(c.points));
    }
}

// --- The panel on a real X server

class PanelWindowTest : public ::testing::Test {
protected:
    PanelWindowTest() : panel(Size{64, 64}) {
        panel.configureFloating();
        panel.setContent(view);
    }

    // Waits until the X server has the window where the frame says.
    ::testing::AssertionResult landsAt(const Rect& frame) {
        const GdkRectangle expected = expectedPixels(frame);
        if (runUntil([&] { return sameRect(serverGeometry(panel), expected); }))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the server has " << describe(serverGeometry(panel))
                                             << ", expected " << describe(expected);
    }

    GtkWebView view;
    GtkPanelWindow panel;
};

TEST_F(PanelWindowTest, AWindowPlacedAtAYUpOriginLandsAtTheMatchingServerPosition) {
    const Rect frame{{300, 200}, {64, 64}};
    panel.setFrame(frame);
    panel.showWithoutFocus();
    EXPECT_TRUE(landsAt(frame));
    EXPECT_EQ(panel.frame(), frame);

    // Moved and resized while shown, both ways.
    for (const Rect next : {Rect{{100, 50}, {370, 500}}, Rect{{1500, 42}, {64, 64}}}) {
        panel.setFrame(next);
        EXPECT_TRUE(landsAt(next));
    }
}

TEST_F(PanelWindowTest, TheWindowCarriesTheFloatingPanelHints) {
    panel.showWithoutFocus();
    GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(panel.window()));
    ASSERT_TRUE(window);
    ASSERT_TRUE(runUntil([&] { return gdk_window_is_visible(window); }));

    const auto state = atomNames(window, "_NET_WM_STATE");
    const std::set<std::string> states(state.begin(), state.end());
    for (const char* expected : {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_STICKY",
                                 "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
        EXPECT_TRUE(states.count(expected)) << expected;
    }
    EXPECT_EQ(atomNames(window, "_NET_WM_WINDOW_TYPE"),
              std::vector<std::string>{"_NET_WM_WINDOW_TYPE_UTILITY"});
    GdkWMDecoration decorations;
    ASSERT_TRUE(gdk_window_get_decorations(window, &decorations));
    EXPECT_EQ(decorations, 0);
    EXPECT_FALSE(gtk_window_get_focus_on_map(panel.window()));
    EXPECT_TRUE(gtk_window_get_accept_focus(panel.window()));
    // Not resizable by the user: the window manager is told that the size can be only this one.
    XSizeHints hints{};
    long supplied = 0;
    ASSERT_TRUE(XGetWMNormalHints(gdk_x11_display_get_xdisplay(gdk_window_get_display(window)),
                                  gdk_x11_window_get_xid(window), &hints, &supplied));
    EXPECT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize));
    EXPECT_EQ((std::array{hints.min_width, hints.min_height, hints.max_width, hints.max_height}),
              (std::array{64, 64, 64, 64}));
    EXPECT_TRUE(gdk_window_get_visual(window) ==
                gdk_screen_get_rgba_visual(gdk_window_get_screen(window)))
        << "transparent where a compositor runs";
}

TEST_F(PanelWindowTest, AnAnimationEndsAtItsTargetAndThenCallsBack) {
    panel.setFrame({{300, 200}, {64, 64}});
    panel.showWithoutFocus();
    ASSERT_TRUE(landsAt({{300, 200}, {64, 64}}));

    const Rect expanded{{147, 164}, {370, 500}};
    bool done = false;
    bool sawInBetween = false;
    panel.animateFrame(expanded, 200ms, [&] {
        done = true;
        EXPECT_EQ(panel.frame(), expanded) << "the callback comes after the last frame";
    });
    EXPECT_TRUE(runUntil([&] {
        const Rect now = panel.frame();
        sawInBetween |= now.size.width > 64 && now.size.width < 370;
        return done;
    }));
    EXPECT_TRUE(sawInBetween) << "the frame eased through in-between sizes";
    EXPECT_TRUE(landsAt(expanded));

    done = false;
    const Rect collapsed{{300, 200}, {64, 64}};
    panel.animateFrame(collapsed, 200ms, [&] { done = true; });
    EXPECT_TRUE(runUntil([&] { return done; }));
    EXPECT_TRUE(landsAt(collapsed));
}

TEST_F(PanelWindowTest, ANewAnimationReplacesTheRunningOneAndDropsItsCallback) {
    panel.showWithoutFocus();
    int first = 0, second = 0;
    panel.animateFrame({{900, 500}, {64, 64}}, 1550ms, [&] { ++first; });
    const Rect target{{100, 100}, {64, 64}};
    panel.animateFrame(target, 50ms, [&] { ++second; });
    EXPECT_TRUE(runUntil([&] { return second == 1; }));
    // Long enough for the first to have ended had it still been running.
    runUntil([] { return false; }, 1700ms);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(panel.frame(), target);
}

TEST_F(PanelWindowTest, SettingTheFrameStopsARunningAnimation) {
    panel.showWithoutFocus();
    bool done = false;
    panel.animateFrame({{900, 500}, {64, 64}}, 300ms, [&] { done = true; });
    const Rect dragged{{400, 300}, {64, 64}};
    panel.setFrame(dragged);
    runUntil([] { return false; }, 500ms);
    EXPECT_FALSE(done);
    EXPECT_EQ(panel.frame(), dragged);
    EXPECT_TRUE(landsAt(dragged));
}

TEST_F(PanelWindowTest, DisplayNowLeavesTheServerWithTheNewFrame) {
    panel.showWithoutFocus();
    ASSERT_TRUE(landsAt(panel.frame()));
    const Rect expanded{{200, 100}, {370, 500}};
    panel.setFrame(expanded);
    panel.displayNow();
    // No turn of the main loop in between.
    EXPECT_EQ(describe(serverGeometry(panel)), describe(expectedPixels(expanded)));
}

TEST_F(PanelWindowTest, ThePagesOwnSizeNeverHoldsTheWindowLarger) {
    // A page laid out for the expanded size asks for that size as its natural one; the collapse
    // must still take the window down to the figure.
    testing::TempDir temp;
    const auto page = temp.path() / "big.html";
    std::ofstream(page) << "<!doctype html><body style='margin:0'>"
                           "<div style='width:370px;height:500px'></div></body>";
    bool loaded = false;
    view.setLoadFinishedHandler([&] { loaded = true; });
    view.loadFile(page);
    const Rect collapsed{{300, 200}, {64, 64}};
    const Rect expanded{{147, 18}, {370, 500}};
    panel.setFrame(collapsed);
    panel.showWithoutFocus();
    ASSERT_TRUE(runUntil([&] { return loaded; }));
    EXPECT_TRUE(landsAt(collapsed));
    panel.setFrame(expanded);
    EXPECT_TRUE(landsAt(expanded));
    bool done = false;
    panel.animateFrame(collapsed, 200ms, [&] { done = true; });
    ASSERT_TRUE(runUntil([&] { return done; }));
    EXPECT_TRUE(landsAt(collapsed));
}

// --- The compositor class of the page

class PageMessages : public ScriptMessageHandler {
public:
    void didReceiveScriptMessage(const nlohmann::json& body) override { bodies.push_back(body); }
    std::vector<nlohmann::json> bodies;
};

// Holds the compositing-manager selection of screen 0 for the life of the object, which is what
// a running compositor does; X tells every client when its owner changes.
class FakeCompositor {
public:
    FakeCompositor() : owner_(gtk_invisible_new()) {
        g_object_ref_sink(owner_);
        gtk_widget_realize(owner_);
        gdk_selection_owner_set_for_display(gdk_display_get_default(),
                                            gtk_widget_get_window(owner_), selection(),
                                            GDK_CURRENT_TIME, FALSE);
    }
    ~FakeCompositor() {
        gdk_selection_owner_set_for_display(gdk_display_get_default(), nullptr, selection(),
                                            GDK_CURRENT_TIME, FALSE);
        gdk_display_sync(gdk_display_get_default());
        runUntil([] { return !gdk_screen_is_composited(gdk_screen_get_default()); }, 5s);
        gtk_widget_destroy(owner_);
        g_object_unref(owner_);
    }

private:
    static GdkAtom selection() { return gdk_atom_intern("_NET_WM_CM_S0", FALSE); }
    GtkWidget* owner_;
};

class CompositorClassTest : public PanelWindowTest {
protected:
    CompositorClassTest() : messages(std::make_shared<PageMessages>()) {
        view.addScriptMessageHandler("companion", messages);
        page = temp.path() / "index.html";
        // The page's own first script records the class before anything is drawn.
        std::ofstream(page) << "<!doctype html><html><head><script>"
                               "window.webkit.messageHandlers.companion.postMessage({atParse:"
                               "document.documentElement.className});</script></head>"
                               "<body></body></html>";
    }

    std::optional<std::string> classAtParse() {
        const auto before = messages->bodies.size();
        view.loadFile(page);
        if (!runUntil([&] { return messages->bodies.size() > before; })) return std::nullopt;
        return messages->bodies.back().value("atParse", "?");
    }
    std::optional<std::string> classNow() {
        const auto before = messages->bodies.size();
        view.evaluateScript(
            "window.webkit.messageHandlers.companion.postMessage({now:"
            "document.documentElement.className})");
        if (!runUntil([&] { return messages->bodies.size() > before; })) return std::nullopt;
        return messages->bodies.back().value("now", "?");
    }

    testing::TempDir temp;
    std::filesystem::path page;
    std::shared_ptr<PageMessages> messages;
};

TEST_F(CompositorClassTest, WithoutACompositorThePageHasTheClassBeforeItsFirstScript) {
    ASSERT_FALSE(gdk_screen_is_composited(gdk_screen_get_default()))
        << "the test session runs no compositor";
    panel.showWithoutFocus();
    EXPECT_EQ(classAtParse(), "no-compositor");
}

TEST_F(CompositorClassTest, ACompositorArrivingOrLeavingChangesTheClassOfTheShownPage) {
    panel.showWithoutFocus();
    ASSERT_EQ(classAtParse(), "no-compositor");
    {
        FakeCompositor compositor;
        ASSERT_TRUE(runUntil([] { return gdk_screen_is_composited(gdk_screen_get_default()); }));
        EXPECT_EQ(classNow(), "") << "the page loses the class";
        EXPECT_EQ(classAtParse(), "") << "a reload starts without it";
    }
    EXPECT_FALSE(gdk_screen_is_composited(gdk_screen_get_default()));
    EXPECT_EQ(classNow(), "no-compositor");
    EXPECT_EQ(classAtParse(), "no-compositor");
}

// --- Screens

TEST(GtkScreensTest, TheSessionsMonitorIsReportedInYUpPoints) {
    const gtk::GtkScreens screens;
    GdkMonitor* monitor = gdk_display_get_monitor(gdk_display_get_default(), 0);
    GdkRectangle geometry, workArea;
    gdk_monitor_get_geometry(monitor, &geometry);
    gdk_monitor_get_workarea(monitor, &workArea);
    const auto all = screens.all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].frame, (Rect{{0, 0}, {double(geometry.width), double(geometry.height)}}));
    EXPECT_EQ(all[0].visibleFrame,
              (Rect{{double(workArea.x), double(primaryBottom() - workArea.y - workArea.height)},
                    {double(workArea.width), double(workArea.height)}}));
    EXPECT_EQ(screens.main(), all[0]);
}

// --- The defaults file

class KeyFileDefaultsTest : public ::testing::Test {
protected:
    std::string contents() const {
        std::ifstream in(file);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void write(const std::string& text) {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

    testing::TempDir temp;
    std::filesystem::path file = temp.path() / "config" / "QuilloCompanion" / "defaults.ini";
};

TEST_F(KeyFileDefaultsTest, LivesInTheUsersConfigFolder) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    ASSERT_TRUE(config) << "the test session sets it";
    EXPECT_EQ(KeyFileDefaults::standardLocation(),
              std::filesystem::path(config) / "QuilloCompanion" / "defaults.ini");
}

TEST_F(KeyFileDefaultsTest, NumbersComeBackExactlyAndTheFolderIsCreated) {
    KeyFileDefaults defaults(file);
    EXPECT_FALSE(defaults.has("companion.x"));
    defaults.setNumbers({{"companion.x", 1500.25}, {"companion.y", -136.0 / 3}});
    EXPECT_TRUE(defaults.has("companion.x"));
    EXPECT_EQ(defaults.number("companion.x"), 1500.25);
    EXPECT_EQ(defaults.number("companion.y"), -136.0 / 3);
    EXPECT_NE(contents().find("[defaults]"), std::string::npos) << contents();

    KeyFileDefaults again(file);
    EXPECT_EQ(again.number("companion.y"), -136.0 / 3) << "read back from the file";
    again.setNumbers({{"companion.x", 7}});
    EXPECT_EQ(again.number("companion.x"), 7);
    EXPECT_EQ(again.number("companion.y"), -136.0 / 3) << "other keys are kept";

    // Written through a temporary file that is renamed over the old one: nothing else is left.
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path()))
        files.push_back(entry.path().filename());
    EXPECT_EQ(files, std::vector<std::string>{"defaults.ini"});
}

TEST_F(KeyFileDefaultsTest, ACorruptFileReadsAsNothingStoredAndIsReplacedAtTheNextSave) {
    const std::string corrupt[] = {
        "this is not a key file\n",
        "[defaults]\ncompanion.x=1\n\xff\xfe garbage\n",
        std::string("\0\0\0", 3),
    };
    for (const auto& text : corrupt) {
        SCOPED_TRACE(::testing::PrintToString(text));
        write(text);
        KeyFileDefaults defaults(file);
        EXPECT_FALSE(defaults.has("companion.x"));
        EXPECT_EQ(defaults.number("companion.x"), std::nullopt);
        defaults.setNumbers({{"companion.x", 10}, {"companion.y", 20}});
        EXPECT_EQ(defaults.number("companion.x"), 10);
        EXPECT_EQ(contents().find("garbage"), std::string::npos);
    }
}

TEST_F(KeyFileDefaultsTest, AValueThatIsNoNumberIsPresentButUnreadable) {
    for (const char* value : {"abc", "", "inf", "nan", "1,5"}) {
        SCOPED_TRACE(value);
        write(std::string("[defaults]\ncompanion.x=") + value + "\ncompanion.y=3\n");
        KeyFileDefaults defaults(file);
        EXPECT_TRUE(defaults.has("companion.x"));
        EXPECT_EQ(defaults.number("companion.x"), std::nullopt);
        EXPECT_EQ(defaults.number("companion.y"), 3);
    }
}

TEST_F(KeyFileDefaultsTest, AnUnreadableOrUnwritablePlaceNeverStopsTheProgram) {
    // A folder where the file should be: cannot be read as a file, nor replaced by one.
    std::filesystem::create_directories(file);
    KeyFileDefaults folder(file);
    EXPECT_FALSE(folder.has("companion.x"));
    folder.setNumbers({{"companion.x", 1}, {"companion.y", 2}});
    EXPECT_FALSE(folder.has("companion.x"));

    // A plain file where the folder should be: the folder cannot be made.
    const auto blocked = temp.path() / "blocker";
    std::ofstream(blocked) << "x";
    KeyFileDefaults unwritable(blocked / "QuilloCompanion" / "defaults.ini");
    unwritable.setNumbers({{"companion.x", 1}, {"companion.y", 2}});
    EXPECT_FALSE(unwritable.has("companion.x"));
    EXPECT_EQ(unwritable.number("companion.x"), std::nullopt);
}

}  // namespace
}  // namespace quillo
