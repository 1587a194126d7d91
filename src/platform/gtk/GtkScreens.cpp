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

}  // namespace quillo::gtk
