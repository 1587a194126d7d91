#pragma once

#include <filesystem>

namespace quillo {

// The folder of page and scripts that ships with the executable.
class ResourceBundle {
public:
    static constexpr const char* name = "QuilloCompanion_QuilloCompanion.bundle";

    // Found once per process: beside the real executable, else in the build tree. Neither is a
    // fatal stop that names both places.
    static const std::filesystem::path& module();

    // The lookup itself: the first of the two that is a folder, else a fatal stop naming both.
    static std::filesystem::path locate(const std::filesystem::path& mainPath,
                                        const std::filesystem::path& buildPath);
    // Beside /proc/self/exe, so a symbolic link in bin/ still finds the installed bundle.
    static std::filesystem::path mainPath();
    // Recorded when the program was configured.
    static std::filesystem::path buildPath();
};

}  // namespace quillo
