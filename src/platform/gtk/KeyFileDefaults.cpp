#include "KeyFileDefaults.h"

#include <glib.h>

#include <cmath>
#include <memory>
#include <string>

namespace quillo::gtk {

namespace {
constexpr const char* group = "defaults";

using KeyFile = std::unique_ptr<GKeyFile, decltype(&g_key_file_unref)>;

// A missing, unreadable or corrupt file reads as an empty one; the next save replaces it.
KeyFile load(const std::filesystem::path& file) {
    KeyFile keys(g_key_file_new(), &g_key_file_unref);
    if (!g_key_file_load_from_file(keys.get(), file.c_str(), G_KEY_FILE_NONE, nullptr)) {
        keys.reset(g_key_file_new());
    }
    return keys;
}
}  // namespace

std::filesystem::path KeyFileDefaults::standardLocation() {
    return std::filesystem::path(g_get_user_config_dir()) / "QuilloCompanion" / "defaults.ini";
}

bool KeyFileDefaults::has(const std::string& key) const {
    return g_key_file_has_key(load(file_).get(), group, key.c_str(), nullptr);
}

std::optional<double> KeyFileDefaults::number(const std::string& key) const {
    GError* error = nullptr;
    const double value = g_key_file_get_double(load(file_).get(), group, key.c_str(), &error);
    if (error) {
        g_error_free(error);
        return std::nullopt;
    }
    // GLib also reads "inf" and "nan", which are no position.
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

void KeyFileDefaults::setNumbers(const std::vector<std::pair<std::string, double>>& values) {
    auto keys = load(file_);
    for (const auto& [key, value] : values)
        g_key_file_set_double(keys.get(), group, key.c_str(), value);
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    // A temporary file renamed over the old one, as g_key_file_save_to_file does, but without
    // its fsync calls: the position is saved on the main loop at every wander step, where they
    // stalled the loop for tens of milliseconds, and a position lost to a power cut costs
    // nothing. A failure (read-only folder, full disk) leaves the old position in place; there
    // is nobody to tell.
    gsize length = 0;
    gchar* data = g_key_file_to_data(keys.get(), &length, nullptr);
    const std::string temporary = file_.string() + ".new";
    if (g_file_set_contents_full(temporary.c_str(), data, static_cast<gssize>(length),
                                 G_FILE_SET_CONTENTS_NONE, 0644, nullptr)) {
        std::filesystem::rename(temporary, file_, ignored);
        if (ignored) std::filesystem::remove(temporary, ignored);
    }
    g_free(data);
}

}  // namespace quillo::gtk
