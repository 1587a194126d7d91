// Window behaviour: the two sizes, choosing and fitting into a screen, dragging, the remembered
// position and wandering.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>

#include "CompanionController.h"

namespace quillo {

using namespace std::chrono_literals;

namespace {

constexpr auto sizeChangeDuration = 200ms;
constexpr auto wanderSlideDuration = 1550ms;
constexpr double wanderDelayMin = 6.0;  // seconds
constexpr double wanderDelayMax = 10.0;
constexpr double wanderDistanceMin = 22;
constexpr double wanderDistanceMax = 46;
constexpr double wanderDriftMin = -8;
constexpr double wanderDriftMax = 12;
// Where the figure sits on a first launch: its right edge this far inside the visible area's
// right edge (with the collapsed width), its bottom this far above the visible area's bottom.
constexpr double defaultRightMargin = 36;
constexpr double defaultBottomMargin = 42;

constexpr const char* positionXKey = "companion.x";
constexpr const char* positionYKey = "companion.y";
constexpr const char* captureVariable = "QUILLO_CAPTURE_PATH";
constexpr const char* resetScrollScript = "window.__quilloDebug?.resetScroll()";

// A finite number under the key, else nothing. Booleans are not numbers here even though JSON
// libraries can convert them.
std::optional<double> coordinate(const nlohmann::json& body, const char* key) {
    if (!body.is_object()) return std::nullopt;
    const auto it = body.find(key);
    if (it == body.end() || !it->is_number()) return std::nullopt;
    const double value = it->get<double>();
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

bool isFinite(Point p) { return std::isfinite(p.x) && std::isfinite(p.y); }

// The shortest text that reads back as the same double, always with a fractional part or an
// exponent, as the page expects a floating-point literal ("1.0", "-1.0").
std::string decimalText(double value) {
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, error == std::errc() ? end : buffer);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text;
}

// The origin that keeps a window's top edge and horizontal middle when it takes the new size.
Point topMiddleOrigin(const Rect& frame, Size size) {
    return {frame.midX() - size.width / 2, frame.maxY() - size.height};
}

// The first monitor whose whole area meets the window, else nothing.
std::optional<Screen> screenMeeting(const std::vector<Screen>& screens, const Rect& window) {
    for (const auto& screen : screens)
        if (screen.frame.intersects(window)) return screen;
    return std::nullopt;
}

// The first monitor that holds the point, else nothing.
std::optional<Screen> screenHolding(const std::vector<Screen>& screens, Point p) {
    for (const auto& screen : screens) {
        const Rect& f = screen.frame;
        if (p.x >= f.minX() && p.x < f.maxX() && p.y >= f.minY() && p.y < f.maxY()) return screen;
    }
    return std::nullopt;
}

Point fitted(Point origin, Size size, const std::optional<Screen>& screen, double inset) {
    if (!screen) return origin;
    const Rect& visible = screen->visibleFrame;
    const double minX = visible.minX() + inset;
    const double maxX = visible.maxX() - inset;
    const double minY = visible.minY() + inset;
    const double maxY = visible.maxY() - inset;
    // The upper bound is applied last so that a window larger than the area keeps its top and
    // right edges inside and overhangs at the bottom and left.
    return {std::min(std::max(origin.x, minX), maxX - size.width),
            std::min(std::max(origin.y, minY), maxY - size.height)};
}

}  // namespace

std::optional<Screen> CompanionController::activeScreen() const {
    const auto screens = platform_.screens().all();
    if (auto screen = screenMeeting(screens, panel->frame())) return screen;
    if (auto main = platform_.screens().main()) return main;
    if (!screens.empty()) return screens.front();
    return std::nullopt;
}

Point CompanionController::clamped(Point origin, Size size) const {
    return fitted(origin, size, activeScreen(), Layout::screenInset);
}

void CompanionController::setExpanded(bool expanded) {
    if (expanded == isExpanded) return;

    const Rect frame = panel->frame();
    const Size size = expanded ? Layout::expanded : Layout::collapsed;
    Point origin;
    if (expanded) {
        collapsedOriginBeforeExpansion = frame.origin;
        origin = topMiddleOrigin(frame, size);
    } else {
        origin = collapsedOriginBeforeExpansion.value_or(topMiddleOrigin(frame, size));
    }
    origin = clamped(origin, size);
    isExpanded = expanded;

    const Rect target{origin, size};
    if (platform_.environment().variable(captureVariable)) {
        // A snapshot follows right after this call, so the window must already have its size.
        panel->setFrame(target);
        panel->displayNow();
        webView->evaluateScript(resetScrollScript);
    } else {
        panel->animateFrame(target, sizeChangeDuration, [weakSelf = weak_from_this()] {
            if (auto self = weakSelf.lock()) self->webView->evaluateScript(resetScrollScript);
        });
    }

    if (!expanded) {
        collapsedOriginBeforeExpansion.reset();
        savePosition(origin);
    }
}

void CompanionController::toggleExpanded() {
    // Opening it is asking for the panel: it comes with the keyboard, so that keyboard users can
    // reach it at all. Folding it takes nothing from whoever has the keyboard now.
    if (isExpanded)
        panel->showWithoutFocus();
    else
        panel->present();
    setExpanded(!isExpanded);
}

void CompanionController::beginDrag(const nlohmann::json& body) {
    const auto x = coordinate(body, "screenX");
    if (!x) return;
    const auto y = coordinate(body, "screenY");
    if (!y) return;
    isDragging = true;
    dragScreenStart = {*x, *y};
    dragWindowStart = panel->frame().origin;
    dragPointerStart = platform_.screens().fromPageScreen(dragScreenStart);
}

void CompanionController::continueDrag(const nlohmann::json& body) {
    if (!isDragging) return;
    const auto x = coordinate(body, "screenX");
    const auto y = coordinate(body, "screenY");
    if (!x || !y) return;
    // The page's screen positions are its own positions plus where the web view thinks the
    // window is, which lags behind while the window moves under the pointer: a drag that
    // follows them jitters and ends off the pointer. Only the press, made while the window
    // stood still, is taken from the page; from then on the pointer itself is followed.
    if (const auto pointer = platform_.screens().pointer())
        dragBy({pointer->x - dragPointerStart.x, pointer->y - dragPointerStart.y}, pointer);
    else  // The page's y grows downwards, the window's upwards.
        dragBy({*x - dragScreenStart.x, dragScreenStart.y - *y}, std::nullopt);
}

void CompanionController::dragBy(Point moved, std::optional<Point> pointer) {
    const Point proposed{dragWindowStart.x + moved.x, dragWindowStart.y + moved.y};
    // Two huge but finite page numbers can still differ by more than a double holds.
    if (!isFinite(proposed)) return;
    // The size of the state rather than of the frame: a drag that starts during the size
    // animation would otherwise freeze the window at an in-between size.
    const Size size = isExpanded ? Layout::expanded : Layout::collapsed;
    // Fitted to the monitor under the pointer, so that the companion crosses to another monitor
    // with the pointer instead of stopping at the edge of its own.
    std::optional<Screen> screen;
    if (pointer) screen = screenHolding(platform_.screens().all(), *pointer);
    if (!screen) screen = activeScreen();
    panel->setFrame({fitted(proposed, size, screen, Layout::screenInset), size});
}

void CompanionController::endDrag() {
    if (!isDragging) return;
    isDragging = false;
    // The page may fold the last moves into the release: the window ends where the pointer is.
    if (const auto pointer = platform_.screens().pointer())
        dragBy({pointer->x - dragPointerStart.x, pointer->y - dragPointerStart.y}, pointer);
    if (isExpanded && collapsedOriginBeforeExpansion) {
        const Point now = panel->frame().origin;
        collapsedOriginBeforeExpansion =
            Point{collapsedOriginBeforeExpansion->x + now.x - dragWindowStart.x,
                  collapsedOriginBeforeExpansion->y + now.y - dragWindowStart.y};
        savePosition(collapsedOriginBeforeExpansion);
        return;
    }
    savePosition();
}

void CompanionController::savePosition(std::optional<Point> origin) {
    const Point p = origin.value_or(panel->frame().origin);
    platform_.defaults().setNumbers({{positionXKey, p.x}, {positionYKey, p.y}});
}

void CompanionController::restorePosition() {
    auto& defaults = platform_.defaults();
    const bool stored = defaults.has(positionXKey);

    // The panel still has its creation frame here, so this is the screen at its corner.
    auto screen = activeScreen();
    Point origin;
    if (stored) {
        const auto read = [&defaults](const char* key) {
            const auto value = defaults.number(key);
            return value && std::isfinite(*value) ? *value : 0.0;
        };
        origin = {read(positionXKey), read(positionYKey)};
        // A position remembered on a monitor that is still there stays on that monitor; only one
        // that lies off every monitor is pulled onto the screen at the creation corner.
        if (auto remembered = screenMeeting(platform_.screens().all(), {origin, Layout::collapsed}))
            screen = remembered;
    } else {
        const Rect visible = screen ? screen->visibleFrame : Rect{};
        origin = {visible.maxX() - Layout::collapsed.width - defaultRightMargin,
                  visible.minY() + defaultBottomMargin};
    }
    panel->setFrame(
        {fitted(origin, Layout::collapsed, screen, Layout::screenInset), Layout::collapsed});
}

void CompanionController::scheduleNextWander() {
    const double seconds = platform_.random().uniform(wanderDelayMin, wanderDelayMax);
    const auto delay = std::chrono::milliseconds(std::llround(seconds * 1000));
    // Replacing the handle from inside the running step is harmless: that step has already fired.
    wanderWorkItem = platform_.mainLoop().postDelayed(delay, [weakSelf = weak_from_this()] {
        if (auto self = weakSelf.lock()) {
            self->wander();
            self->scheduleNextWander();
        }
    });
}

void CompanionController::wander() {
    const bool hasScreen = activeScreen().has_value();
    // A desktop that asks for reduced motion gets a figure that stays where it is put.
    if (isExpanded || isDragging || !hasScreen || platform_.motion().reduced()) return;

    auto& random = platform_.random();
    const double direction = random.nextBool() ? 1.0 : -1.0;
    const double dx = direction * random.uniform(wanderDistanceMin, wanderDistanceMax);
    const double dy = random.uniform(wanderDriftMin, wanderDriftMax);
    const Point from = panel->frame().origin;
    // Steps only happen collapsed; the layout size also holds while a collapse is still animating.
    const Point target = clamped({from.x + dx, from.y + dy}, Layout::collapsed);

    webView->evaluateScript("window.quilloWalk?.(" + decimalText(direction) + ")");
    panel->animateFrame({target, Layout::collapsed}, wanderSlideDuration, nullptr);
    savePosition(target);
}

}  // namespace quillo
