#pragma once

#include <optional>
#include <string>

namespace quillo {

// One secret per (service, account) pair in the user's secret store.
class SecretStore {
public:
    virtual ~SecretStore() = default;
    // The stored bytes, or nothing when absent or when the store cannot be asked.
    virtual std::optional<std::string> find(const std::string& service,
                                            const std::string& account) = 0;
    // Nothing on success, else the store's status code (-1 when it gives none).
    virtual std::optional<int> add(const std::string& service, const std::string& account,
                                   const std::string& secret) = 0;
    virtual void remove(const std::string& service, const std::string& account) = 0;
};

}  // namespace quillo
