#include "GioDirectoryWatcher.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <memory>
#include <system_error>

#include "GObjectPtr.h"

namespace quillo::gtk {

namespace {

// One watch() call: the monitor on the folder, or on its nearest existing ancestor while the
// folder is missing. Lives as long as its handle, plus any signal emission running through it.
class FolderWatch : public std::enable_shared_from_this<FolderWatch> {
public:
    FolderWatch(std::filesystem::path folder, std::function<void()> changed)
        : folder_(std::move(folder)), changed_(std::move(changed)) {}

    // Watches the deepest existing level. A level may appear between looking and monitoring,
    // unseen by either monitor, so look again until the answer holds still.
    void arm() {
        for (;;) {
            const auto level = deepestExistingLevel();
            if (monitor_ && level == watched_) return;
            stopMonitor();
            GObjectPtr<GFile> file(g_file_new_for_path(level.c_str()));
            monitor_.reset(
                g_file_monitor_directory(file.get(), G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr));
            watched_ = level;
            if (!monitor_) return;
            connection_ = SignalConnection(
                monitor_.get(), g_signal_connect(monitor_.get(), "changed",
                                                 G_CALLBACK(&FolderWatch::onChanged), this));
        }
    }

    void cancel() {
        cancelled_ = true;
        stopMonitor();
        changed_ = nullptr;
    }

private:
    std::filesystem::path deepestExistingLevel() const {
        auto path = folder_;
        struct stat status {};
        while (!(::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) &&
               path.has_relative_path())
            path = path.parent_path();
        return path;
    }

    void stopMonitor() {
        connection_.disconnect();
        if (monitor_) g_file_monitor_cancel(monitor_.get());
        monitor_.reset();
    }

    static void onChanged(GFileMonitor*, GFile* file, GFile*, GFileMonitorEvent event,
                          gpointer data) {
        // The callback may drop the last handle; keep this watch alive until the handler is done.
        const auto self = static_cast<FolderWatch*>(data)->shared_from_this();
        if (self->cancelled_) return;
        const bool wasWatchingFolder = self->watched_ == self->folder_;
        // The watched level itself went away. A folder made again under the same name (even with
        // the same inode number) is not the one the old monitor hears, so the monitor is renewed
        // even when the path exists again by now.
        const bool levelGone =
            event == G_FILE_MONITOR_EVENT_DELETED || event == G_FILE_MONITOR_EVENT_MOVED_OUT ||
            event == G_FILE_MONITOR_EVENT_RENAMED || event == G_FILE_MONITOR_EVENT_MOVED ||
            event == G_FILE_MONITOR_EVENT_UNMOUNTED;
        if (levelGone) {
            GCharPtr path(g_file_get_path(file));
            if (path && self->watched_ == path.get()) self->stopMonitor();
        }
        // Any event beside or above the folder may mean that a level appeared or went away.
        self->arm();
        // There, only the folder's appearance concerns the caller.
        if (wasWatchingFolder || self->watched_ == self->folder_) self->changed_();
    }

    std::filesystem::path folder_;
    std::function<void()> changed_;
    std::filesystem::path watched_;
    GObjectPtr<GFileMonitor> monitor_;
    SignalConnection connection_;
    bool cancelled_ = false;
};

// Absolute, without "." or ".." or a trailing separator, so that it compares equal to the paths
// GIO reports.
std::filesystem::path plainPath(const std::filesystem::path& folder) {
    std::error_code error;
    auto path = std::filesystem::absolute(folder, error).lexically_normal();
    if (path.filename().empty() && path.has_relative_path()) path = path.parent_path();
    return path;
}

}  // namespace

SourceHandle GioDirectoryWatcher::watch(const std::filesystem::path& folder,
                                        std::function<void()> changed) {
    auto state = std::make_shared<FolderWatch>(plainPath(folder), std::move(changed));
    state->arm();
    return SourceHandle([state] { state->cancel(); });
}

}  // namespace quillo::gtk
