#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace quillo::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quillo-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Writes the bytes to the file, making its folders; a script gets "#!/bin/sh" and is executable.
inline void writeFile(const std::filesystem::path& path, const std::string& text,
                      bool script = false) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << (script ? "#!/bin/sh\n" + text + "\n" : text);
    if (script) std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

}  // namespace quillo::testing
