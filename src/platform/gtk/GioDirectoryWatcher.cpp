#include "GioDirectoryWatcher.h"

#include <gio/gio.h>

namespace quillo::gtk {

SourceHandle GioDirectoryWatcher::watch(const std::filesystem::path& folder,
                                        std::function<void()> changed) {
    GFile* file = g_file_new_for_path(folder.c_str());
    GFileMonitor* monitor =
        g_file_monitor_directory(file, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
    g_object_unref(file);
    if (!monitor) return {};
    using Callback = std::function<void()>;
    g_signal_connect_data(monitor, "changed",
                          G_CALLBACK(+[](GFileMonitor*, GFile*, GFile*, GFileMonitorEvent,
                                         gpointer data) { (*static_cast<Callback*>(data))(); }),
                          new Callback(std::move(changed)),
                          [](gpointer data, GClosure*) { delete static_cast<Callback*>(data); },
                          GConnectFlags(0));
    return SourceHandle([monitor] {
        g_file_monitor_cancel(monitor);
        g_object_unref(monitor);
    });
}

}  // namespace quillo::gtk
