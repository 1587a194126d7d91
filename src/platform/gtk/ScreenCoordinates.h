#pragma once

#include <gdk/gdk.h>

#include "platform/Geometry.h"

namespace quillo::gtk {

// The companion's logic works in y-up points with the origin at the primary monitor's lower
// left; GDK works in y-down pixels with the origin at the top left of the whole screen, which is
// the leftmost monitor's edge when the primary is not the leftmost. This is the only place that
// converts between the two.
class ScreenCoordinates {
public:
    // Reads the primary monitor (else monitor 0) of the default display.
    static ScreenCoordinates current();
    ScreenCoordinates(int primaryLeft, int primaryBottom)
        : primaryLeft_(primaryLeft), primaryBottom_(primaryBottom) {}

    Rect toPoints(const GdkRectangle& r) const {
        return {
            {double(r.x) - primaryLeft_, double(primaryBottom_) - (double(r.y) + double(r.height))},
            {double(r.width), double(r.height)}};
    }
    // A pointer position, which has no height.
    Point toPoints(double x, double y) const {
        return {x - primaryLeft_, double(primaryBottom_) - y};
    }
    // A y-up rectangle as GDK's top-left corner and size, rounded to whole pixels and kept within
    // what the X protocol can carry (16-bit positions, sizes of at least one pixel).
    GdkRectangle toPixels(const Rect& r) const;
    // A width or height in whole pixels, at least one.
    static int length(double points);

private:
    int primaryLeft_;
    int primaryBottom_;
};

}  // namespace quillo::gtk
