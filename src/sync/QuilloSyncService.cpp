// Placeholder until the service client lands; replaced by its owner.
#include "QuilloSyncService.h"

namespace quillo {
QuilloSyncService::QuilloSyncService(SecretStore& secrets, HttpClient& session, const Environment&,
                                     std::string service, std::optional<std::string> baseURL)
    : secrets_(secrets), session_(session), service_(std::move(service)), account_("agent-token"),
      baseURL_(baseURL.value_or(defaultWebAddress)) {}
bool QuilloSyncService::isConnected() { return false; }
std::optional<std::string> QuilloSyncService::token() { return {}; }
std::optional<QuilloSyncError> QuilloSyncService::saveToken(const std::string&) { return {}; }
void QuilloSyncService::deleteToken() {}
void QuilloSyncService::sync(const std::string&, const std::string&, Completion) {}
std::optional<std::string> QuilloSyncService::errorDetail(const std::optional<std::string>&) {
    return {};
}
}  // namespace quillo
