#pragma once

#include <gdk/gdk.h>

#include "platform/Geometry.h"

namespace quillo::gtk {

// The companion's logic works in y-up points with the origin at the primary monitor's lower
// left; GDK works in y-down pixels. This is the only place that converts between the two.
class ScreenCoordinates {
public:
    // Reads the primary monitor (else monitor 0) of the default display.
    static ScreenCoordinates current();
    explicit ScreenCoordinates(int primaryBottom) : primaryBottom_(primaryBottom) {}

    Rect toPoints(const GdkRectangle& r) const {
        return {{double(r.x), double(primaryBottom_ - (r.y + r.height))},
                {double(r.width), double(r.height)}};
    }
    // Top-left corner in GDK coordinates of a y-up rectangle, rounded to whole pixels.
    GdkPoint topLeft(const Rect& r) const;

private:
    int primaryBottom_;
};

}  // namespace quillo::gtk
