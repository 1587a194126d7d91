#pragma once

#include "platform/DirectoryWatcher.h"

namespace quillo::gtk {

// GFileMonitor on the folder. GIO notices a folder that does not exist yet only by polling every
// few seconds, so until it exists its nearest existing ancestor is watched instead, one level
// deeper each time a level appears; a folder that goes away is followed back up the same way.
class GioDirectoryWatcher : public DirectoryWatcher {
public:
    SourceHandle watch(const std::filesystem::path& folder, std::function<void()> changed) override;
};

}  // namespace quillo::gtk
