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

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace nimbrella {
namespace {

SecretBytes bytes(std::string_view text) { return SecretBytes(text.begin(), text.end()); }

template <class T>
struct GObjectDeleter {
  void operator()(T* object) const { g_object_unref(object); }
};
template <class T>
using Owned = std::unique_ptr<T, GObjectDeleter<T>>;

// Records a failure of the keyring itself (not of the store under test).
bool ok(GError* error, const char* what) {
  if (error == nullptr) return true;
  ADD_FAILURE() << what << ": " << error->message;
  g_error_free(error);
  return false;
}

// An item as the keyring itself reports it.
struct KeyringItem {
  std::string path;
  std::string label;
  bool locked = false;
  std::optional<SecretBytes> data;
};

// Direct access to the session's keyring, independent of the store under test.
class Keyring {
 public:
  Keyring() {
    GError* error = nullptr;
    service_.reset(secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, &error));
    ok(error, "no Secret Service");
  }

  std::string defaultCollectionPath() const {
    Owned<SecretCollection> collection(
        secret_collection_for_alias_sync(service_.get(), "default", SECRET_COLLECTION_NONE, nullptr, nullptr));
    return collection ? g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection.get())) : "";
  }

  // Every item of every collection with these attributes.
  std::vector<KeyringItem> items(const std::string& service, const std::string& account) const {
    GHashTable* attributes = secret_attributes_build(schema(), "service", service.c_str(), "account", account.c_str(), nullptr);
    GError* error = nullptr;
    GList* found = secret_service_search_sync(service_.get(), schema(), attributes,
                                              static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
                                              nullptr, &error);
    g_hash_table_unref(attributes);
    ok(error, "search failed");
    std::vector<KeyringItem> result;
    for (GList* node = found; node != nullptr; node = node->next) {
      auto* item = static_cast<SecretItem*>(node->data);
      gchar* label = secret_item_get_label(item);
      KeyringItem& entry = result.emplace_back(KeyringItem{g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)), label,
                                                           secret_item_get_locked(item) != FALSE, std::nullopt});
      g_free(label);
      if (SecretValue* secret = secret_item_get_secret(item)) {
        gsize length = 0;
        const auto* data = reinterpret_cast<const std::uint8_t*>(secret_value_get(secret, &length));
        entry.data = SecretBytes(data, data + length);
        secret_value_unref(secret);
      }
    }
    g_list_free_full(found, g_object_unref);
    return result;
  }

  // Removes every item of the service, whatever its account.
  void removeAll(const std::string& service) const {
    GError* error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "service", service.c_str(), nullptr);
    ok(error, "cannot clean up");
  }

  // A new collection protected by a password, made without any prompt.
  Owned<SecretCollection> createCollection(const char* label) const {
    SecretValue* password = secret_value_new("collection password", -1, "text/plain");
    GVariant* master = g_variant_ref_sink(secret_service_encode_dbus_secret(service_.get(), password));
    secret_value_unref(password);
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label", g_variant_new_string(label));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        g_dbus_proxy_get_connection(G_DBUS_PROXY(service_.get())), "org.freedesktop.secrets",
        "/org/freedesktop/secrets", "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
        "CreateWithMasterPassword", g_variant_new("(a{sv}@(oayays))", &properties, master), G_VARIANT_TYPE("(o)"),
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    g_variant_unref(master);
    if (!ok(error, "cannot create a collection")) return nullptr;
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    Owned<SecretCollection> collection(
        secret_collection_new_for_dbus_path_sync(service_.get(), path, SECRET_COLLECTION_NONE, nullptr, &error));
    g_variant_unref(reply);
    return ok(error, "cannot open the new collection") ? std::move(collection) : nullptr;
  }

  void lock(SecretCollection* collection) const {
    GList objects{collection, nullptr, nullptr};
    GError* error = nullptr;
    EXPECT_EQ(secret_service_lock_sync(service_.get(), &objects, nullptr, nullptr, &error), 1);
    ok(error, "cannot lock");
  }

 private:
  static const SecretSchema* schema() {
    static const SecretSchema value = [] {
      SecretSchema s{};
      s.name = "test";
      s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
      s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
      s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
      return s;
    }();
    return &value;
  }

  Owned<SecretService> service_;
};

// True when every operation of `store` on the item failed.
bool everyOperationFails(SecretServiceStore& store, const std::string& service, const std::string& account) {
  const SecretBytes data = bytes("x");
  return store.copyMatching(service, account).status == SecretStoreStatus::failure &&
         store.update(service, account, data) == SecretStoreStatus::failure &&
         store.add(service, account, data) == SecretStoreStatus::failure &&
         store.remove(service, account) == SecretStoreStatus::failure;
}

class SecretServiceStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("NIMBRELLA_DESKTOP_SESSION") == nullptr) {
      GTEST_FAIL() << "This test uses a real keyring and runs only inside the private session: "
                      "scripts/desktop-session ctest ... (scripts/test does this).";
    }
    keyring_ = std::make_unique<Keyring>();
    // A service name of its own keeps this test's items apart from every other test's.
    service_ = std::string(NIMBRELLA_BUNDLE_IDENTIFIER) + ".test-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }

  void TearDown() override {
    if (keyring_) keyring_->removeAll(service_);
  }

  std::vector<KeyringItem> itemsOf(std::string_view account) const {
    return keyring_->items(service_, std::string(account));
  }

  std::unique_ptr<Keyring> keyring_;
  std::string service_;
};

TEST_F(SecretServiceStoreTest, KeepsOneItemPerAccountInTheDefaultCollectionHoldingExactlyTheLastData) {
  SecretServiceStore store;
  EXPECT_EQ(store.copyMatching(service_, vaultAccount::deviceCredential).status, SecretStoreStatus::itemNotFound);
  EXPECT_EQ(store.update(service_, vaultAccount::deviceCredential, bytes("x")), SecretStoreStatus::itemNotFound);
  EXPECT_EQ(store.remove(service_, vaultAccount::deviceCredential), SecretStoreStatus::itemNotFound);
  const KeychainVault vault(std::make_shared<SecretServiceStore>(), service_);
  EXPECT_EQ(vault.load(vaultAccount::deviceCredential), std::nullopt);
  EXPECT_NO_THROW(vault.remove(vaultAccount::deviceCredential));

  vault.save(bytes("first"), vaultAccount::deviceCredential);
  const std::vector<KeyringItem> afterFirst = itemsOf(vaultAccount::deviceCredential);
  vault.save(bytes("second"), vaultAccount::deviceCredential);
  // Binary data, NUL bytes included, in another account: another item.
  const SecretBytes binary = {0x00, 'a', 0x00, 0x00, 0xff, 0x80, 0x00};
  vault.save(binary, vaultAccount::pendingCompletion);

  const std::vector<KeyringItem> items = itemsOf(vaultAccount::deviceCredential);
  ASSERT_EQ(items.size(), 1u);
  ASSERT_EQ(afterFirst.size(), 1u);
  EXPECT_EQ(items[0].path, afterFirst[0].path) << "the item is updated, not replaced";
  EXPECT_TRUE(items[0].path.starts_with(keyring_->defaultCollectionPath() + "/")) << items[0].path;
  EXPECT_EQ(items[0].label, "Nimbrella device credential");
  EXPECT_EQ(items[0].data, bytes("second"));
  EXPECT_EQ(vault.load(vaultAccount::deviceCredential), bytes("second"));
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), binary);
  EXPECT_EQ(itemsOf(vaultAccount::pendingCompletion).at(0).data, binary);
  vault.save({}, vaultAccount::pendingCompletion);
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), SecretBytes{}) << "an empty item is not a missing one";

  // Two items that another program left for one account are folded into one by a
  // save, and a remove takes every copy.
  ASSERT_EQ(store.add(service_, vaultAccount::deviceCredential, bytes("copy")), SecretStoreStatus::success);
  vault.save(bytes("third"), vaultAccount::deviceCredential);
  ASSERT_EQ(itemsOf(vaultAccount::deviceCredential).size(), 1u);
  EXPECT_EQ(itemsOf(vaultAccount::deviceCredential)[0].data, bytes("third"));
  ASSERT_EQ(store.add(service_, vaultAccount::deviceCredential, bytes("copy")), SecretStoreStatus::success);
  vault.remove(vaultAccount::deviceCredential);
  EXPECT_TRUE(itemsOf(vaultAccount::deviceCredential).empty());
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), SecretBytes{});
}

TEST_F(SecretServiceStoreTest, ALockedCollectionFailsEveryOperationAndNothingGoesElsewhere) {
  // A collection of this test's own, so that other tests keep an unlocked keyring.
  const Owned<SecretCollection> collection = keyring_->createCollection("Nimbrella locked collection test");
  ASSERT_TRUE(collection);
  SecretServiceLocation location;
  location.collection = g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection.get()));
  auto store = std::make_shared<SecretServiceStore>(location);
  const KeychainVault vault(store, service_);
  vault.save(bytes("before"), vaultAccount::deviceCredential);
  ASSERT_EQ(vault.load(vaultAccount::deviceCredential), bytes("before"));

  keyring_->lock(collection.get());
  EXPECT_TRUE(everyOperationFails(*store, service_, std::string(vaultAccount::deviceCredential)));
  EXPECT_THROW(vault.save(bytes("after"), vaultAccount::pendingCompletion), VaultError);
  const std::vector<KeyringItem> items = itemsOf(vaultAccount::deviceCredential);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_TRUE(items[0].locked);
  EXPECT_TRUE(items[0].path.starts_with(location.collection + "/"));
  EXPECT_TRUE(itemsOf(vaultAccount::pendingCompletion).empty());
  GError* error = nullptr;
  secret_collection_delete_sync(collection.get(), nullptr, &error);
  ok(error, "cannot delete the collection");
}

TEST_F(SecretServiceStoreTest, MissingCollectionsAndNamesThatCannotTravelFail) {
  for (const char* missing : {"nimbrella-no-such-alias", "/org/freedesktop/secrets/collection/nimbrella_no_such",
                              "/not a path"}) {
    SecretServiceStore store(SecretServiceLocation{missing});
    EXPECT_TRUE(everyOperationFails(store, service_, std::string(vaultAccount::deviceCredential))) << missing;
  }
  EXPECT_TRUE(itemsOf(vaultAccount::deviceCredential).empty());

  SecretServiceStore store;
  for (const std::string& account : {std::string("device\0credential", 17), std::string("device\xff")}) {
    EXPECT_TRUE(everyOperationFails(store, service_, account));
  }
  EXPECT_TRUE(itemsOf("device").empty());
}

// Every operation on a store whose session bus is `busAddress`, in a process of its own
// (a process makes its bus connection once), where a hang ends the process with SIGALRM.
bool everyOperationFailsOnBus(const std::string& busAddress) {
  setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);
  unsetenv("DISPLAY");
  alarm(30);
  SecretServiceStore store(SecretServiceLocation{"default", std::chrono::milliseconds(300)});
  return everyOperationFails(store, "app.nimbrella.Nimbrella", "a");
}

TEST(SecretServiceStoreUnreachable, NoSessionBusOrOneThatNeverAnswersFailsWithinTheBound) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(everyOperationFailsOnBus("unix:path=/nonexistent/nimbrella-bus") ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        // An abstract socket that accepts connections and never says a word.
        const std::string name = "nimbrella-mute-bus-" + std::to_string(getpid());
        const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 8) != 0) {
          _exit(2);
        }
        _exit(everyOperationFailsOnBus("unix:abstract=" + name) ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace nimbrella
