#include "GioServices.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "GtkApplicationShell.h"

namespace quillo::gtk {

void GioWorkspace::openURI(const std::string& uri) {
    g_app_info_launch_default_for_uri_async(uri.c_str(), nullptr, nullptr, nullptr, nullptr);
}

void GtkClipboardText::requestText(std::function<void(std::optional<std::string>)> callback) {
    using Callback = std::function<void(std::optional<std::string>)>;
    gtk_clipboard_request_text(
        gtk_clipboard_get(GDK_SELECTION_CLIPBOARD),
        [](GtkClipboard*, const gchar* text, gpointer data) {
            std::unique_ptr<Callback> callback(static_cast<Callback*>(data));
            (*callback)(text ? std::optional<std::string>(text) : std::nullopt);
        },
        new Callback(std::move(callback)));
}

bool SystemRandomSource::nextBool() { return std::bernoulli_distribution(0.5)(engine_); }

double SystemRandomSource::uniform(double low, double high) {
    // uniform_real_distribution draws from [low, high); widen by one step to close the interval.
    return std::uniform_real_distribution<double>(
        low, std::nextafter(high, std::numeric_limits<double>::max()))(engine_);
}

std::optional<std::string> ProcessEnvironment::variable(const std::string& name) const {
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

std::filesystem::path ProcessEnvironment::homeDirectory() const { return g_get_home_dir(); }

std::filesystem::path ProcessEnvironment::dataHome() const { return g_get_user_data_dir(); }

std::chrono::system_clock::time_point ProcessEnvironment::now() const {
    return std::chrono::system_clock::now();
}

void ProcessEnvironment::quit() { GtkApplicationShell::quit(); }

}  // namespace quillo::gtk
