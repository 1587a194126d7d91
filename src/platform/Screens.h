#pragma once

#include <optional>
#include <vector>

#include "Geometry.h"

namespace quillo {

struct Screen {
    Rect frame;         // the whole monitor
    Rect visibleFrame;  // the part not covered by panels and docks
    friend bool operator==(const Screen&, const Screen&) = default;
};

class Screens {
public:
    virtual ~Screens() = default;
    // Monitors in the window system's own order.
    virtual std::vector<Screen> all() const = 0;
    // The primary monitor, or nothing when the window system names none.
    virtual std::optional<Screen> main() const = 0;
    // Where the pointer is now, or nothing when the window system does not say.
    virtual std::optional<Point> pointer() const = 0;
    // A position in the screen coordinates of the page's pointer events (whole pixels from the
    // top left of the whole screen, y growing downwards), in points.
    virtual Point fromPageScreen(Point position) const = 0;
};

}  // namespace quillo
