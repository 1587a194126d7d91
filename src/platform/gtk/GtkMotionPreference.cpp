#include "GtkMotionPreference.h"

#include <gtk/gtk.h>

namespace quillo::gtk {

bool GtkMotionPreference::reduced() const {
    GtkSettings* settings = gtk_settings_get_default();
    if (!settings) return false;
    gboolean animations = TRUE;
    g_object_get(settings, "gtk-enable-animations", &animations, nullptr);
    return !animations;
}

}  // namespace quillo::gtk
