#include "GtkApplicationShell.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <cstdlib>
#include <string>

#include "ChildProcessGroups.h"
#include "WebKitProfile.h"

namespace quillo::gtk {

struct GtkApplicationShell::State {
    Handlers handlers;
    GtkApplication* application = nullptr;
    bool launched = false;
    AppIndicator* indicator = nullptr;  // kept for the life of the process
    GtkWidget* menu = nullptr;
};

namespace {

constexpr const char* applicationId = "app.quillo.Companion";

void quitSoon(GApplication* application) {
    // Let the reply to a forwarded "--quit" reach the caller before the process goes.
    g_timeout_add(
        50,
        [](gpointer app) -> gboolean {
            if (GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(app)))
                g_dbus_connection_flush_sync(bus, nullptr, nullptr);
            GtkApplicationShell::quit();
        },
        application);
}

int commandLine(GApplication* application, GApplicationCommandLine* commandLine, gpointer data) {
    auto* state = static_cast<GtkApplicationShell::State*>(data);
    int argc = 0;
    gchar** argv = g_application_command_line_get_arguments(commandLine, &argc);
    const std::string action = argc > 1 ? argv[1] : "";
    g_strfreev(argv);

    if (action == "--quit") {
        if (state->launched) quitSoon(application);
        return 0;
    }
    if (!state->launched) {
        state->launched = true;
        g_application_hold(application);
        ChildProcessGroups::endWithProcess();
        state->handlers.launch();
        return 0;
    }
    state->handlers.toggle();
    return 0;
}

// Returns once no process owns the application's name on the bus any more, or after a few
// seconds: a companion told to quit is then gone, and a start that follows at once cannot hand
// its command line to the one that is still ending.
void waitUntilGone(GDBusConnection* bus) {
    struct {
        bool gone = false, late = false;
    } wait;
    const guint watch = g_bus_watch_name_on_connection(
        bus, applicationId, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
        +[](GDBusConnection*, const gchar*, gpointer w) {
            static_cast<decltype(wait)*>(w)->gone = true;
        },
        &wait, nullptr);
    const guint limit = g_timeout_add_seconds(
        5,
        +[](gpointer w) -> gboolean {
            static_cast<decltype(wait)*>(w)->late = true;
            return G_SOURCE_REMOVE;
        },
        &wait);
    while (!wait.gone && !wait.late) g_main_context_iteration(nullptr, TRUE);
    g_bus_unwatch_name(watch);
    if (!wait.late) g_source_remove(limit);
}

}  // namespace

GtkApplicationShell::GtkApplicationShell(Handlers handlers)
    : state_(new State{std::move(handlers)}) {}

GtkApplicationShell::~GtkApplicationShell() {
    if (state_->application) g_object_unref(state_->application);
    delete state_;
}

int GtkApplicationShell::run(int argc, char** argv) {
    // Wayland does not let a client place its windows; the companion is placed, dragged and
    // wanders, so it always talks X11 (through XWayland in a Wayland session).
    gdk_set_allowed_backends("x11");
    // Before GTK opens the display: the companion's web view will run in this process.
    WebKitProfile::prepareProcesses();
    state_->application = gtk_application_new(applicationId, G_APPLICATION_HANDLES_COMMAND_LINE);
    g_signal_connect(state_->application, "command-line", G_CALLBACK(commandLine), state_);
    auto* application = G_APPLICATION(state_->application);
    // Registered here rather than by the run, so that this process knows whether it forwards
    // "--quit" and keeps the bus to watch the companion go (the run leaves it unregistered).
    GDBusConnection* bus = nullptr;
    if (argc > 1 && std::string(argv[1]) == "--quit" &&
        g_application_register(application, nullptr, nullptr) &&
        g_application_get_is_remote(application))
        bus = G_DBUS_CONNECTION(g_object_ref(g_application_get_dbus_connection(application)));
    const int status = g_application_run(application, argc, argv);
    if (bus) {
        waitUntilGone(bus);
        g_object_unref(bus);
    }
    return status;
}

void GtkApplicationShell::installStatusItem(const std::filesystem::path& iconFolder) {
    // A PNG: GTK draws it without librsvg, which an SVG would load into this process.
    const bool ownIcon = std::filesystem::exists(iconFolder / "quillo-companion.png");
    state_->indicator = app_indicator_new("quillo-companion",
                                          ownIcon ? "quillo-companion" : "accessories-dictionary",
                                          APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    if (ownIcon) app_indicator_set_icon_theme_path(state_->indicator, iconFolder.c_str());
    app_indicator_set_icon_full(state_->indicator,
                                ownIcon ? "quillo-companion" : "accessories-dictionary", "Quillo");
    app_indicator_set_title(state_->indicator, "Quillo 桌面伙伴");
    app_indicator_set_status(state_->indicator, APP_INDICATOR_STATUS_ACTIVE);

    GtkWidget* menu = gtk_menu_new();
    GtkWidget* toggle = gtk_menu_item_new_with_label("打开或收起 Quillo");
    g_signal_connect(toggle, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                         static_cast<State*>(data)->handlers.toggle();
                     }),
                     state_);
    GtkWidget* quit = gtk_menu_item_new_with_label("退出 Quillo");
    gtk_accel_label_set_accel(GTK_ACCEL_LABEL(gtk_bin_get_child(GTK_BIN(quit))), GDK_KEY_q,
                              GDK_CONTROL_MASK);
    g_signal_connect(quit, "activate",
                     G_CALLBACK(+[](GtkMenuItem*, gpointer) { GtkApplicationShell::quit(); }),
                     nullptr);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), toggle);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), quit);
    gtk_widget_show_all(menu);
    app_indicator_set_menu(state_->indicator, GTK_MENU(menu));
    state_->menu = menu;
}

void GtkApplicationShell::quit() {
    // A summary reader still running leads a process group of its own: it would outlive us.
    ChildProcessGroups::endAll();
    std::fflush(nullptr);
    std::_Exit(0);
}

}  // namespace quillo::gtk
