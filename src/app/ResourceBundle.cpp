#include "ResourceBundle.h"

#include <string>

#include "platform/Fatal.h"

namespace quillo {

std::filesystem::path ResourceBundle::locate(const std::filesystem::path& mainPath,
                                             const std::filesystem::path& buildPath) {
    std::error_code error;
    if (std::filesystem::is_directory(mainPath, error)) return mainPath;
    if (std::filesystem::is_directory(buildPath, error)) return buildPath;
    fatalError("could not load resource bundle: from " + mainPath.string() + " or " +
               buildPath.string());
}

std::filesystem::path ResourceBundle::mainPath() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return executable.parent_path() / name;
}

std::filesystem::path ResourceBundle::buildPath() { return QUILLO_BUILD_BUNDLE; }

const std::filesystem::path& ResourceBundle::module() {
    // A function-local static is initialised exactly once, also when threads race for it.
    static const std::filesystem::path bundle = locate(mainPath(), buildPath());
    return bundle;
}

}  // namespace quillo
