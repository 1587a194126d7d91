#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>

#include "companion/CompanionController.h"
#include "fakes/FakePlatform.h"
#include "support/ControllerProbe.h"
#include "support/TempDir.h"

namespace quillo {

// Readable failures for the geometry types; internal, so that other tests may print them too.
static void PrintTo(const Point& p, std::ostream* os) { *os << "(" << p.x << ", " << p.y << ")"; }
static void PrintTo(const Size& s, std::ostream* os) { *os << s.width << " x " << s.height; }
static void PrintTo(const Rect& r, std::ostream* os) {
    *os << "{";
    PrintTo(r.origin, os);
    *os << ", ";
    PrintTo(r.size, os);
    *os << "}";
}

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;
using Probe = CompanionControllerProbe;
using Layout = CompanionController::Layout;

const char* const resetScroll = "window.__quilloDebug?.resetScroll()";

Screen screenOf(Rect frame, Rect visible) { return {frame, visible}; }
Screen screenOf(Rect frame) { return {frame, frame}; }

class CompanionWindowTest : public ::testing::Test {
public:
    CompanionWindowTest() {
        platform.env.home = temp.path() / "home";
        platform.env.bundle = temp.path() / "bundle";
        std::filesystem::create_directories(platform.env.bundle);
        std::ofstream(platform.env.bundle / "index.html") << "<!doctype html>";
        // A 1600 x 900 monitor whose visible area is the whole of it unless a test says otherwise.
        useScreens({screenOf({{0, 0}, {1600, 900}})});
    }

    void useScreens(std::vector<Screen> screens, std::optional<std::size_t> main = 0) {
        platform.screenList.screens = std::move(screens);
        platform.screenList.mainIndex = main;
    }
    void noScreens() { useScreens({}, std::nullopt); }

    CompanionController& create() {
        controller = CompanionController::create(platform);
        return *controller;
    }
    // A controller whose collapsed figure sits at the origin, as if restored there.
    CompanionController& createAt(Point origin) {
        create();
        platform.panel->setFrame({origin, Layout::collapsed});
        platform.panel->frameChanges.clear();
        return *controller;
    }
    // Posts a page message through the bridge and lets the main loop deliver it.
    void post(const nlohmann::json& message) {
        platform.webView->post("companion", message);
        platform.loop.runPending();
    }
    void drag(std::initializer_list<std::pair<double, double>> path) {
        auto point = path.begin();
        post({{"type", "dragStart"}, {"screenX", point->first}, {"screenY", point->second}});
        for (++point; point != path.end(); ++point)
            post({{"type", "dragMove"}, {"screenX", point->first}, {"screenY", point->second}});
        post({{"type", "dragEnd"}});
    }
    Rect frame() const { return platform.panel->frame(); }
    Point origin() const { return platform.panel->frame().origin; }
    std::optional<Point> saved() const {
        const auto x = platform.defaultsStore.values.find("companion.x");
        const auto y = platform.defaultsStore.values.find("companion.y");
        if (x == platform.defaultsStore.values.end() || y == platform.defaultsStore.values.end() ||
            !x->second || !y->second)
            return std::nullopt;
        return Point{*x->second, *y->second};
    }
    std::vector<std::string> walks() const {
        return platform.webView->scriptsCalling("quilloWalk");
    }
    std::size_t resetScrolls() const {
        const auto& scripts = platform.webView->scripts();
        return std::count(scripts.begin(), scripts.end(), resetScroll);
    }

    testing::TempDir temp;
    testing::FakePlatform platform;
    std::shared_ptr<CompanionController> controller;
};

// --- Choosing the screen

class ActiveScreenTest : public CompanionWindowTest {};

TEST_F(ActiveScreenTest, IsTheFirstMonitorInListOrderWhoseWholeAreaMeetsTheWindow) {
    const Screen left = screenOf({{0, 0}, {1600, 900}}, {{0, 0}, {1600, 872}});
    const Screen right = screenOf({{1600, 0}, {1280, 1024}}, {{1600, 40}, {1280, 984}});
    useScreens({left, right});
    createAt({1590, 300});  // straddles both: the list order decides
    EXPECT_EQ(controller->activeScreen(), left);
    platform.panel->setFrame({{1700, 300}, Layout::collapsed});
    EXPECT_EQ(controller->activeScreen(), right);
    // Only the monitor's full frame counts: below the right one's visible area, still on it.
    platform.panel->setFrame({{1700, 0}, {64, 30}});
    EXPECT_EQ(controller->activeScreen(), right);
}

TEST_F(ActiveScreenTest, FallsBackToTheMainThenTheFirstThenNothing) {
    const Screen a = screenOf({{0, 0}, {800, 600}});
    const Screen b = screenOf({{800, 0}, {800, 600}});
    struct Case {
        const char* name;
        std::vector<Screen> screens;
        std::optional<std::size_t> main;
        std::optional<Screen> expected;
    };
    const Case cases[] = {
        {"off every monitor: the main one", {a, b}, 1, b},
        {"no main: the first", {a, b}, std::nullopt, a},
        {"no monitors: none", {}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        useScreens(c.screens, c.main);
        createAt({5000, 5000});
        EXPECT_EQ(controller->activeScreen(), c.expected);
    }
}

TEST_F(ActiveScreenTest, AWindowThatOnlyTouchesAMonitorsEdgeIsNotOnIt) {
    const Screen a = screenOf({{0, 0}, {800, 600}});
    const Screen b = screenOf({{800, 0}, {800, 600}});
    useScreens({a, b}, 0);
    createAt({1600, 100});  // left edge on b's right edge
    EXPECT_EQ(controller->activeScreen(), a) << "falls back to main";
}

// --- Fitting

class ClampedTest : public CompanionWindowTest {};

TEST_F(ClampedTest, MovesTheOriginJustEnoughToKeepTheWindowInsideTheInsetVisibleArea) {
    useScreens({screenOf({{0, 0}, {1600, 900}}, {{0, 40}, {1600, 832}})});
    createAt({500, 300});
    struct Case {
        const char* name;
        Point proposed;
        Size size;
        Point expected;
    };
    const Case cases[] = {
        {"inside stays", {500, 300}, Layout::collapsed, {500, 300}},
        {"past the left", {-40, 300}, Layout::collapsed, {18, 300}},
        {"past the right", {1590, 300}, Layout::collapsed, {1600 - 18 - 64, 300}},
        {"below the visible bottom", {500, 10}, Layout::collapsed, {500, 40 + 18}},
        {"past the top", {500, 870}, Layout::collapsed, {500, 872 - 18 - 64}},
        {"a corner", {-5, -5}, Layout::collapsed, {18, 58}},
        {"expanded on the inset edge", {18, 58}, Layout::expanded, {18, 58}},
        {"wider than the area keeps the right edge", {0, 300}, {2000, 64}, {1600 - 18 - 2000, 300}},
        {"taller than the area keeps the top", {500, 100}, {64, 2000}, {500, 872 - 18 - 2000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(controller->clamped(c.proposed, c.size), c.expected);
    }
}

TEST_F(ClampedTest, WithoutAnyScreenTheOriginIsLeftAlone) {
    noScreens();
    createAt({500, 300});
    EXPECT_EQ(controller->clamped({-500, 99999}, Layout::expanded), (Point{-500, 99999}));
}

TEST_F(ClampedTest, AWindowOnASecondMonitorIsFittedToThatMonitor) {
    const Screen first = screenOf({{0, 0}, {1600, 900}}, {{0, 0}, {1600, 872}});
    const Screen second = screenOf({{1600, -200}, {1280, 1024}}, {{1600, -200}, {1280, 1000}});
    useScreens({first, second});
    createAt({2000, 0});
    // Below the first monitor's area but inside the second's.
    EXPECT_EQ(controller->clamped({2000, -300}, Layout::collapsed), (Point{2000, -200 + 18}));
    EXPECT_EQ(controller->clamped({3000, 0}, Layout::collapsed), (Point{2880 - 18 - 64, 0}));
}

// --- Expanding and collapsing

class ExpansionTest : public CompanionWindowTest {};

TEST_F(ExpansionTest, ExpandingKeepsTheTopEdgeAndMiddleThenFitsIntoTheVisibleArea) {
    struct Case {
        const char* name;
        std::vector<Screen> screens;
        Point collapsed;
        Point expanded;
    };
    const Case cases[] = {
        {"no screen: the unfitted origin", {}, {500, 300}, {347, -136}},
        {"visible area from y = 0: lifted to the inset",
         {screenOf({{0, 0}, {1600, 900}})},
         {500, 300},
         {347, 18}},
        {"near the right edge: pulled left",
         {screenOf({{0, 0}, {1600, 900}})},
         {1500, 600},
         {1600 - 18 - 370, 164}},
        {"visible area lower than 536: top edge 18 below its top",
         {screenOf({{0, 0}, {1600, 900}}, {{0, 0}, {1600, 400}})},
         {500, 300},
         {347, 400 - 18 - 500}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        useScreens(c.screens, c.screens.empty() ? std::nullopt : std::optional<std::size_t>(0));
        createAt(c.collapsed);
        controller->setExpanded(true);
        EXPECT_EQ(frame(), (Rect{c.expanded, Layout::expanded}));
        EXPECT_TRUE(Probe::isExpanded(*controller));
        EXPECT_EQ(Probe::collapsedOriginBeforeExpansion(*controller), c.collapsed);
        EXPECT_EQ(platform.defaultsStore.saves, 0) << "expanding remembers nothing";
    }
}

TEST_F(ExpansionTest, CollapsingReturnsToTheExactOriginBeforeExpansionAndRemembersIt) {
    createAt({1500, 600});
    controller->setExpanded(true);
    platform.loop.advance(1s);
    controller->setExpanded(false);
    EXPECT_EQ(frame(), (Rect{{1500, 600}, Layout::collapsed}));
    EXPECT_EQ(saved(), (Point{1500, 600}));
    EXPECT_FALSE(Probe::collapsedOriginBeforeExpansion(*controller));
    EXPECT_FALSE(Probe::isExpanded(*controller));
}

TEST_F(ExpansionTest, CollapsingFitsTheRememberedOriginWhenTheAreaChangedMeanwhile) {
    createAt({1500, 600});
    controller->setExpanded(true);
    useScreens({screenOf({{0, 0}, {1280, 800}})});
    controller->setExpanded(false);
    EXPECT_EQ(origin(), (Point{1280 - 18 - 64, 600}));
    EXPECT_EQ(saved(), (Point{1280 - 18 - 64, 600}));
}

TEST_F(ExpansionTest, TheSizeChangeAnimatesForAFifthOfASecondThenResetsTheScroll) {
    createAt({500, 600});
    controller->setExpanded(true);
    ASSERT_EQ(platform.panel->animations.size(), 1u);
    EXPECT_EQ(platform.panel->animations[0].duration, 200ms);
    EXPECT_EQ(platform.panel->animations[0].target, (Rect{{347, 164}, Layout::expanded}));
    EXPECT_THAT(platform.panel->frameChanges, IsEmpty());
    platform.loop.advance(199ms);
    EXPECT_EQ(resetScrolls(), 0u) << "not before the animation has finished";
    platform.loop.advance(1ms);
    EXPECT_EQ(resetScrolls(), 1u);
    EXPECT_THAT(platform.log, ::testing::Not(::testing::Contains("displayNow")));
}

TEST_F(ExpansionTest, CollapsingRemembersTheTargetBeforeTheAnimationHasFinished) {
    createAt({500, 600});
    controller->setExpanded(true);
    platform.loop.advance(200ms);
    controller->setExpanded(false);
    EXPECT_EQ(saved(), (Point{500, 600}));
    EXPECT_EQ(resetScrolls(), 1u) << "the collapse's own reset is still to come";
    platform.loop.advance(200ms);
    EXPECT_EQ(resetScrolls(), 2u);
}

TEST_F(ExpansionTest, InCaptureModeTheFrameChangesAtOnceAndIsDrawnBeforeReturning) {
    for (const std::string value : {"", "/tmp/shot.png"}) {
        SCOPED_TRACE("QUILLO_CAPTURE_PATH='" + value + "'");
        platform.env.variables["QUILLO_CAPTURE_PATH"] = value;
        createAt({500, 600});
        platform.log.clear();
        controller->setExpanded(true);
        EXPECT_THAT(platform.panel->frameChanges, ElementsAre(Rect{{347, 164}, Layout::expanded}));
        EXPECT_THAT(platform.panel->animations, IsEmpty());
        EXPECT_THAT(platform.log, ElementsAre("displayNow"));
        EXPECT_EQ(resetScrolls(), 1u) << "at once, with no loop turn";
    }
}

TEST_F(ExpansionTest, AskingForTheCurrentStateChangesNothing) {
    createAt({500, 600});
    controller->setExpanded(false);
    EXPECT_THAT(platform.panel->animations, IsEmpty());
    EXPECT_EQ(platform.defaultsStore.saves, 0);

    controller->setExpanded(true);
    platform.loop.advance(1s);
    platform.panel->setFrame({{700, 100}, Layout::expanded});  // moved since, e.g. by a drag
    controller->setExpanded(true);
    EXPECT_EQ(platform.panel->animations.size(), 1u);
    EXPECT_EQ(origin(), (Point{700, 100}));
    EXPECT_EQ(Probe::collapsedOriginBeforeExpansion(*controller), (Point{500, 600}));
    EXPECT_EQ(resetScrolls(), 1u);
    EXPECT_EQ(platform.defaultsStore.saves, 0);
}

TEST_F(ExpansionTest, TheExpandedMessageOfThePageSetsTheState) {
    createAt({500, 600});
    post({{"type", "expanded"}, {"value", true}});
    EXPECT_TRUE(Probe::isExpanded(*controller));
    EXPECT_EQ(frame().size, Layout::expanded);
    post({{"type", "expanded"}, {"value", false}});
    EXPECT_FALSE(Probe::isExpanded(*controller));
    EXPECT_EQ(frame(), (Rect{{500, 600}, Layout::collapsed}));
}

TEST_F(ExpansionTest, TogglingBringsThePanelForwardAndFlipsTheState) {
    createAt({500, 600});
    controller->toggleExpanded();
    EXPECT_TRUE(platform.panel->visible);
    EXPECT_TRUE(Probe::isExpanded(*controller));
    controller->toggleExpanded();
    EXPECT_FALSE(Probe::isExpanded(*controller));
    EXPECT_EQ(frame(), (Rect{{500, 600}, Layout::collapsed}));
}

TEST_F(ExpansionTest, NoScreenAtAllStillChangesTheSize) {
    noScreens();
    createAt({500, 300});
    controller->setExpanded(true);
    EXPECT_EQ(frame(), (Rect{{347, -136}, Layout::expanded}));
    controller->setExpanded(false);
    EXPECT_EQ(frame(), (Rect{{500, 300}, Layout::collapsed}));
    EXPECT_EQ(saved(), (Point{500, 300}));
}

// --- Dragging

class DragTest : public CompanionWindowTest {};

TEST_F(DragTest, TheWindowMovesByThePointersMovementWithTheVerticalSignTurned) {
    createAt({500, 300});
    post({{"type", "dragStart"}, {"screenX", 100}, {"screenY", 200}});
    EXPECT_TRUE(Probe::isDragging(*controller));
    post({{"type", "dragMove"}, {"screenX", 130}, {"screenY", 180}});
    EXPECT_EQ(frame(), (Rect{{530, 320}, Layout::collapsed}));
    post({{"type", "dragMove"}, {"screenX", 100.25}, {"screenY", 200.5}});
    EXPECT_EQ(origin(), (Point{500.25, 299.5})) << "no threshold, fractions included";
    EXPECT_EQ(platform.defaultsStore.saves, 0) << "nothing saved while moving";
    post({{"type", "dragEnd"}});
    EXPECT_FALSE(Probe::isDragging(*controller));
    EXPECT_EQ(saved(), (Point{500.25, 299.5}));
    EXPECT_THAT(platform.panel->animations, IsEmpty()) << "moves are immediate";
}

TEST_F(DragTest, APinnedWindowFollowsAgainWhereThePinningBegan) {
    createAt({500, 300});
    const double edge = 1600 - 18 - 64;  // x where the right inset pins the figure
    post({{"type", "dragStart"}, {"screenX", 0}, {"screenY", 0}});
    struct Step {
        double pointerX;
        double expectedX;
    };
    for (const auto& step : {Step{2000, edge}, Step{edge - 500 + 10, edge}, Step{edge - 500, edge},
                             Step{edge - 500 - 1, edge - 1}, Step{0, 500}}) {
        post({{"type", "dragMove"}, {"screenX", step.pointerX}, {"screenY", 0}});
        EXPECT_EQ(origin().x, step.expectedX) << "pointer at " << step.pointerX;
    }
}

TEST_F(DragTest, DraggingTheExpandedWindowShiftsTheCollapsedOriginAndRemembersIt) {
    createAt({500, 600});
    controller->setExpanded(true);
    platform.loop.advance(1s);
    ASSERT_EQ(origin(), (Point{347, 164}));
    drag({{100, 100}, {150, 130}});
    EXPECT_EQ(frame(), (Rect{{397, 134}, Layout::expanded})) << "fitted with the expanded size";
    EXPECT_EQ(Probe::collapsedOriginBeforeExpansion(*controller), (Point{550, 570}));
    EXPECT_EQ(saved(), (Point{550, 570})) << "the collapsed origin, not the expanded one";
    controller->setExpanded(false);
    EXPECT_EQ(frame(), (Rect{{550, 570}, Layout::collapsed}));
}

TEST_F(DragTest, TheShiftOfTheExpandedWindowIsTheMovementLeftAfterFitting) {
    createAt({500, 600});
    controller->setExpanded(true);
    drag({{0, 0}, {-1000, 0}});  // pinned at the left inset: moved by 18 − 347
    EXPECT_EQ(origin(), (Point{18, 164}));
    EXPECT_EQ(saved(), (Point{500 + 18 - 347, 600}));
}

TEST_F(DragTest, MalformedStartsBeginNoDragAndTheFollowingMessagesAreIgnored) {
    const nlohmann::json starts[] = {
        {{"type", "dragStart"}},
        {{"type", "dragStart"}, {"screenX", 100}},
        {{"type", "dragStart"}, {"screenY", 100}},
        {{"type", "dragStart"}, {"screenX", "100"}, {"screenY", 100}},
        {{"type", "dragStart"}, {"screenX", 100}, {"screenY", nullptr}},
        {{"type", "dragStart"}, {"screenX", true}, {"screenY", 100}},
        {{"type", "dragStart"}, {"screenX", nlohmann::json::object({{"x", 1}})}, {"screenY", 100}},
        {{"type", "dragStart"}, {"screenX", nlohmann::json::array({100})}, {"screenY", 100}},
    };
    for (const auto& start : starts) {
        SCOPED_TRACE(start.dump());
        createAt({500, 300});
        post(start);
        post({{"type", "dragMove"}, {"screenX", 130}, {"screenY", 180}});
        post({{"type", "dragEnd"}});
        EXPECT_FALSE(Probe::isDragging(*controller));
        EXPECT_EQ(origin(), (Point{500, 300}));
        EXPECT_EQ(platform.defaultsStore.saves, 0);
    }
}

TEST_F(DragTest, AMoveWithAMissingNumberIsSkippedAndTheDragGoesOn) {
    createAt({500, 300});
    post({{"type", "dragStart"}, {"screenX", 100}, {"screenY", 200}});
    post({{"type", "dragMove"}, {"screenX", 130}});
    post({{"type", "dragMove"}, {"screenX", "x"}, {"screenY", 180}});
    EXPECT_EQ(origin(), (Point{500, 300}));
    EXPECT_TRUE(Probe::isDragging(*controller));
    post({{"type", "dragMove"}, {"screenX", 130}, {"screenY", 180}});
    EXPECT_EQ(origin(), (Point{530, 320}));
}

TEST_F(DragTest, MovesThatWouldOverflowAreSkippedEvenWithoutAScreen) {
    noScreens();
    createAt({500, 300});
    post({{"type", "dragStart"}, {"screenX", -1.7e308}, {"screenY", 0}});
    post({{"type", "dragMove"}, {"screenX", 1.7e308}, {"screenY", 0}});
    EXPECT_EQ(origin(), (Point{500, 300}));
    post({{"type", "dragEnd"}});
    EXPECT_EQ(saved(), (Point{500, 300}));
}

TEST_F(DragTest, MovesAndEndsOutsideADragAreIgnored) {
    createAt({500, 300});
    post({{"type", "dragMove"}, {"screenX", 130}, {"screenY", 180}});
    post({{"type", "dragEnd"}});
    EXPECT_EQ(origin(), (Point{500, 300}));
    EXPECT_EQ(platform.defaultsStore.saves, 0);
    drag({{0, 0}, {10, 0}});
    post({{"type", "dragEnd"}});
    EXPECT_EQ(platform.defaultsStore.saves, 1) << "a second end saves nothing";
}

TEST_F(DragTest, ASecondStartBeginsAgainFromWhereTheWindowIsNow) {
    createAt({500, 300});
    post({{"type", "dragStart"}, {"screenX", 0}, {"screenY", 0}});
    post({{"type", "dragMove"}, {"screenX", 10}, {"screenY", 0}});
    post({{"type", "dragStart"}, {"screenX", 1000}, {"screenY", 1000}});
    post({{"type", "dragMove"}, {"screenX", 1005}, {"screenY", 1000}});
    EXPECT_EQ(origin(), (Point{515, 300}));
}

// --- The remembered position

class RestorePositionTest : public CompanionWindowTest {
protected:
    void restore() {
        create();
        controller->restorePosition();
    }
};

TEST_F(RestorePositionTest, AFirstLaunchPlacesTheFigureAtTheLowerRightOfTheCreationCornersScreen) {
    struct Case {
        const char* name;
        std::vector<Screen> screens;
        std::optional<std::size_t> main;
        Point expected;
    };
    const Screen primary = screenOf({{0, 0}, {1600, 900}}, {{0, 40}, {1600, 832}});
    const Screen aside = screenOf({{1600, 0}, {1280, 1024}}, {{1600, 0}, {1280, 1000}});
    const Case cases[] = {
        {"one monitor with a bottom panel", {primary}, 0, {1500, 82}},
        {"the monitor at the corner, wherever it is in the list", {aside, primary}, 0, {1500, 82}},
        {"no screen at all: unfitted", {}, std::nullopt, {-100, 42}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        useScreens(c.screens, c.main);
        restore();
        EXPECT_EQ(frame(), (Rect{c.expected, Layout::collapsed}));
        EXPECT_EQ(platform.defaultsStore.saves, 0) << "restoring saves nothing";
    }
}

TEST_F(RestorePositionTest, ARememberedPositionIsReadAndFittedWithTheCollapsedSize) {
    struct Case {
        const char* name;
        std::map<std::string, std::optional<double>> stored;
        Point expected;
    };
    const Case cases[] = {
        {"both stored", {{"companion.x", 700.5}, {"companion.y", 400}}, {700.5, 400}},
        {"only x stored: y reads as 0, then fitted", {{"companion.x", 700}}, {700, 18}},
        {"x unreadable: reads as 0, then fitted",
         {{"companion.x", std::nullopt}, {"companion.y", 400}},
         {18, 400}},
        {"not finite: unreadable", {{"companion.x", INFINITY}, {"companion.y", NAN}}, {18, 18}},
        {"only y stored: the default", {{"companion.y", 400}}, {1500, 42}},
        {"off every monitor: pulled onto the active one",
         {{"companion.x", 5000}, {"companion.y", -3000}},
         {1600 - 18 - 64, 18}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform.defaultsStore.values = c.stored;
        restore();
        EXPECT_EQ(frame(), (Rect{c.expected, Layout::collapsed}));
    }
}

TEST_F(RestorePositionTest, ARememberedPositionOnAMonitorStillThereStaysOnIt) {
    const Screen primary = screenOf({{0, 0}, {1600, 900}});
    const Screen second = screenOf({{1600, 0}, {1280, 1024}}, {{1600, 0}, {1280, 1000}});
    useScreens({primary, second});
    platform.defaultsStore.values = {{"companion.x", 2600}, {"companion.y", 990}};
    restore();
    EXPECT_EQ(origin(), (Point{2600, 1000 - 18 - 64})) << "fitted to the second monitor's area";

    useScreens({primary});  // the second monitor is gone
    restore();
    EXPECT_EQ(origin(), (Point{1600 - 18 - 64, 900 - 18 - 64}));
}

TEST_F(RestorePositionTest, StartPutsThePanelAtTheRememberedPosition) {
    platform.defaultsStore.values = {{"companion.x", 300}, {"companion.y", 200}};
    create();
    controller->start();
    EXPECT_EQ(platform.panel->frameChanges.front(), (Rect{{300, 200}, Layout::collapsed}));
    EXPECT_TRUE(platform.panel->visible);
}

TEST_F(RestorePositionTest, ASavedPositionComesBackAfterARestart) {
    createAt({500, 300});
    drag({{0, 0}, {123, -45}});
    const auto remembered = saved();
    ASSERT_EQ(remembered, (Point{623, 345}));
    controller.reset();
    restore();
    EXPECT_EQ(origin(), remembered);
}

TEST_F(RestorePositionTest, EverySaveWritesBothKeysTogether) {
    createAt({500, 300});
    controller->savePosition(Point{1, 2});
    controller->savePosition();
    EXPECT_EQ(platform.defaultsStore.saves, 2);
    EXPECT_EQ(saved(), (Point{500, 300}));
}

// --- Wandering

class WanderTest : public CompanionWindowTest {
public:
    // Queues the random answers of one step and the delay before the following one.
    void queueStep(bool right, double distance, double drift, double nextDelay) {
        platform.randomSource.bools.push_back(right);
        platform.randomSource.uniforms.insert(platform.randomSource.uniforms.end(),
                                              {distance, drift, nextDelay});
    }
    void startAt(Point stored, double firstDelay) {
        platform.defaultsStore.values = {{"companion.x", stored.x}, {"companion.y", stored.y}};
        platform.randomSource.uniforms.push_back(firstDelay);
        create();
        controller->start();
        platform.loop.runPending();
        platform.defaultsStore.saves = 0;
    }
};

TEST_F(WanderTest, TheFirstStepComesAfterTheDrawnDelayNeverBefore) {
    for (const double delay : {6.0, 7.25, 10.0}) {
        SCOPED_TRACE(delay);
        platform.randomSource = {};
        startAt({500, 300}, delay);
        EXPECT_EQ(platform.randomSource.draws.size(), 1u);
        EXPECT_EQ(platform.randomSource.draws[0].low, 6.0);
        EXPECT_EQ(platform.randomSource.draws[0].high, 10.0);
        const auto at = std::chrono::milliseconds(std::llround(delay * 1000));
        platform.loop.advance(at - 1ms);
        EXPECT_THAT(walks(), IsEmpty());
        platform.loop.advance(1ms);
        EXPECT_EQ(walks().size(), 1u);
        controller.reset();
    }
}

TEST_F(WanderTest, AStepTellsThePageTheDirectionSlidesForOnePointFiveFiveSecondsAndSaves) {
    startAt({500, 300}, 6.0);
    queueStep(true, 30, 12, 8.0);
    queueStep(false, 22, -8, 9.0);
    platform.loop.advance(6s);
    EXPECT_THAT(walks(), ElementsAre("window.quilloWalk?.(1.0)"));
    ASSERT_EQ(platform.panel->animations.size(), 1u);
    EXPECT_EQ(platform.panel->animations[0].duration, 1550ms);
    EXPECT_EQ(platform.panel->animations[0].target, (Rect{{530, 312}, Layout::collapsed}));
    EXPECT_EQ(saved(), (Point{530, 312}));
    EXPECT_EQ(platform.defaultsStore.saves, 1);

    platform.loop.advance(8s);
    EXPECT_THAT(walks(), ElementsAre("window.quilloWalk?.(1.0)", "window.quilloWalk?.(-1.0)"));
    EXPECT_EQ(saved(), (Point{508, 304}));
}

TEST_F(WanderTest, EachStepDrawsFromTheStatedIntervals) {
    startAt({500, 300}, 6.0);
    queueStep(true, 46, -8, 10.0);
    platform.loop.advance(6s);
    const auto& draws = platform.randomSource.draws;
    ASSERT_EQ(draws.size(), 4u);
    EXPECT_EQ((std::pair{draws[1].low, draws[1].high}), (std::pair{22.0, 46.0}));
    EXPECT_EQ((std::pair{draws[2].low, draws[2].high}), (std::pair{-8.0, 12.0}));
    EXPECT_EQ((std::pair{draws[3].low, draws[3].high}), (std::pair{6.0, 10.0}));
}

TEST_F(WanderTest, StepsFollowEachOtherAfterTheirOwnDrawnDelays) {
    startAt({500, 300}, 6.0);
    queueStep(true, 22, 0, 10.0);
    queueStep(true, 22, 0, 6.0);
    queueStep(true, 22, 0, 7.0);
    platform.loop.advance(6s);
    ASSERT_EQ(walks().size(), 1u);
    platform.loop.advance(9999ms);
    EXPECT_EQ(walks().size(), 1u);
    platform.loop.advance(1ms);  // 16 s
    EXPECT_EQ(walks().size(), 2u);
    platform.loop.advance(5999ms);
    EXPECT_EQ(walks().size(), 2u);
    platform.loop.advance(1ms);  // 22 s
    EXPECT_EQ(walks().size(), 3u);
    EXPECT_EQ(platform.loop.nextDue().has_value(), true);
}

TEST_F(WanderTest, AStepToTheLeftAtTheLeftEdgeStillWalksThePageAndSaves) {
    startAt({18, 300}, 6.0);
    queueStep(false, 40, 0, 8.0);
    platform.loop.advance(6s);
    EXPECT_THAT(walks(), ElementsAre("window.quilloWalk?.(-1.0)"));
    EXPECT_EQ(saved(), (Point{18, 300}));
    EXPECT_EQ(platform.defaultsStore.saves, 1);
}

TEST_F(WanderTest, StepsAreSkippedWhileExpandedDraggedOrWithoutAScreenAndResumeAfter) {
    struct Case {
        const char* name;
        std::function<void(WanderTest&)> hold;
        std::function<void(WanderTest&)> release;
    };
    const Case cases[] = {
        {"expanded", [](WanderTest& t) { t.controller->setExpanded(true); },
         [](WanderTest& t) { t.controller->setExpanded(false); }},
        {"dragging",
         [](WanderTest& t) {
             t.post({{"type", "dragStart"}, {"screenX", 0}, {"screenY", 0}});
         },
         [](WanderTest& t) {
             t.post({{"type", "dragEnd"}});
         }},
        {"no screen", [](WanderTest& t) { t.noScreens(); },
         [](WanderTest& t) {
             t.useScreens({screenOf({{0, 0}, {1600, 900}})});
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform.randomSource = {};
        useScreens({screenOf({{0, 0}, {1600, 900}})});
        startAt({500, 300}, 6.0);
        c.hold(*this);
        platform.loop.advance(1s);
        platform.panel->animations.clear();
        const auto savesBefore = platform.defaultsStore.saves;
        platform.randomSource.uniforms = {
            7.0};  // the next delay; a skipped step draws nothing else
        platform.loop.advance(5s);
        EXPECT_THAT(walks(), IsEmpty());
        EXPECT_THAT(platform.panel->animations, IsEmpty());
        EXPECT_EQ(platform.defaultsStore.saves, savesBefore);
        EXPECT_TRUE(Probe::hasWanderWorkItem(*controller)) << "the next step is still armed";

        c.release(*this);
        queueStep(true, 30, 0, 8.0);
        platform.loop.advance(7s);
        EXPECT_EQ(walks().size(), 1u) << "resumes at the next scheduled time";
        controller.reset();
    }
}

}  // namespace
}  // namespace quillo
