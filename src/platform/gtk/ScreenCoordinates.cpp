#include "ScreenCoordinates.h"

#include <cmath>

namespace quillo::gtk {

ScreenCoordinates ScreenCoordinates::current() {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* primary = display ? gdk_display_get_primary_monitor(display) : nullptr;
    if (!primary && display && gdk_display_get_n_monitors(display) > 0)
        primary = gdk_display_get_monitor(display, 0);
    if (!primary) return ScreenCoordinates(0);
    GdkRectangle geometry;
    gdk_monitor_get_geometry(primary, &geometry);
    return ScreenCoordinates(geometry.y + geometry.height);
}

GdkPoint ScreenCoordinates::topLeft(const Rect& r) const {
    return {static_cast<int>(std::lround(r.origin.x)),
            static_cast<int>(std::lround(primaryBottom_ - (r.origin.y + r.size.height)))};
}

}  // namespace quillo::gtk
