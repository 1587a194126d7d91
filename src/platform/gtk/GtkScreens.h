#pragma once

#include "platform/Screens.h"

namespace quillo::gtk {

// Monitors of the default GDK display, geometry and work area, and the pointer, in y-up points.
class GtkScreens : public Screens {
public:
    std::vector<Screen> all() const override;
    std::optional<Screen> main() const override;
    std::optional<Point> pointer() const override;
    Point fromPageScreen(Point position) const override;
};

}  // namespace quillo::gtk
