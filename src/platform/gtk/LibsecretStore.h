#pragma once

#include "platform/SecretStore.h"

namespace quillo::gtk {

// The Secret Service (GNOME Keyring, KWallet) through libsecret, in the default collection.
// Calls block the main thread for their duration, which is what keeps every question about the
// token a fresh, ordered read.
class LibsecretStore : public SecretStore {
public:
    std::optional<std::string> find(const std::string& service,
                                    const std::string& account) override;
    std::optional<int> add(const std::string& service, const std::string& account,
                           const std::string& secret) override;
    void remove(const std::string& service, const std::string& account) override;
};

}  // namespace quillo::gtk
