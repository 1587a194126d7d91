#include "GtkScreens.h"

#include <gdk/gdk.h>

#include "ScreenCoordinates.h"

namespace quillo::gtk {

namespace {
Screen screenOf(GdkMonitor* monitor, const ScreenCoordinates& coordinates) {
    GdkRectangle geometry, workArea;
    gdk_monitor_get_geometry(monitor, &geometry);
    gdk_monitor_get_workarea(monitor, &workArea);
    return {coordinates.toPoints(geometry), coordinates.toPoints(workArea)};
}
}  // namespace

std::vector<Screen> GtkScreens::all() const {
    std::vector<Screen> screens;
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return screens;
    const auto coordinates = ScreenCoordinates::current();
    for (int i = 0, n = gdk_display_get_n_monitors(display); i < n; ++i)
        screens.push_back(screenOf(gdk_display_get_monitor(display, i), coordinates));
    return screens;
}

std::optional<Screen> GtkScreens::main() const {
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return std::nullopt;
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0)
        monitor = gdk_display_get_monitor(display, 0);
    if (!monitor) return std::nullopt;
    return screenOf(monitor, ScreenCoordinates::current());
}

std::optional<Point> GtkScreens::pointer() const {
    GdkDisplay* display = gdk_display_get_default();
    GdkSeat* seat = display ? gdk_display_get_default_seat(display) : nullptr;
    GdkDevice* device = seat ? gdk_seat_get_pointer(seat) : nullptr;
    if (!device) return std::nullopt;
    gint x = 0, y = 0;
    gdk_device_get_position(device, nullptr, &x, &y);
    return ScreenCoordinates::current().toPoints(x, y);
}

// WebKitGTK's screen coordinates are GDK's root coordinates.
Point GtkScreens::fromPageScreen(Point position) const {
    return ScreenCoordinates::current().toPoints(position.x, position.y);
}

}  // namespace quillo::gtk
