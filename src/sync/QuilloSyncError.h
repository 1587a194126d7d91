#pragma once

#include <string>

namespace quillo {

// The one failure of the service client; `message` is shown to the user as it stands.
struct QuilloSyncError {
    std::string message;
    const std::string& errorDescription() const { return message; }
    friend bool operator==(const QuilloSyncError&, const QuilloSyncError&) = default;
};

}  // namespace quillo
