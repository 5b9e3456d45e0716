#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace nimbrella {

// The bytes of one secret item. Binary: may hold any byte value, NUL included.
using SecretBytes = std::vector<std::uint8_t>;

// Outcome of one operation of a secret store.
enum class SecretStoreStatus : std::uint8_t {
  success,
  itemNotFound,  // no item has this (service, account)
  failure,       // anything else: locked, refused, unreachable, unexpected
};

// Answer of a lookup. `data` is set only on success, and a success without data is
// possible (a store that answered without a readable secret).
struct SecretStoreLookup {
  SecretStoreStatus status = SecretStoreStatus::failure;
  std::optional<SecretBytes> data;
};

// Generic-password items of the platform's secure credential store, identified by the
// pair (service, account). Implementations report outcomes, never throw for a store
// failure, never fall back to another storage, and never wait without bound.
class SecretStore {
 public:
  virtual ~SecretStore() = default;

  // The data of the item (service, account).
  virtual SecretStoreLookup copyMatching(std::string_view service, std::string_view account) = 0;
  // Replaces the data of the existing item; itemNotFound when there is none.
  virtual SecretStoreStatus update(std::string_view service, std::string_view account,
                                   std::span<const std::uint8_t> data) = 0;
  // Creates the item with the data.
  virtual SecretStoreStatus add(std::string_view service, std::string_view account,
                                std::span<const std::uint8_t> data) = 0;
  // Removes the item; itemNotFound when there is none.
  virtual SecretStoreStatus remove(std::string_view service, std::string_view account) = 0;

 protected:
  SecretStore() = default;
  SecretStore(const SecretStore&) = default;
  SecretStore& operator=(const SecretStore&) = default;
};

}  // namespace nimbrella
