// The Secret Service store against a real GNOME Keyring. These tests need the private
// session of scripts/desktop-session (its own bus, HOME and throwaway keyring) and refuse
// to run anywhere else, so that they never touch a person's keyring.

#include "SponsorApp/linux/SecretServiceStore.hpp"
#include "SponsorApp/storage/KeychainVault.hpp"

#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>

namespace nimbrella {
namespace {

SecretBytes bytes(std::string_view text) { return SecretBytes(text.begin(), text.end()); }

// An item as the keyring itself reports it.
struct KeyringItem { std::string path, label; std::optional<SecretBytes> data; };

// True when every operation of `store` on the item failed.
bool everyOperationFails(SecretServiceStore&& store, const std::string& service, const std::string& account) {
  return store.copyMatching(service, account).status == SecretStoreStatus::failure &&
         store.update(service, account, bytes("x")) == SecretStoreStatus::failure &&
         store.add(service, account, bytes("x")) == SecretStoreStatus::failure &&
         store.remove(service, account) == SecretStoreStatus::failure;
}

// Reads the session's keyring directly, independent of the store under test.
class SecretServiceStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("NIMBRELLA_DESKTOP_SESSION") == nullptr)
      GTEST_FAIL() << "This test uses a real keyring and runs only inside scripts/desktop-session.";
    keyring = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, nullptr);
    ASSERT_NE(keyring, nullptr) << "no Secret Service";
  }
  void TearDown() override {
    if (keyring != nullptr) {
      secret_password_clear_sync(schema, nullptr, nullptr, "service", service.c_str(), nullptr);
      g_object_unref(keyring);
    }
    secret_schema_unref(schema);
  }

  // Every item of every collection with these attributes.
  std::vector<KeyringItem> itemsOf(const std::string& account) const {
    g_autoptr(GHashTable) attributes =
        secret_attributes_build(schema, "service", service.c_str(), "account", account.c_str(), nullptr);
    g_autolist(SecretItem) found = secret_service_search_sync(
        keyring, schema, attributes, SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr, nullptr);
    std::vector<KeyringItem> result;
    for (GList* node = found; node != nullptr; node = node->next) {
      auto* item = static_cast<SecretItem*>(node->data);
      g_autofree gchar* label = secret_item_get_label(item);
      KeyringItem& entry = result.emplace_back(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)), label);
      if (SecretValue* secret = secret_item_get_secret(item)) {
        gsize length = 0;
        const auto* data = reinterpret_cast<const std::uint8_t*>(secret_value_get(secret, &length));
        entry.data = SecretBytes(data, data + length);
        secret_value_unref(secret);
      }
    }
    return result;
  }

  SecretService* keyring = nullptr;
  SecretSchema* schema = secret_schema_new("test", SECRET_SCHEMA_DONT_MATCH_NAME, "service",
                                           SECRET_SCHEMA_ATTRIBUTE_STRING, "account", SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr);
  // A service name of its own keeps this test's items apart from every other test's.
  const std::string service = std::string(NIMBRELLA_BUNDLE_IDENTIFIER) + ".test-" + std::to_string(getpid()) + "-" +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::string credential{vaultAccount::deviceCredential}, completion{vaultAccount::pendingCompletion};
};

TEST_F(SecretServiceStoreTest, KeepsOneItemPerAccountWithTheLastDataAndFailsWithNothingGoingElsewhere) {
  const KeychainVault vault(std::make_shared<SecretServiceStore>(), service);
  EXPECT_EQ(vault.load(credential), std::nullopt);
  EXPECT_NO_THROW(vault.remove(credential));
  vault.save(bytes("first"), credential);
  const std::string firstPath = itemsOf(credential).at(0).path;
  vault.save(bytes("second"), credential);
  // Binary data, NUL bytes included, in another account: another item.
  const SecretBytes binary = {0x00, 'a', 0x00, 0x00, 0xff, 0x80, 0x00};
  vault.save(binary, completion);

  const std::vector<KeyringItem> items = itemsOf(credential);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].path, firstPath) << "the item is updated, not replaced";
  EXPECT_TRUE(items[0].path.starts_with("/org/freedesktop/secrets/collection/login/")) << "the default collection";
  EXPECT_EQ(items[0].label, "Nimbrella device credential");
  EXPECT_EQ(items[0].data, bytes("second"));
  EXPECT_EQ(vault.load(completion), binary);
  vault.save({}, completion);
  EXPECT_EQ(vault.load(completion), SecretBytes{}) << "an empty item is not a missing one";

  // Two items that another program left for one account are folded into one by a
  // save, and a remove takes every copy (of that account only).
  SecretServiceStore store;
  ASSERT_EQ(store.add(service, credential, bytes("copy")), SecretStoreStatus::success);
  vault.save(bytes("third"), credential);
  ASSERT_EQ(itemsOf(credential).size(), 1u);
  EXPECT_EQ(itemsOf(credential)[0].data, bytes("third"));
  ASSERT_EQ(store.add(service, credential, bytes("copy")), SecretStoreStatus::success);
  vault.remove(credential);
  EXPECT_TRUE(itemsOf(credential).empty());
  EXPECT_EQ(vault.load(completion), SecretBytes{});

  // A password-protected collection of this test's own, made without any prompt, so
  // that other tests keep an unlocked keyring. Locked, it keeps its item and takes no
  // other, and nothing goes to the default collection instead.
  g_autoptr(SecretValue) password = secret_value_new("collection password", -1, "text/plain");
  g_autoptr(GVariant) created = g_dbus_connection_call_sync(
      g_dbus_proxy_get_connection(G_DBUS_PROXY(keyring)), "org.freedesktop.secrets", "/org/freedesktop/secrets",
      "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "CreateWithMasterPassword",
      g_variant_new("(@a{sv}@(oayays))", g_variant_new_parsed("{'org.freedesktop.Secret.Collection.Label': <'Locked'>}"),
                    secret_service_encode_dbus_secret(keyring, password)),
      G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
  ASSERT_NE(created, nullptr) << "cannot create a collection";
  const gchar* path = nullptr;
  g_variant_get(created, "(&o)", &path);
  g_autoptr(SecretCollection) collection =
      secret_collection_new_for_dbus_path_sync(keyring, path, SECRET_COLLECTION_NONE, nullptr, nullptr);
  const KeychainVault locked(std::make_shared<SecretServiceStore>(SecretServiceLocation{path}), service);
  locked.save(bytes("before"), credential);
  GList objects{collection, nullptr, nullptr};
  EXPECT_EQ(secret_service_lock_sync(keyring, &objects, nullptr, nullptr, nullptr), 1);
  EXPECT_TRUE(everyOperationFails(SecretServiceStore(SecretServiceLocation{path}), service, credential));
  EXPECT_THROW(locked.save(bytes("after"), "device"), VaultError);  // found nowhere at the end
  const std::vector<KeyringItem> kept = itemsOf(credential);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(kept[0].path.starts_with(path + std::string("/")));
  EXPECT_TRUE(secret_collection_delete_sync(collection, nullptr, nullptr));

  // Collections that do not exist and names that cannot travel.
  for (const char* missing : {"nimbrella-no-such-alias", "/org/freedesktop/secrets/collection/nimbrella_no_such",
                              "/not a path"}) {
    EXPECT_TRUE(everyOperationFails(SecretServiceStore(SecretServiceLocation{missing}), service, credential))
        << missing;
  }
  for (const std::string& account : {std::string("device\0credential", 17), std::string("device\xff")})
    EXPECT_TRUE(everyOperationFails(SecretServiceStore(), service, account));
  EXPECT_TRUE(itemsOf(credential).empty() && itemsOf("device").empty());
}

// Every operation on a store whose session bus is `busAddress`, in a process of its own
// (a process makes its bus connection once), where a hang ends the process with SIGALRM.
bool everyOperationFailsOnBus(const std::string& busAddress) {
  setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);
  unsetenv("DISPLAY");
  alarm(30);
  const SecretServiceLocation location{"default", std::chrono::milliseconds(300)};
  return everyOperationFails(SecretServiceStore(location), "app.nimbrella.Nimbrella", "a");
}

TEST(SecretServiceStoreUnreachable, NoSessionBusOrOneThatNeverAnswersFailsWithinTheBound) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // each case runs this test again in a process of its own
  // An abstract socket that accepts connections and never says a word.
  const std::string name = "nimbrella-mute-bus-" + std::to_string(getpid());
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  name.copy(address.sun_path + 1, name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  ASSERT_FALSE(bind(listener, reinterpret_cast<sockaddr*>(&address), length) || listen(listener, 8));
  for (const std::string& bus : {std::string("unix:path=/nonexistent/nimbrella-bus"), "unix:abstract=" + name}) {
    EXPECT_EXIT(_exit(everyOperationFailsOnBus(bus) ? 0 : 1), ::testing::ExitedWithCode(0), "") << bus;
  }
  close(listener);
}

}  // namespace
}  // namespace nimbrella
