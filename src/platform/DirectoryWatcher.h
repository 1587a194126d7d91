#pragma once

#include <filesystem>
#include <functional>

#include "SourceHandle.h"

namespace quillo {

// Tells, on the main loop, that something in a folder may have changed. The folder need not
// exist yet: its creation counts as a change.
class DirectoryWatcher {
public:
    virtual ~DirectoryWatcher() = default;
    [[nodiscard]] virtual SourceHandle watch(const std::filesystem::path& folder,
                                             std::function<void()> changed) = 0;
};

}  // namespace quillo
