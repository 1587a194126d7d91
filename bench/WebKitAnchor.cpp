// The floor the companion is measured against: a bare WebKitGTK program, one undecorated 64 × 64
// RGBA window holding a web view with the companion's WebKit settings (WebKitProfile::apply) and a
// static one-element local page. It links GTK and WebKitGTK only, and runs until it is killed.
// With --process-set-up it also starts its processes as the companion does
// (WebKitProfile::prepareProcesses: no GL in this process, no JIT in the web process).
// Prints {"loadedMs": ...} once the page has loaded: milliseconds since the process started.
//
//   webkit_anchor [--process-set-up] PAGE.html

#include <gtk/gtk.h>
#include <time.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/gtk/WebKitProfile.h"

namespace {

// From the kernel's record of this process's start (field 22 of /proc/self/stat, in clock ticks).
double millisecondsSinceProcessStart() {
    unsigned long long startTicks = 0;
    if (FILE* stat = std::fopen("/proc/self/stat", "r")) {
        char line[1024] = {};
        const bool read = std::fgets(line, sizeof line, stat) != nullptr;
        std::fclose(stat);
        const char* rest = read ? std::strrchr(line, ')') : nullptr;
        if (rest)
            std::sscanf(
                rest,
                ") %*c"
                " %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                &startTicks);
    }
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return (now.tv_sec + now.tv_nsec / 1e9) * 1000 - startTicks * 1000.0 / sysconf(_SC_CLK_TCK);
}

}  // namespace

int main(int argc, char** argv) {
    const bool processSetUp = argc == 3 && std::string(argv[1]) == "--process-set-up";
    if (argc != 2 && !processSetUp) {
        std::fprintf(stderr, "usage: webkit_anchor [--process-set-up] PAGE.html\n");
        return 2;
    }
    const std::string page = argv[argc - 1];
    if (processSetUp) quillo::gtk::WebKitProfile::prepareProcesses();
    gtk_init(nullptr, nullptr);

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(window), 64, 64);
    gtk_widget_set_app_paintable(window, TRUE);
    if (GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(window)))
        gtk_widget_set_visual(window, rgba);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

    auto* view = WEBKIT_WEB_VIEW(webkit_web_view_new());
    quillo::gtk::WebKitProfile::apply(view);
    const GdkRGBA clear = {0, 0, 0, 0};
    webkit_web_view_set_background_color(view, &clear);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));

    gchar* absolute = g_canonicalize_filename(page.c_str(), nullptr);
    gchar* uri = g_filename_to_uri(absolute, nullptr, nullptr);
    g_free(absolute);
    if (!uri) {
        std::fprintf(stderr, "webkit_anchor: not a page: %s\n", page.c_str());
        return 2;
    }
    g_signal_connect(view, "load-changed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer) {
                         if (event != WEBKIT_LOAD_FINISHED) return;
                         std::printf("{\"loadedMs\": %.0f}\n", millisecondsSinceProcessStart());
                         std::fflush(stdout);
                     }),
                     nullptr);
    quillo::gtk::WebKitProfile::load(view, uri);
    g_free(uri);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
