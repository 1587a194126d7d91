#pragma once

#include "platform/DirectoryWatcher.h"

namespace quillo::gtk {

// GFileMonitor on the folder. GIO also watches folders that do not exist yet and reports their
// creation.
class GioDirectoryWatcher : public DirectoryWatcher {
public:
    SourceHandle watch(const std::filesystem::path& folder, std::function<void()> changed) override;
};

}  // namespace quillo::gtk
