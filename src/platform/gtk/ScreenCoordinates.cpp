#include "ScreenCoordinates.h"

#include <algorithm>
#include <cmath>

namespace quillo::gtk {

namespace {
constexpr double lowest = -32768;
constexpr double highest = 32767;

// Rounds into [low, high]; a value that is not a number gives the low end.
int whole(double value, double low, double high) {
    if (std::isnan(value)) return static_cast<int>(low);
    return static_cast<int>(std::lround(std::clamp(value, low, high)));
}
}  // namespace

ScreenCoordinates ScreenCoordinates::current() {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* primary = display ? gdk_display_get_primary_monitor(display) : nullptr;
    if (!primary && display && gdk_display_get_n_monitors(display) > 0)
        primary = gdk_display_get_monitor(display, 0);
    if (!primary) return ScreenCoordinates(0, 0);
    GdkRectangle geometry;
    gdk_monitor_get_geometry(primary, &geometry);
    return ScreenCoordinates(geometry.x, geometry.y + geometry.height);
}

int ScreenCoordinates::length(double points) { return whole(points, 1, highest); }

GdkRectangle ScreenCoordinates::toPixels(const Rect& r) const {
    const int height = length(r.size.height);
    // The top edge from the rounded height, so that the bottom edge lands where it was asked.
    const double top = double(primaryBottom_) - (r.origin.y + double(height));
    return {whole(r.origin.x + double(primaryLeft_), lowest, highest), whole(top, lowest, highest),
            length(r.size.width), height};
}

}  // namespace quillo::gtk
