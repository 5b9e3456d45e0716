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
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace nimbrella {
namespace {

constexpr const char* unavailableText =
    "macOS Keychain is unavailable. Unlock your login keychain and try again; secrets were not saved elsewhere.";

SecretBytes bytes(std::string_view text) { return SecretBytes(text.begin(), text.end()); }

template <class T>
struct GObjectDeleter {
  void operator()(T* object) const { g_object_unref(object); }
};
template <class T>
using Owned = std::unique_ptr<T, GObjectDeleter<T>>;

// An item as the keyring itself reports it.
struct KeyringItem {
  std::string path;
  std::string label;
  std::map<std::string, std::string> attributes;
  bool locked = false;
  std::optional<SecretBytes> data;
};

// Direct access to the session's keyring, independent of the store under test.
class Keyring {
 public:
  Keyring() {
    GError* error = nullptr;
    service_.reset(secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr,
                                            &error));
    if (error != nullptr) {
      ADD_FAILURE() << "no Secret Service: " << error->message;
      g_error_free(error);
    }
  }

  SecretService* service() const { return service_.get(); }

  std::string defaultCollectionPath() const {
    Owned<SecretCollection> collection(
        secret_collection_for_alias_sync(service_.get(), "default", SECRET_COLLECTION_NONE, nullptr, nullptr));
    return collection ? g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection.get())) : "";
  }

  // Every item of every collection with these attributes.
  std::vector<KeyringItem> items(const std::string& service, const std::string& account) const {
    GHashTable* attributes = secret_attributes_build(schema(), "service", service.c_str(), "account",
                                                     account.c_str(), nullptr);
    GError* error = nullptr;
    GList* found = secret_service_search_sync(
        service_.get(), schema(), attributes,
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr, &error);
    g_hash_table_unref(attributes);
    if (error != nullptr) {
      ADD_FAILURE() << "search failed: " << error->message;
      g_error_free(error);
    }
    std::vector<KeyringItem> result;
    for (GList* node = found; node != nullptr; node = node->next) {
      auto* item = static_cast<SecretItem*>(node->data);
      KeyringItem entry;
      entry.path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(item));
      gchar* label = secret_item_get_label(item);
      entry.label = label;
      g_free(label);
      GHashTable* itemAttributes = secret_item_get_attributes(item);
      GHashTableIter iterator;
      gpointer key = nullptr;
      gpointer value = nullptr;
      g_hash_table_iter_init(&iterator, itemAttributes);
      while (g_hash_table_iter_next(&iterator, &key, &value)) {
        entry.attributes[static_cast<const char*>(key)] = static_cast<const char*>(value);
      }
      g_hash_table_unref(itemAttributes);
      entry.locked = secret_item_get_locked(item) != FALSE;
      if (SecretValue* secret = secret_item_get_secret(item)) {
        gsize length = 0;
        const auto* data = reinterpret_cast<const std::uint8_t*>(secret_value_get(secret, &length));
        entry.data = SecretBytes(data, data + length);
        secret_value_unref(secret);
      }
      result.push_back(std::move(entry));
    }
    g_list_free_full(found, g_object_unref);
    return result;
  }

  void removeAll(const std::string& service, const std::string& account) const {
    GError* error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "service", service.c_str(), "account", account.c_str(),
                               nullptr);
    if (error != nullptr) g_error_free(error);
  }

  // A new collection protected by a password, made without any prompt; its object path.
  std::string createCollection(const char* label) const {
    SecretValue* password = secret_value_new("collection password", -1, "text/plain");
    GVariant* master = g_variant_ref_sink(secret_service_encode_dbus_secret(service_.get(), password));
    secret_value_unref(password);
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string(label));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        g_dbus_proxy_get_connection(G_DBUS_PROXY(service_.get())), "org.freedesktop.secrets",
        "/org/freedesktop/secrets", "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
        "CreateWithMasterPassword", g_variant_new("(a{sv}@(oayays))", &properties, master), G_VARIANT_TYPE("(o)"),
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    g_variant_unref(master);
    if (error != nullptr) {
      ADD_FAILURE() << "cannot create a collection: " << error->message;
      g_error_free(error);
      return "";
    }
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    std::string result = path;
    g_variant_unref(reply);
    return result;
  }

  Owned<SecretCollection> collection(const std::string& path) const {
    GError* error = nullptr;
    Owned<SecretCollection> collection(
        secret_collection_new_for_dbus_path_sync(service_.get(), path.c_str(), SECRET_COLLECTION_NONE, nullptr, &error));
    if (error != nullptr) {
      ADD_FAILURE() << "no collection " << path << ": " << error->message;
      g_error_free(error);
    }
    return collection;
  }

  void lock(SecretCollection* collection) const {
    GList objects{collection, nullptr, nullptr};
    GError* error = nullptr;
    const gint locked = secret_service_lock_sync(service_.get(), &objects, nullptr, nullptr, &error);
    if (error != nullptr) {
      ADD_FAILURE() << "cannot lock: " << error->message;
      g_error_free(error);
    }
    EXPECT_EQ(locked, 1);
  }

  void deleteCollection(SecretCollection* collection) const {
    GError* error = nullptr;
    secret_collection_delete_sync(collection, nullptr, &error);
    if (error != nullptr) {
      ADD_FAILURE() << "cannot delete the collection: " << error->message;
      g_error_free(error);
    }
  }

 private:
  static const SecretSchema* schema() {
    static const SecretSchema value = [] {
      SecretSchema s{};
      s.name = "test";
      s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
      s.attributes[0].name = "service";
      s.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
      s.attributes[1].name = "account";
      s.attributes[1].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
      return s;
    }();
    return &value;
  }

  Owned<SecretService> service_;
};

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
    if (!keyring_) return;
    for (const std::string_view account : {vaultAccount::deviceCredential, vaultAccount::receiptSigningPrivate,
                                           vaultAccount::pendingCompletion, vaultAccount::pendingAuthorization}) {
      keyring_->removeAll(service_, std::string(account));
    }
  }

  std::vector<KeyringItem> itemsOf(std::string_view account) const {
    return keyring_->items(service_, std::string(account));
  }

  std::unique_ptr<Keyring> keyring_;
  std::string service_;
};

template <class Operation>
std::string vaultErrorText(Operation&& operation) {
  try {
    operation();
  } catch (const VaultError& error) {
    return error.what();
  }
  return "";
}

TEST_F(SecretServiceStoreTest, MissingItemIsNotFound) {
  SecretServiceStore store;
  EXPECT_EQ(store.copyMatching(service_, vaultAccount::deviceCredential).status, SecretStoreStatus::itemNotFound);
  EXPECT_EQ(store.update(service_, vaultAccount::deviceCredential, bytes("x")), SecretStoreStatus::itemNotFound);
  EXPECT_EQ(store.remove(service_, vaultAccount::deviceCredential), SecretStoreStatus::itemNotFound);

  const KeychainVault vault(std::make_shared<SecretServiceStore>(), service_);
  EXPECT_EQ(vault.load(vaultAccount::deviceCredential), std::nullopt);
  EXPECT_NO_THROW(vault.remove(vaultAccount::deviceCredential));
  EXPECT_TRUE(itemsOf(vaultAccount::deviceCredential).empty());
}

TEST_F(SecretServiceStoreTest, TwoSavesLeaveOneItemHoldingTheSecondData) {
  const KeychainVault vault(std::make_shared<SecretServiceStore>(), service_);
  vault.save(bytes("first"), vaultAccount::deviceCredential);
  const std::vector<KeyringItem> afterFirst = itemsOf(vaultAccount::deviceCredential);
  vault.save(bytes("second"), vaultAccount::deviceCredential);

  const std::vector<KeyringItem> items = itemsOf(vaultAccount::deviceCredential);
  ASSERT_EQ(items.size(), 1u);
  const KeyringItem& item = items.front();
  ASSERT_EQ(afterFirst.size(), 1u);
  EXPECT_EQ(item.path, afterFirst.front().path) << "the item is updated, not replaced";
  EXPECT_TRUE(item.path.starts_with(keyring_->defaultCollectionPath() + "/")) << item.path;
  EXPECT_EQ(item.label, "Nimbrella device credential");
  EXPECT_EQ(item.attributes.at("service"), service_);
  EXPECT_EQ(item.attributes.at("account"), "device-credential-v1");
  EXPECT_EQ(item.data, bytes("second"));
  EXPECT_EQ(vault.load(vaultAccount::deviceCredential), bytes("second"));

  // Another account of the same service is another item.
  vault.save(bytes("third"), vaultAccount::pendingCompletion);
  EXPECT_EQ(vault.load(vaultAccount::deviceCredential), bytes("second"));
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), bytes("third"));

  vault.remove(vaultAccount::deviceCredential);
  EXPECT_TRUE(itemsOf(vaultAccount::deviceCredential).empty());
  EXPECT_EQ(vault.load(vaultAccount::deviceCredential), std::nullopt);
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), bytes("third"));
}

TEST_F(SecretServiceStoreTest, BinaryDataRoundTripsExactly) {
  const KeychainVault vault(std::make_shared<SecretServiceStore>(), service_);

  const SecretBytes withNul = {0x00, 'a', 0x00, 0x00, 0xff, 0x80, 0x00};
  vault.save(withNul, vaultAccount::pendingAuthorization);
  EXPECT_EQ(vault.load(vaultAccount::pendingAuthorization), withNul);

  std::random_device entropy;
  for (int round = 0; round < 4; ++round) {
    SecretBytes key(32);
    for (auto& byte : key) byte = static_cast<std::uint8_t>(entropy());
    key[static_cast<std::size_t>(round) * 8] = 0x00;  // at least one NUL, at a different place each time
    vault.save(key, vaultAccount::receiptSigningPrivate);
    EXPECT_EQ(vault.load(vaultAccount::receiptSigningPrivate), key);
    EXPECT_EQ(itemsOf(vaultAccount::receiptSigningPrivate).front().data, key);
  }

  vault.save({}, vaultAccount::pendingAuthorization);
  EXPECT_EQ(vault.load(vaultAccount::pendingAuthorization), SecretBytes{});
}

TEST_F(SecretServiceStoreTest, DuplicateItemsAreFoldedIntoOne) {
  // Another program left two items for the same account.
  SecretServiceStore store;
  ASSERT_EQ(store.add(service_, vaultAccount::deviceCredential, bytes("one")), SecretStoreStatus::success);
  ASSERT_EQ(store.add(service_, vaultAccount::deviceCredential, bytes("two")), SecretStoreStatus::success);
  ASSERT_EQ(itemsOf(vaultAccount::deviceCredential).size(), 2u);

  const KeychainVault vault(std::make_shared<SecretServiceStore>(), service_);
  vault.save(bytes("three"), vaultAccount::deviceCredential);
  const std::vector<KeyringItem> items = itemsOf(vaultAccount::deviceCredential);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items.front().data, bytes("three"));

  ASSERT_EQ(store.add(service_, vaultAccount::deviceCredential, bytes("four")), SecretStoreStatus::success);
  vault.remove(vaultAccount::deviceCredential);
  EXPECT_TRUE(itemsOf(vaultAccount::deviceCredential).empty());
}

TEST_F(SecretServiceStoreTest, LockedCollectionFailsEveryOperation) {
  // A collection of this test's own, so that other tests keep an unlocked keyring.
  const std::string path = keyring_->createCollection("Nimbrella locked collection test");
  ASSERT_FALSE(path.empty());
  Owned<SecretCollection> collection = keyring_->collection(path);
  ASSERT_TRUE(collection);

  SecretServiceLocation location;
  location.collection = path;
  auto store = std::make_shared<SecretServiceStore>(location);
  const KeychainVault vault(store, service_);
  vault.save(bytes("before"), vaultAccount::deviceCredential);
  EXPECT_EQ(vault.load(vaultAccount::deviceCredential), bytes("before"));
  ASSERT_EQ(itemsOf(vaultAccount::deviceCredential).size(), 1u);
  EXPECT_TRUE(itemsOf(vaultAccount::deviceCredential).front().path.starts_with(path + "/"));

  keyring_->lock(collection.get());

  EXPECT_EQ(store->copyMatching(service_, vaultAccount::deviceCredential).status, SecretStoreStatus::failure);
  EXPECT_EQ(store->update(service_, vaultAccount::deviceCredential, bytes("x")), SecretStoreStatus::failure);
  EXPECT_EQ(store->add(service_, vaultAccount::pendingCompletion, bytes("x")), SecretStoreStatus::failure);
  EXPECT_EQ(store->remove(service_, vaultAccount::deviceCredential), SecretStoreStatus::failure);

  EXPECT_EQ(vaultErrorText([&] { vault.load(vaultAccount::deviceCredential); }), unavailableText);
  EXPECT_EQ(vaultErrorText([&] { vault.save(bytes("after"), vaultAccount::deviceCredential); }), unavailableText);
  EXPECT_EQ(vaultErrorText([&] { vault.save(bytes("new"), vaultAccount::pendingCompletion); }), unavailableText);
  EXPECT_EQ(vaultErrorText([&] { vault.remove(vaultAccount::deviceCredential); }), unavailableText);

  // Nothing went anywhere else: the locked item is the only one, and the new account has none.
  const std::vector<KeyringItem> items = itemsOf(vaultAccount::deviceCredential);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_TRUE(items.front().locked);
  EXPECT_TRUE(itemsOf(vaultAccount::pendingCompletion).empty());

  keyring_->deleteCollection(collection.get());
}

TEST_F(SecretServiceStoreTest, MissingCollectionIsAFailure) {
  std::vector<SecretServiceLocation> locations(3);
  locations[0].collection = "nimbrella-no-such-alias";
  locations[1].collection = "/org/freedesktop/secrets/collection/nimbrella_no_such_collection";
  locations[2].collection = "/not a path";
  for (const SecretServiceLocation& location : locations) {
    SCOPED_TRACE(location.collection);
    SecretServiceStore store(location);
    EXPECT_EQ(store.copyMatching(service_, vaultAccount::deviceCredential).status, SecretStoreStatus::failure);
    EXPECT_EQ(store.update(service_, vaultAccount::deviceCredential, bytes("x")), SecretStoreStatus::failure);
    EXPECT_EQ(store.add(service_, vaultAccount::deviceCredential, bytes("x")), SecretStoreStatus::failure);
    EXPECT_EQ(store.remove(service_, vaultAccount::deviceCredential), SecretStoreStatus::failure);
  }
  EXPECT_TRUE(itemsOf(vaultAccount::deviceCredential).empty());
}

TEST_F(SecretServiceStoreTest, NamesThatCannotTravelAreRefused) {
  SecretServiceStore store;
  const std::string withNul("device\0credential", 17);
  const std::string notUtf8("device\xff");
  for (const std::string& account : {withNul, notUtf8}) {
    EXPECT_EQ(store.copyMatching(service_, account).status, SecretStoreStatus::failure);
    EXPECT_EQ(store.update(service_, account, bytes("x")), SecretStoreStatus::failure);
    EXPECT_EQ(store.add(service_, account, bytes("x")), SecretStoreStatus::failure);
    EXPECT_EQ(store.remove(service_, account), SecretStoreStatus::failure);
  }
  EXPECT_TRUE(itemsOf("device").empty());
}

// Runs every operation of a store whose session bus is `busAddress`; true when all of
// them failed. Meant for a process of its own (a process makes its bus connection once),
// where a hang ends the process with SIGALRM.
bool everyOperationFails(const std::string& busAddress) {
  setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);
  unsetenv("DISPLAY");
  alarm(30);
  SecretServiceLocation location;
  location.timeout = std::chrono::milliseconds(300);
  SecretServiceStore store(location);
  const SecretBytes data = bytes("x");
  const bool allFailed = store.copyMatching("app.nimbrella.Nimbrella", "a").status == SecretStoreStatus::failure &&
                         store.update("app.nimbrella.Nimbrella", "a", data) == SecretStoreStatus::failure &&
                         store.add("app.nimbrella.Nimbrella", "a", data) == SecretStoreStatus::failure &&
                         store.remove("app.nimbrella.Nimbrella", "a") == SecretStoreStatus::failure;
  return allFailed;
}

TEST(SecretServiceStoreUnreachable, NoSessionBusIsAFailure) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(everyOperationFails("unix:path=/nonexistent/nimbrella-bus") ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
}

TEST(SecretServiceStoreUnreachable, ABusThatNeverAnswersFailsWithinTheBound) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // A socket that accepts connections and never says a word.
        char directory[] = "/tmp/nimbrella-mute-bus.XXXXXX";
        if (mkdtemp(directory) == nullptr) _exit(2);
        const std::string path = std::string(directory) + "/bus";
        const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(listener, 8) != 0) {
          _exit(2);
        }
        const bool failed = everyOperationFails("unix:path=" + path);
        unlink(path.c_str());
        rmdir(directory);
        _exit(failed ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace nimbrella
