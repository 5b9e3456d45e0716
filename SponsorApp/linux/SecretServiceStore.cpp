#include "SponsorApp/linux/SecretServiceStore.hpp"

#include "SponsorApp/storage/VaultAccounts.hpp"

// The object-path constructors of libsecret are marked as subject to change.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace nimbrella {

namespace {

constexpr const char* contentType = "application/octet-stream";

struct ObjectUnref {
  void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
template <class T>
using ObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct ErrorFree {
  void operator()(GError* error) const noexcept { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct HashTableUnref {
  void operator()(GHashTable* table) const noexcept { g_hash_table_unref(table); }
};
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;

struct ValueUnref {
  void operator()(SecretValue* value) const noexcept { secret_value_unref(value); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;

// Takes ownership of a list of object references as returned by libsecret.
std::vector<ObjectPtr<SecretItem>> takeItems(GList* list) {
  std::vector<ObjectPtr<SecretItem>> items;
  for (GList* node = list; node != nullptr; node = node->next) {
    items.emplace_back(static_cast<SecretItem*>(node->data));
  }
  g_list_free(list);
  return items;
}

// Items match on exactly `service` and `account`, whoever created them.
const SecretSchema& itemSchema() {
  static const SecretSchema schema = [] {
    SecretSchema s{};
    s.name = NIMBRELLA_BUNDLE_IDENTIFIER;
    s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
    s.attributes[0].name = "service";
    s.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
    s.attributes[1].name = "account";
    s.attributes[1].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
    return s;
  }();
  return schema;
}

// D-Bus carries attribute values as UTF-8 texts without NUL; anything else cannot
// name an item and is refused before it reaches the bus.
bool isAttributeText(std::string_view text) {
  return g_utf8_validate_len(text.data(), static_cast<gsize>(text.size()), nullptr) != FALSE;
}

AttributesPtr attributesFor(std::string_view service, std::string_view account) {
  AttributesPtr attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  g_hash_table_insert(attributes.get(), g_strdup("service"),
                      g_strndup(service.data(), static_cast<gsize>(service.size())));
  g_hash_table_insert(attributes.get(), g_strdup("account"),
                      g_strndup(account.data(), static_cast<gsize>(account.size())));
  return attributes;
}

// Cancels the operation's GCancellable when the operation outlives its bound.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds limit) : cancellable_(g_cancellable_new()) {
    watcher_ = std::thread([this, limit] {
      std::unique_lock lock(mutex_);
      if (!finished_.wait_for(lock, limit, [this] { return done_; })) {
        g_cancellable_cancel(cancellable_.get());
      }
    });
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
  ~Deadline() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    finished_.notify_all();
    watcher_.join();
  }

  GCancellable* cancellable() const noexcept { return cancellable_.get(); }

 private:
  ObjectPtr<GCancellable> cancellable_;
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::thread watcher_;
};

// One operation: its own connection to the Secret Service and the unlocked collection.
class Session {
 public:
  Session(const SecretServiceLocation& location, GCancellable* cancellable)
      : cancellable_(cancellable) {
    GError* raw = nullptr;
    service_.reset(secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, cancellable_, &raw));
    ErrorPtr error(raw);
    if (!service_ || error) return;
    collection_ = openCollection(location.collection);
    // A locked collection is a failure; it is never unlocked from here.
    if (collection_ && secret_collection_get_locked(collection_.get())) collection_.reset();
  }

  bool isOpen() const noexcept { return collection_ != nullptr; }

  // Every item of the collection with these attributes, the most recently modified
  // first; false when the search failed.
  bool search(std::string_view service, std::string_view account, bool loadSecrets,
              std::vector<ObjectPtr<SecretItem>>& items) {
    const AttributesPtr attributes = attributesFor(service, account);
    const auto flags = static_cast<SecretSearchFlags>(
        SECRET_SEARCH_ALL | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : SECRET_SEARCH_NONE));
    GError* raw = nullptr;
    GList* found = secret_collection_search_sync(collection_.get(), &itemSchema(), attributes.get(), flags,
                                                 cancellable_, &raw);
    ErrorPtr error(raw);
    items = takeItems(found);
    if (error) return false;
    std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
      return secret_item_get_modified(a.get()) > secret_item_get_modified(b.get());
    });
    return true;
  }

  bool setSecret(SecretItem* item, std::span<const std::uint8_t> data) {
    const ValuePtr value = makeValue(data);
    GError* raw = nullptr;
    const gboolean done = secret_item_set_secret_sync(item, value.get(), cancellable_, &raw);
    ErrorPtr error(raw);
    return done != FALSE && !error;
  }

  bool create(std::string_view service, std::string_view account, std::span<const std::uint8_t> data) {
    const AttributesPtr attributes = attributesFor(service, account);
    const ValuePtr value = makeValue(data);
    const std::string label = vaultItemLabel(account);
    GError* raw = nullptr;
    ObjectPtr<SecretItem> item(secret_item_create_sync(collection_.get(), &itemSchema(), attributes.get(),
                                                       label.c_str(), value.get(), SECRET_ITEM_CREATE_NONE,
                                                       cancellable_, &raw));
    ErrorPtr error(raw);
    return item != nullptr && !error;
  }

  bool deleteItem(SecretItem* item) {
    GError* raw = nullptr;
    const gboolean done = secret_item_delete_sync(item, cancellable_, &raw);
    ErrorPtr error(raw);
    return done != FALSE && !error;
  }

 private:
  // Only the one collection is asked for: loading every collection would also load every
  // item of every collection, and fail whenever another program removes one meanwhile.
  ObjectPtr<SecretCollection> openCollection(const std::string& name) {
    if (name.starts_with('/') && g_variant_is_object_path(name.c_str()) == FALSE) return nullptr;
    GError* raw = nullptr;
    ObjectPtr<SecretCollection> collection(
        name.starts_with('/')
            ? secret_collection_new_for_dbus_path_sync(service_.get(), name.c_str(), SECRET_COLLECTION_NONE,
                                                       cancellable_, &raw)
            : secret_collection_for_alias_sync(service_.get(), name.c_str(), SECRET_COLLECTION_NONE, cancellable_,
                                               &raw));
    ErrorPtr error(raw);
    if (error) return nullptr;
    return collection;  // null when the alias names no collection
  }

  static ValuePtr makeValue(std::span<const std::uint8_t> data) {
    const char* bytes = data.empty() ? "" : reinterpret_cast<const char*>(data.data());
    return ValuePtr(secret_value_new(bytes, static_cast<gssize>(data.size()), contentType));
  }

  GCancellable* cancellable_;
  ObjectPtr<SecretService> service_;
  ObjectPtr<SecretCollection> collection_;
};

}  // namespace

SecretServiceStore::SecretServiceStore() : SecretServiceStore(SecretServiceLocation{}) {}

SecretServiceStore::SecretServiceStore(SecretServiceLocation location) : location_(std::move(location)) {}

SecretStoreLookup SecretServiceStore::copyMatching(std::string_view service, std::string_view account) {
  if (!isAttributeText(service) || !isAttributeText(account)) return {};
  const Deadline deadline(location_.timeout);
  Session session(location_, deadline.cancellable());
  if (!session.isOpen()) return {};
  std::vector<ObjectPtr<SecretItem>> items;
  if (!session.search(service, account, true, items)) return {};
  if (items.empty()) return {SecretStoreStatus::itemNotFound, std::nullopt};
  SecretItem* item = items.front().get();
  if (secret_item_get_locked(item)) return {};
  const ValuePtr value(secret_item_get_secret(item));
  if (!value) return {};
  gsize length = 0;
  const gchar* bytes = secret_value_get(value.get(), &length);
  const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
  return {SecretStoreStatus::success, SecretBytes(begin, begin + length)};
}

SecretStoreStatus SecretServiceStore::update(std::string_view service, std::string_view account,
                                             std::span<const std::uint8_t> data) {
  if (!isAttributeText(service) || !isAttributeText(account)) return SecretStoreStatus::failure;
  const Deadline deadline(location_.timeout);
  Session session(location_, deadline.cancellable());
  if (!session.isOpen()) return SecretStoreStatus::failure;
  std::vector<ObjectPtr<SecretItem>> items;
  if (!session.search(service, account, false, items)) return SecretStoreStatus::failure;
  if (items.empty()) return SecretStoreStatus::itemNotFound;
  if (secret_item_get_locked(items.front().get())) return SecretStoreStatus::failure;
  if (!session.setSecret(items.front().get(), data)) return SecretStoreStatus::failure;
  // One item per account: older duplicates (left by another program or an interrupted
  // save elsewhere) would otherwise shadow or outlive the data just written.
  for (std::size_t i = 1; i < items.size(); ++i) {
    if (!session.deleteItem(items[i].get())) return SecretStoreStatus::failure;
  }
  return SecretStoreStatus::success;
}

SecretStoreStatus SecretServiceStore::add(std::string_view service, std::string_view account,
                                          std::span<const std::uint8_t> data) {
  if (!isAttributeText(service) || !isAttributeText(account)) return SecretStoreStatus::failure;
  const Deadline deadline(location_.timeout);
  Session session(location_, deadline.cancellable());
  if (!session.isOpen()) return SecretStoreStatus::failure;
  return session.create(service, account, data) ? SecretStoreStatus::success : SecretStoreStatus::failure;
}

SecretStoreStatus SecretServiceStore::remove(std::string_view service, std::string_view account) {
  if (!isAttributeText(service) || !isAttributeText(account)) return SecretStoreStatus::failure;
  const Deadline deadline(location_.timeout);
  Session session(location_, deadline.cancellable());
  if (!session.isOpen()) return SecretStoreStatus::failure;
  std::vector<ObjectPtr<SecretItem>> items;
  if (!session.search(service, account, false, items)) return SecretStoreStatus::failure;
  if (items.empty()) return SecretStoreStatus::itemNotFound;
  for (const auto& item : items) {
    if (!session.deleteItem(item.get())) return SecretStoreStatus::failure;
  }
  return SecretStoreStatus::success;
}

}  // namespace nimbrella
