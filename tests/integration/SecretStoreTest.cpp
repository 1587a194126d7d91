// The token store against a real Secret Service: the throwaway, unlocked GNOME Keyring that
// tests/with-desktop-session.sh starts on a private session bus.

#include <glib.h>
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include "platform/gtk/CurlHttpClient.h"
#include "platform/gtk/GioServices.h"
#include "platform/gtk/LibsecretStore.h"
#include "support/SecretText.h"
#include "sync/QuilloSyncService.h"

namespace quillo {

namespace {

using testing::sameSecret;

const std::string firstToken = "qlo_live_" + std::string(31, 'a');
const std::string secondToken = "qlo_live_" + std::string(40, 'b');

// Another program's view of the keyring: items found, written and cleared by their service and
// account attributes alone, under a schema name of its own.
const SecretSchema* otherSchema() {
    static SecretSchema* schema = secret_schema_new(
        "org.example.Other", SECRET_SCHEMA_DONT_MATCH_NAME, "service",
        SECRET_SCHEMA_ATTRIBUTE_STRING, "account", SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr);
    return schema;
}

// The label of each item the keyring holds for the companion's token.
std::vector<std::string> storedItems() {
    GList* items = secret_password_search_sync(otherSchema(), SECRET_SEARCH_ALL, nullptr, nullptr,
                                               "service", QuilloSyncService::defaultService,
                                               "account", "agent-token", nullptr);
    std::vector<std::string> labels;
    for (GList* entry = items; entry; entry = entry->next) {
        gchar* label = secret_retrievable_get_label(static_cast<SecretRetrievable*>(entry->data));
        labels.push_back(label ? label : "");
        g_free(label);
    }
    g_list_free_full(items, g_object_unref);
    return labels;
}

void storeElsewhere(const std::string& bytes) {
    SecretValue* value = secret_value_new(bytes.data(), gssize(bytes.size()), "text/plain");
    ASSERT_TRUE(secret_password_store_binary_sync(
        otherSchema(), SECRET_COLLECTION_DEFAULT, "written elsewhere", value, nullptr, nullptr,
        "service", QuilloSyncService::defaultService, "account", "agent-token", nullptr));
    secret_value_unref(value);
}

class SecretStoreTest : public ::testing::Test {
protected:
    SecretStoreTest() { store.remove(QuilloSyncService::defaultService, "agent-token"); }
    ~SecretStoreTest() override { store.remove(QuilloSyncService::defaultService, "agent-token"); }

    gtk::LibsecretStore store;
    gtk::CurlHttpClient http;
    gtk::ProcessEnvironment environment{[] { return std::filesystem::path(); }};
    QuilloSyncService service{store, http, environment};
};

TEST_F(SecretStoreTest, ASavedTokenIsTrimmedAndReplacesWhateverItemHeldThePair) {
    storeElsewhere(firstToken);
    EXPECT_TRUE(sameSecret(service.token(), firstToken));
    EXPECT_EQ(service.saveToken("  " + secondToken + "\n"), std::nullopt);
    EXPECT_TRUE(sameSecret(service.token(), secondToken));
    EXPECT_EQ(storedItems(), std::vector<std::string>{"Quillo agent token"});
}

TEST_F(SecretStoreTest, ADeletionMadeHereOrElsewhereIsSeenAtTheNextQuestion) {
    ASSERT_EQ(service.saveToken(firstToken), std::nullopt);
    service.deleteToken();
    EXPECT_TRUE(storedItems().empty());
    service.deleteToken();  // harmless when repeated
    ASSERT_EQ(service.saveToken(firstToken), std::nullopt);
    ASSERT_TRUE(secret_password_clear_sync(otherSchema(), nullptr, nullptr, "service",
                                           QuilloSyncService::defaultService, "account",
                                           "agent-token", nullptr));
    EXPECT_FALSE(service.isConnected());
}

// A save without a Secret Service names the failure instead of passing for a success. In a fresh
// process: libsecret keeps its connection to the bus for the life of the process.
TEST(SecretStoreWithoutServiceTest, NothingIsConnectedAndASaveFailsWithTheStoresStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillo-bus", TRUE);
            gtk::LibsecretStore store;
            gtk::CurlHttpClient http;
            gtk::ProcessEnvironment environment([] { return std::filesystem::path(); });
            QuilloSyncService service(store, http, environment);
            const bool connectedBefore = service.isConnected();
            const auto error = service.saveToken(firstToken);
            std::fprintf(stderr, "%s\n", error ? error->message.c_str() : "saved");
            std::exit(connectedBefore || service.isConnected() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "^钥匙串保存失败（-?[0-9]+）\n$");
}

}  // namespace
}  // namespace quillo
