#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "support/CompanionFixture.h"
#include "support/ControllerProbe.h"

namespace quillo {

// Readable failures for the geometry types; internal, so that other tests may print them too.
static void PrintTo(const Point& p, std::ostream* os) { *os << "(" << p.x << ", " << p.y << ")"; }
static void PrintTo(const Rect& r, std::ostream* os) {
    PrintTo(r.origin, os);
    *os << " " << r.size.width << " x " << r.size.height;
}

namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;
using Probe = CompanionControllerProbe;
using Layout = CompanionController::Layout;
using Stored = std::map<std::string, std::optional<double>>;

constexpr Size small = Layout::collapsed;
constexpr Size large = Layout::expanded;
const Screen plain{{{0, 0}, {1600, 900}}, {{0, 0}, {1600, 900}}};
// A monitor with a 40-point panel at its bottom and a 28-point bar at its top.
const Screen paneled{{{0, 0}, {1600, 900}}, {{0, 40}, {1600, 832}}};
const Screen aside{{{1600, 0}, {1280, 1024}}, {{1600, 0}, {1280, 1000}}};

json dragStart(json x, json y) { return {{"type", "dragStart"}, {"screenX", x}, {"screenY", y}}; }
json dragMove(json x, json y) { return {{"type", "dragMove"}, {"screenX", x}, {"screenY", y}}; }
const json dragEnd = {{"type", "dragEnd"}};

class CompanionWindowTest : public testing::CompanionFixture {
public:
    CompanionWindowTest() { useScreens({plain}); }

    void useScreens(std::vector<Screen> screens, std::optional<std::size_t> main = 0) {
        platform.screenList.mainIndex = screens.empty() ? std::nullopt : main;
        platform.screenList.screens = std::move(screens);
    }
    // A controller whose collapsed figure sits at the origin, as if restored there.
    void createAt(Point origin) {
        create();
        platform.panel->setFrame({origin, small});
        platform.panel->frameChanges.clear();
    }
    Rect frame() const { return platform.panel->frame(); }
    Point origin() const { return frame().origin; }
    std::optional<Point> saved() const {
        const auto x = platform.defaultsStore.number("companion.x");
        const auto y = platform.defaultsStore.number("companion.y");
        return x && y ? std::optional(Point{*x, *y}) : std::nullopt;
    }
    int saves() const { return platform.defaultsStore.saves; }
    std::vector<std::string> walks() const {
        return platform.webView->scriptsCalling("quilloWalk");
    }
    long resetScrolls() const {
        return std::ranges::count(platform.webView->scripts(),
                                  "window.__quilloDebug?.resetScroll()");
    }
    // Queues the random answers of one step and the delay before the following one.
    void queueStep(bool right, double distance, double drift, double nextDelay) {
        platform.randomSource.bools.push_back(right);
        platform.randomSource.uniforms.insert(platform.randomSource.uniforms.end(),
                                              {distance, drift, nextDelay});
    }
    void startAt(Point stored, double firstDelay) {
        platform.randomSource = {};
        platform.defaultsStore.values = {{"companion.x", stored.x}, {"companion.y", stored.y}};
        platform.randomSource.uniforms.push_back(firstDelay);
        create().start();
        platform.loop.runPending();
        platform.defaultsStore.saves = 0;
    }
};

// --- Choosing and fitting into a screen

TEST_F(CompanionWindowTest, TheActiveScreenIsTheFirstMonitorMeetingTheWindowElseMainElseFirst) {
    const auto expect = [&](const char* name, std::vector<Screen> screens,
                            std::optional<std::size_t> main, Point at, std::optional<Screen> on) {
        SCOPED_TRACE(name);
        useScreens(std::move(screens), main);
        createAt(at);
        EXPECT_EQ(controller->activeScreen(), on);
    };
    expect("straddling both: the list order", {paneled, aside}, 1, {1590, 300}, paneled);
    expect("above the visible area: still on it", {paneled, aside}, 0, {1700, 1005}, aside);
    expect("touching an edge only: the main one", {paneled, aside}, 0, {2880, 9}, paneled);
    expect("off every monitor: the main one", {paneled, aside}, 1, {5000, 0}, aside);
    expect("no main: the first", {paneled, aside}, std::nullopt, {5000, 0}, paneled);
    expect("no monitors: none", {}, std::nullopt, {0, 0}, std::nullopt);
}

TEST_F(CompanionWindowTest, ClampingMovesTheOriginJustIntoTheInsetVisibleAreaOfTheActiveScreen) {
    useScreens({paneled, {{{1600, -200}, {1280, 1024}}, {{1600, -200}, {1280, 1000}}}});
    const auto expect = [&](const char* name, Point at, Point proposed, Size size, Point fitted) {
        SCOPED_TRACE(name);
        createAt(at);
        EXPECT_EQ(controller->clamped(proposed, size), fitted);
    };
    const Point first{500, 300}, second{2000, 0};
    expect("past the left", first, {-40, 300}, small, {18, 300});
    expect("past the right", first, {1590, 300}, small, {1600 - 18 - 64, 300});
    expect("below the visible bottom", first, {500, 10}, small, {500, 40 + 18});
    expect("past the top", first, {500, 870}, small, {500, 872 - 18 - 64});
    expect("expanded on the inset edge", first, {18, 58}, large, {18, 58});
    expect("too wide keeps the right edge", first, {0, 300}, {2000, 64}, {1600 - 18 - 2000, 300});
    expect("too tall keeps the top", first, {500, 100}, {64, 2000}, {500, 872 - 18 - 2000});
    expect("second monitor, its bottom", second, {2000, -300}, small, {2000, -200 + 18});
    expect("second monitor, its right", second, {3000, 0}, small, {2880 - 18 - 64, 0});
}

// --- Expanding and collapsing

TEST_F(CompanionWindowTest, ExpandingKeepsTopEdgeAndMiddleThenFitsAndCollapsingReturnsExactly) {
    // The collapse is fitted too, to the area of the way back, and remembered at once.
    const auto expect = [&](const char* name, std::vector<Screen> on, Point at, Point expanded,
                            std::optional<Screen> back = {}, std::optional<Point> backAt = {}) {
        SCOPED_TRACE(name);
        useScreens(on);
        platform.defaultsStore = {};
        createAt(at);
        controller->setExpanded(false);  // the state it is in already: nothing happens
        controller->setExpanded(true);
        controller->setExpanded(true);
        EXPECT_EQ(frame(), (Rect{expanded, large}));
        EXPECT_EQ(platform.panel->animations.size(), 1u);
        EXPECT_EQ(saves(), 0) << "expanding remembers nothing";
        platform.loop.advance(1s);
        if (back) useScreens({*back});
        controller->setExpanded(false);
        EXPECT_EQ(frame(), (Rect{backAt.value_or(at), small}));
        EXPECT_EQ(saved(), backAt.value_or(at));
        EXPECT_FALSE(Probe::collapsedOriginBeforeExpansion(*controller));
    };
    const Screen low{{{0, 0}, {1600, 900}}, {{0, 0}, {1600, 400}}};
    const Screen smaller{{{0, 0}, {1280, 800}}, {{0, 0}, {1280, 800}}};
    expect("no screen: the unfitted origin", {}, {500, 300}, {347, -136});
    expect("visible area from y = 0: lifted to the inset", {plain}, {500, 300}, {347, 18});
    expect("near the right edge: pulled left", {plain}, {1500, 600}, {1600 - 18 - 370, 164});
    expect("area lower than 536: top edge 18 below its top", {low}, {500, 300}, {347, -118});
    expect("the area shrank meanwhile", {plain}, {1500, 600}, {1212, 164}, smaller, {{1198, 600}});
}

// In capture mode (the variable set, even to nothing) the frame changes at once and is drawn
// before returning, for the snapshot that follows.
TEST_F(CompanionWindowTest, TheSizeChangeAnimatesAFifthOfASecondThenResetsTheScrollAlsoIfCutShort) {
    createAt({1500, 600});
    post({{"type", "expanded"}, {"value", true}});
    ASSERT_EQ(platform.panel->animations.size(), 1u);
    EXPECT_EQ(platform.panel->animations[0].duration, 200ms);
    EXPECT_EQ(platform.panel->animations[0].target, (Rect{{1212, 164}, large}));
    EXPECT_THAT(platform.panel->frameChanges, IsEmpty());
    platform.loop.advance(199ms);
    EXPECT_EQ(resetScrolls(), 0) << "not before the animation has finished";
    platform.loop.advance(1ms);
    EXPECT_EQ(resetScrolls(), 1);
    EXPECT_THAT(platform.log, ::testing::Not(::testing::Contains("displayNow")));
    platform.log.clear();
    controller->toggleExpanded();
    for (const json& m : {dragStart(0, 0), dragMove(0, 0), dragEnd}) post(m);
    EXPECT_EQ(resetScrolls(), 2) << "a drag cut the collapse short";
    controller->toggleExpanded();
    EXPECT_TRUE(Probe::isExpanded(*controller));
    EXPECT_THAT(platform.log, ElementsAre("showWithoutFocus", "present"))
        << "opening it on purpose hands it the keyboard, folding it does not";

    for (const std::string value : {"", "/tmp/shot.png"}) {
        SCOPED_TRACE("QUILLO_CAPTURE_PATH='" + value + "'");
        platform.env.variables["QUILLO_CAPTURE_PATH"] = value;
        createAt({500, 600});
        platform.log.clear();
        controller->setExpanded(true);
        EXPECT_THAT(platform.panel->frameChanges, ElementsAre(Rect{{347, 164}, large}));
        EXPECT_THAT(platform.panel->animations, IsEmpty());
        EXPECT_THAT(platform.log, ElementsAre("displayNow"));
        EXPECT_EQ(resetScrolls(), 1) << "at once, with no loop turn";
    }
}

// --- Dragging

// Without the window system's pointer the page's positions count (y turned); with it the window
// follows the pointer from the press, onto the monitor under it, and ends under it.
TEST_F(CompanionWindowTest, ADragFollowsThePointerOntoTheMonitorUnderItAndAgainAfterPinning) {
    useScreens({paneled, aside});
    createAt({500, 300});
    post(dragStart(100, 200));
    post(dragMove(130, 180));
    EXPECT_EQ(frame(), (Rect{{530, 320}, small})) << "the vertical sign turned";
    post(dragMove(100.25, 200.5));
    EXPECT_EQ(origin(), (Point{500.25, 299.5})) << "no threshold, fractions included";
    const double edge = 1600 - 18 - 64;  // x where the right inset pins the figure
    for (const auto& [pointerX, expectedX] : std::vector<std::pair<double, double>>{
             {2000, edge}, {edge - 390, edge}, {edge - 400, edge}, {edge - 401, edge - 1}}) {
        post(dragMove(pointerX, 200));
        EXPECT_EQ(origin().x, expectedX) << "pointer at " << pointerX;
    }
    EXPECT_EQ(saves(), 0) << "nothing saved while moving";
    post(dragEnd);
    EXPECT_EQ(saved(), (Point{edge - 1, 300}));
    EXPECT_THAT(platform.panel->animations, IsEmpty()) << "moves are immediate";

    post(dragStart(1549, -332));  // the fake page's screen is upside down: (1549, 332)
    platform.screenList.pointerAt = Point{1569, 340};
    post(dragMove(0, 0));
    EXPECT_EQ(origin(), (Point{edge, 308})) << "pinned inside its own monitor";
    platform.screenList.pointerAt = Point{1700, 350};
    post(dragMove(0, 0));
    EXPECT_EQ(origin(), (Point{1668, 318})) << "across with the pointer";
    platform.screenList.pointerAt = Point{1800, 360};
    post(dragEnd);
    EXPECT_EQ(saved(), (Point{1768, 328})) << "where the pointer was let go";
}

TEST_F(CompanionWindowTest, DraggingTheExpandedWindowShiftsTheCollapsedOriginByWhatItMoved) {
    createAt({500, 600});
    controller->setExpanded(true);
    platform.loop.advance(1s);
    ASSERT_EQ(origin(), (Point{347, 164}));
    for (const json& m : {dragStart(100, 100), dragMove(150, 130), dragEnd}) post(m);
    EXPECT_EQ(frame(), (Rect{{397, 134}, large})) << "fitted with the expanded size";
    EXPECT_EQ(saved(), (Point{550, 570})) << "the collapsed origin, not the expanded one";
    // Pinned at the left inset: moved by 18 − 397 only.
    for (const json& m : {dragStart(0, 0), dragMove(-1000, 0), dragEnd}) post(m);
    EXPECT_EQ(saved(), (Point{550 + 18 - 397, 570}));
    controller->setExpanded(false);
    EXPECT_EQ(frame(), (Rect{{550 + 18 - 397, 570}, small}));
}

TEST_F(CompanionWindowTest, MalformedOrOutOfPlaceDragMessagesAreSkipped) {
    useScreens({});  // nothing clamps what a bad message would do
    const auto expect = [&](const std::string& name, std::vector<json> sent, Point at, int n) {
        SCOPED_TRACE(name);
        platform.defaultsStore = {};
        createAt({500, 300});
        for (const json& m : sent) post(m);
        EXPECT_EQ(origin(), at);
        EXPECT_EQ(saves(), n);
    };
    const json start0 = dragStart(0, 0), move10 = dragMove(10, 0), badX = dragMove("x", 0);
    const json onlyX = {{"type", "dragMove"}, {"screenX", 130}},
               noY = {{"type", "dragStart"}, {"screenX", 1}};
    expect("outside a drag", {dragMove(130, 180), dragEnd}, {500, 300}, 0);
    expect("a second end", {start0, move10, dragEnd, dragEnd}, {510, 300}, 1);
    expect("bad moves", {start0, onlyX, badX}, {500, 300}, 0);
    expect("bad moves, then a good one", {start0, onlyX, badX, dragMove(30, 0)}, {530, 300}, 0);
    expect("a second start", {start0, move10, dragStart(900, 9), dragMove(905, 9)}, {515, 300}, 0);
    expect("overflow", {dragStart(-1.7e308, 0), dragMove(1.7e308, 0)}, {500, 300}, 0);
    for (const json& start : {noY, dragStart(1, nullptr), dragStart("1", 1), dragStart(true, 1)})
        expect(start.dump(), {start, dragMove(130, 180), dragEnd}, {500, 300}, 0);
}

// --- The remembered position

TEST_F(CompanionWindowTest, TheRememberedPositionIsReadAndFittedElseTheLowerRightIsTaken) {
    const auto expect = [&](const char* name, std::vector<Screen> screens, Stored kept, Point at) {
        SCOPED_TRACE(name);
        useScreens(std::move(screens));
        platform.defaultsStore = {};
        platform.defaultsStore.values = std::move(kept);
        create().restorePosition();
        EXPECT_EQ(frame(), (Rect{at, small}));
        EXPECT_EQ(saves(), 0) << "restoring saves nothing";
    };
    const Stored onAside = {{"companion.x", 2600}, {"companion.y", 990}};
    expect("first launch: lower right of the visible area", {paneled}, {}, {1500, 82});
    expect("first launch: the monitor at the corner", {aside, paneled}, {}, {1500, 82});
    expect("first launch without a screen: unfitted", {}, {}, {-100, 42});
    expect("both stored", {paneled}, {{"companion.x", 700.5}, {"companion.y", 400}}, {700.5, 400});
    expect("only x stored: y reads as 0", {paneled}, {{"companion.x", 700}}, {700, 58});
    expect("x unreadable: 0", {paneled}, {{"companion.x", {}}, {"companion.y", 400}}, {18, 400});
    expect("not finite: 0", {paneled}, {{"companion.x", INFINITY}, {"companion.y", NAN}}, {18, 58});
    expect("only y stored: as on a first launch", {paneled}, {{"companion.y", 400}}, {1500, 82});
    expect("on a monitor still there: fitted to it", {paneled, aside}, onAside, {2600, 918});
    expect("on a monitor that is gone: pulled onto this one", {paneled}, onAside, {1518, 790});
}

// --- Wandering

TEST_F(CompanionWindowTest, WanderStepsWalkSlideAndSaveAfterTheirDrawnDelaysEvenAtTheEdge) {
    startAt({30, 300}, 7.25);
    queueStep(true, 30, 12, 8.0);
    queueStep(false, 46, -8, 6.0);
    queueStep(false, 22, 0, 9.0);
    platform.loop.advance(7249ms);
    EXPECT_THAT(walks(), IsEmpty()) << "not before the first delay";
    platform.loop.advance(1ms);
    EXPECT_THAT(walks(), ElementsAre("window.quilloWalk?.(1.0)"));
    using Draw = testing::FakeRandomSource::Draw;
    EXPECT_THAT(platform.randomSource.draws,
                ElementsAre(Draw{6, 10}, Draw{22, 46}, Draw{-8, 12}, Draw{6, 10}));
    ASSERT_EQ(platform.panel->animations.size(), 1u);
    EXPECT_EQ(platform.panel->animations[0].duration, 1550ms);
    EXPECT_EQ(platform.panel->animations[0].target, (Rect{{60, 312}, small}));
    EXPECT_EQ(saved(), (Point{60, 312}));
    platform.loop.advance(7999ms);
    EXPECT_EQ(walks().size(), 1u) << "not before the second delay";
    platform.loop.advance(1ms);
    EXPECT_EQ(saved(), (Point{18, 304})) << "stopped by the left inset";
    platform.loop.advance(6s);
    EXPECT_THAT(walks(), ElementsAre("window.quilloWalk?.(1.0)", "window.quilloWalk?.(-1.0)",
                                     "window.quilloWalk?.(-1.0)"))
        << "a step against the edge still walks";
    EXPECT_EQ(saved(), (Point{18, 304}));
    EXPECT_EQ(saves(), 3);
}

TEST_F(CompanionWindowTest, WanderStepsAreSkippedWhileExpandedDraggedScreenlessOrStillThenResume) {
    const std::map<std::string, std::function<void(bool)>> holds = {
        {"expanded", [&](bool held) { controller->setExpanded(held); }},
        {"dragging", [&](bool held) { post(held ? dragStart(0, 0) : dragEnd); }},
        {"without a screen",
         [&](bool held) { useScreens(held ? std::vector<Screen>{} : std::vector{plain}); }},
        {"asked for reduced motion", [&](bool held) { platform.motionPreference.reduce = held; }},
    };
    for (const auto& [what, hold] : holds) {
        SCOPED_TRACE(what);
        startAt({500, 300}, 6.0);
        hold(true);
        platform.loop.advance(1s);
        platform.panel->animations.clear();
        const auto savesBefore = saves();
        platform.randomSource.uniforms = {7.0};  // the next delay; a skipped step draws no more
        platform.loop.advance(5s);
        EXPECT_THAT(walks(), IsEmpty());
        EXPECT_THAT(platform.panel->animations, IsEmpty());
        EXPECT_EQ(saves(), savesBefore);
        EXPECT_TRUE(Probe::hasWanderWorkItem(*controller)) << "the next step is still armed";
        hold(false);
        queueStep(true, 30, 0, 8.0);
        platform.loop.advance(7s);
        EXPECT_EQ(walks().size(), 1u) << "resumes at the next scheduled time";
    }
}

}  // namespace
}  // namespace quillo
