#include "LibsecretStore.h"

#include <libsecret/secret.h>

namespace quillo::gtk {

namespace {

constexpr const char* schemaName = "app.quillo.Companion";
constexpr const char* label = "Quillo agent token";

SecretSchema makeSchema(SecretSchemaFlags flags) {
    return {schemaName,
            flags,
            {
                {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                {nullptr, SecretSchemaAttributeType(0)},
            },
            0,
            nullptr,
            nullptr,
            nullptr,
            nullptr,
            nullptr,
            nullptr,
            nullptr};
}

// Items are written under the schema's name, so the keyring shows whose they are.
const SecretSchema* storeSchema() {
    static const SecretSchema value = makeSchema(SECRET_SCHEMA_NONE);
    return &value;
}

// An item is found and removed by service and account alone, whatever wrote it (secret-tool
// writes another schema name): one pair, at most one item, as the token store promises.
const SecretSchema* pairSchema() {
    static const SecretSchema value = makeSchema(SECRET_SCHEMA_DONT_MATCH_NAME);
    return &value;
}

}  // namespace

std::optional<std::string> LibsecretStore::find(const std::string& service,
                                                const std::string& account) {
    GError* error = nullptr;
    SecretValue* value =
        secret_password_lookup_binary_sync(pairSchema(), nullptr, &error, "service",
                                           service.c_str(), "account", account.c_str(), nullptr);
    if (error) g_error_free(error);
    if (!value) return std::nullopt;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    std::string secret(bytes, length);
    secret_value_unref(value);
    return secret;
}

std::optional<int> LibsecretStore::add(const std::string& service, const std::string& account,
                                       const std::string& secret) {
    SecretValue* value =
        secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
    GError* error = nullptr;
    const gboolean stored = secret_password_store_binary_sync(
        storeSchema(), SECRET_COLLECTION_DEFAULT, label, value, nullptr, &error, "service",
        service.c_str(), "account", account.c_str(), nullptr);
    secret_value_unref(value);
    if (stored && !error) return std::nullopt;
    const int code = error ? error->code : -1;
    if (error) g_error_free(error);
    return code;
}

void LibsecretStore::remove(const std::string& service, const std::string& account) {
    GError* error = nullptr;
    secret_password_clear_sync(pairSchema(), nullptr, &error, "service", service.c_str(), "account",
                               account.c_str(), nullptr);
    if (error) g_error_free(error);
}

}  // namespace quillo::gtk
