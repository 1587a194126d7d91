// The token store against a real Secret Service: the throwaway, unlocked GNOME Keyring that
// tests/with-desktop-session.sh starts on a private session bus.

#include <glib.h>
#include <gmock/gmock.h>
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

constexpr const char* testService = "app.quillo.companion.test";
const std::string firstToken = "qlo_live_" + std::string(31, 'a');
const std::string secondToken = "qlo_live_" + std::string(40, 'b');

// Finds items by attributes alone, as another program would see them.
const SecretSchema* anySchema() {
    static const SecretSchema schema = {"app.quillo.Companion",
                                        SECRET_SCHEMA_DONT_MATCH_NAME,
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
    return &schema;
}

// The items the keyring holds for the test's pair, with their attributes and labels.
struct StoredItem {
    std::string label;
    std::map<std::string, std::string> attributes;
};

std::vector<StoredItem> storedItems(const std::string& service) {
    GError* error = nullptr;
    GList* items =
        secret_password_search_sync(anySchema(), SECRET_SEARCH_ALL, nullptr, &error, "service",
                                    service.c_str(), "account", "agent-token", nullptr);
    if (error) {
        ADD_FAILURE() << "search failed: " << error->message;
        g_error_free(error);
    }
    std::vector<StoredItem> result;
    for (GList* entry = items; entry; entry = entry->next) {
        auto* item = static_cast<SecretRetrievable*>(entry->data);
        StoredItem stored;
        gchar* label = secret_retrievable_get_label(item);
        stored.label = label ? label : "";
        g_free(label);
        GHashTable* attributes = secret_retrievable_get_attributes(item);
        GHashTableIter iter;
        gpointer key = nullptr;
        gpointer value = nullptr;
        g_hash_table_iter_init(&iter, attributes);
        while (g_hash_table_iter_next(&iter, &key, &value))
            stored.attributes[static_cast<char*>(key)] = static_cast<char*>(value);
        g_hash_table_unref(attributes);
        result.push_back(stored);
    }
    g_list_free_full(items, g_object_unref);
    return result;
}

// An item written by something other than the companion, holding any bytes.
void storeForeignItem(const std::string& service, const std::string& bytes) {
    SecretValue* value = secret_value_new(bytes.data(), gssize(bytes.size()), "text/plain");
    GError* error = nullptr;
    secret_password_store_binary_sync(anySchema(), SECRET_COLLECTION_DEFAULT, "written elsewhere",
                                      value, nullptr, &error, "service", service.c_str(), "account",
                                      "agent-token", nullptr);
    secret_value_unref(value);
    if (error) {
        ADD_FAILURE() << "could not store the foreign item: " << error->message;
        g_error_free(error);
    }
}

class SecretStoreTest : public ::testing::Test {
protected:
    SecretStoreTest() { clear(); }
    ~SecretStoreTest() override { clear(); }
    void clear() {
        store.remove(QuilloSyncService::defaultService, "agent-token");
        store.remove(testService, "agent-token");
    }

    gtk::LibsecretStore store;
    gtk::CurlHttpClient http;
    gtk::ProcessEnvironment environment{[] { return std::filesystem::path(); }};
    QuilloSyncService service{store, http, environment};
};

TEST_F(SecretStoreTest, ASavedTokenIsReadBackTrimmed) {
    EXPECT_EQ(service.saveToken("  " + firstToken + "\n"), std::nullopt);
    EXPECT_TRUE(service.isConnected());
    EXPECT_TRUE(sameSecret(service.token(), firstToken));
}

TEST_F(SecretStoreTest, TheItemIsLabelledAndFiledUnderTheCompanionsSchema) {
    ASSERT_EQ(service.saveToken(firstToken), std::nullopt);
    const auto items = storedItems(QuilloSyncService::defaultService);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].label, "Quillo agent token");
    EXPECT_EQ(items[0].attributes.at("xdg:schema"), "app.quillo.Companion");
    EXPECT_EQ(items[0].attributes.at("service"), "app.quillo.companion");
    EXPECT_EQ(items[0].attributes.at("account"), "agent-token");
}

TEST_F(SecretStoreTest, ASecondTokenReplacesTheFirstLeavingOneItem) {
    ASSERT_EQ(service.saveToken(firstToken), std::nullopt);
    ASSERT_EQ(service.saveToken(secondToken), std::nullopt);
    EXPECT_EQ(storedItems(QuilloSyncService::defaultService).size(), 1u);
    EXPECT_TRUE(sameSecret(service.token(), secondToken));
}

TEST_F(SecretStoreTest, SavingReplacesAnItemWrittenByAnotherProgramForThePair) {
    storeForeignItem(QuilloSyncService::defaultService, firstToken);
    ASSERT_EQ(service.saveToken(secondToken), std::nullopt);
    EXPECT_EQ(storedItems(QuilloSyncService::defaultService).size(), 1u);
    EXPECT_TRUE(sameSecret(service.token(), secondToken));
}

TEST_F(SecretStoreTest, AMalformedTokenLeavesTheKeyringAsItWas) {
    ASSERT_EQ(service.saveToken(firstToken), std::nullopt);
    EXPECT_EQ(service.saveToken("qlo_live_short"), QuilloSyncError{"令牌格式不正确"});
    EXPECT_TRUE(sameSecret(service.token(), firstToken));
}

TEST_F(SecretStoreTest, DisconnectingRemovesTheItemAndIsHarmlessWhenRepeated) {
    ASSERT_EQ(service.saveToken(firstToken), std::nullopt);
    service.deleteToken();
    EXPECT_FALSE(service.isConnected());
    EXPECT_TRUE(storedItems(QuilloSyncService::defaultService).empty());
    service.deleteToken();
    EXPECT_FALSE(service.token());
}

TEST_F(SecretStoreTest, AChangeMadeOutsideIsSeenAtTheNextQuestion) {
    ASSERT_EQ(service.saveToken(firstToken), std::nullopt);
    GError* error = nullptr;
    secret_password_clear_sync(anySchema(), nullptr, &error, "service",
                               QuilloSyncService::defaultService, "account", "agent-token",
                               nullptr);
    ASSERT_EQ(error, nullptr);
    EXPECT_FALSE(service.isConnected());
}

class UnusableItemTest : public SecretStoreTest,
                         public ::testing::WithParamInterface<std::string> {};

TEST_P(UnusableItemTest, AnItemThatIsEmptyOrNotUtf8ReadsAsNotConnected) {
    storeForeignItem(QuilloSyncService::defaultService, GetParam());
    EXPECT_FALSE(service.isConnected());
}

INSTANTIATE_TEST_SUITE_P(Values, UnusableItemTest,
                         ::testing::Values(std::string(), std::string("qlo_live_\xFF\xFE\xFD")));

TEST_F(SecretStoreTest, ServicesKeepTheirOwnTokens) {
    QuilloSyncService other(store, http, environment, testService);
    ASSERT_EQ(service.saveToken(firstToken), std::nullopt);
    ASSERT_EQ(other.saveToken(secondToken), std::nullopt);
    other.deleteToken();
    EXPECT_TRUE(sameSecret(service.token(), firstToken));
    EXPECT_FALSE(other.isConnected());
}

// Without any Secret Service on the bus, nothing is connected and a save names the failure
// instead of passing for a success. Run in a fresh process: libsecret keeps its connection to
// the bus for the life of the process.
TEST(SecretStoreWithoutServiceTest, NothingIsConnectedAndASaveFailsWithTheStoresStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillo-bus", TRUE);
            gtk::LibsecretStore store;
            gtk::CurlHttpClient http;
            gtk::ProcessEnvironment environment([] { return std::filesystem::path(); });
            QuilloSyncService service(store, http, environment);
            if (service.isConnected()) {
                std::fputs("connected without a store\n", stderr);
                std::exit(1);
            }
            const auto error = service.saveToken(firstToken);
            if (!error || error->message.rfind("钥匙串保存失败（", 0) != 0) {
                std::fprintf(stderr, "save gave: %s\n", error ? error->message.c_str() : "success");
                std::exit(1);
            }
            std::fprintf(stderr, "%s\n", error->message.c_str());
            std::exit(service.isConnected() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "^钥匙串保存失败（-?[0-9]+）\n$");
}

}  // namespace
}  // namespace quillo
