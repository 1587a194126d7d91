#pragma once

#include <filesystem>

#include "platform/Defaults.h"

namespace quillo::gtk {

// Numbers in group [defaults] of a key file, rewritten whole and atomically on every save.
class KeyFileDefaults : public Defaults {
public:
    explicit KeyFileDefaults(std::filesystem::path file) : file_(std::move(file)) {}
    // $XDG_CONFIG_HOME/QuilloCompanion/defaults.ini (~/.config when unset).
    static std::filesystem::path standardLocation();

    bool has(const std::string& key) const override;
    std::optional<double> number(const std::string& key) const override;
    void setNumbers(const std::vector<std::pair<std::string, double>>& values) override;

private:
    std::filesystem::path file_;
};

}  // namespace quillo::gtk
