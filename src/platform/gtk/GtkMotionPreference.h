#pragma once

#include "platform/MotionPreference.h"

namespace quillo::gtk {

// GTK's gtk-enable-animations turned off, the same setting that WebKitGTK hands the page as
// prefers-reduced-motion. GTK follows the desktop's live changes of it (XSETTINGS).
class GtkMotionPreference : public MotionPreference {
public:
    bool reduced() const override;
};

}  // namespace quillo::gtk
