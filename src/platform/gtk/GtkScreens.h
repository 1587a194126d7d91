#pragma once

#include "platform/Screens.h"

namespace quillo::gtk {

// Monitors of the default GDK display, geometry and work area, in y-up points.
class GtkScreens : public Screens {
public:
    std::vector<Screen> all() const override;
    std::optional<Screen> main() const override;
};

}  // namespace quillo::gtk
