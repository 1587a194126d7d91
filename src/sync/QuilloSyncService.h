#pragma once

#include <functional>
#include <optional>
#include <string>

#include "QuilloSyncError.h"
#include "platform/Environment.h"
#include "platform/HttpClient.h"
#include "platform/SecretStore.h"

namespace quillo {

// Client of the Quillo diary service: keeps the agent token in the secret store and uploads the
// day's diary as a draft review.
class QuilloSyncService {
public:
    static constexpr const char* defaultService = "app.quillo.companion";
    static constexpr const char* defaultWebAddress = "https://quillo.app";
    static constexpr const char* defaultHost = "quillo.app";
    // Said once the token is gone, by the page and by `quillo-companion disconnect`.
    static constexpr const char* disconnectedMessage = "已断开，日记仍保存在本机";

    // Failure carries the error; success carries nothing.
    using Completion = std::function<void(std::optional<QuilloSyncError>)>;

    QuilloSyncService(SecretStore& secrets, HttpClient& session, const Environment& environment,
                      std::string service = defaultService,
                      std::optional<std::string> baseURL = std::nullopt);

    const std::string& service() const { return service_; }
    const std::string& account() const { return account_; }
    const std::string& baseURL() const { return baseURL_; }

    // Every question is a fresh read of the secret store: a change made elsewhere shows at once.
    bool isConnected();
    std::optional<std::string> token();
    // Nothing on success, else the reason the token was not stored.
    std::optional<QuilloSyncError> saveToken(const std::string& token);
    void deleteToken();

    // The completion runs once: before this returns for the local failures (no token, a
    // QUILLO_API_URL that is no http(s) address, a body that cannot be written), on the HTTP
    // worker thread otherwise. It must not touch main-thread state there.
    void sync(const std::string& reviewDate, const std::string& content, Completion completion);

    // A user-readable reason from the body of a rejected upload, if it carries one.
    static std::optional<std::string> errorDetail(const std::optional<std::string>& data);

private:
    SecretStore& secrets_;
    HttpClient& session_;
    std::string service_;
    std::string account_;
    std::string baseURL_;
    // Set when QUILLO_API_URL names no usable address: every upload fails with it.
    std::optional<QuilloSyncError> addressProblem_;
};

}  // namespace quillo
