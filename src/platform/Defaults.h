#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillo {

// The user's small persistent settings (numbers under dotted keys).
class Defaults {
public:
    virtual ~Defaults() = default;
    virtual bool has(const std::string& key) const = 0;
    // Nothing when the key is absent or its value is not a number.
    virtual std::optional<double> number(const std::string& key) const = 0;
    // Writes all the values together, so a reader never sees half of them.
    virtual void setNumbers(const std::vector<std::pair<std::string, double>>& values) = 0;
};

}  // namespace quillo
