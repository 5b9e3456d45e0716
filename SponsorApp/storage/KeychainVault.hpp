#pragma once

#include "SponsorApp/storage/SecretStore.hpp"
#include "SponsorApp/storage/VaultAccounts.hpp"
#include "SponsorApp/storage/VaultError.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace nimbrella {

// Reads, writes and removes the application's secret items by account name, all under
// one service name. Every operation is synchronous; a missing item is never an error,
// and every other failure of the store throws VaultError::unavailable(). Nothing is
// ever written anywhere else instead.
class KeychainVault {
 public:
  // `store` must not be null; the service defaults to the bundle identifier.
  explicit KeychainVault(std::shared_ptr<SecretStore> store,
                         std::string service = NIMBRELLA_BUNDLE_IDENTIFIER);

  const std::string& service() const noexcept { return service_; }

  // The item's data (possibly empty), or nothing when no such item exists.
  std::optional<SecretBytes> load(std::string_view account) const;
  // Stores the data under the account, replacing earlier data: the existing item is
  // updated, and a new item is added only when there is none.
  void save(std::span<const std::uint8_t> data, std::string_view account) const;
  // Removes the item; removing an item that does not exist succeeds.
  void remove(std::string_view account) const;

 private:
  std::shared_ptr<SecretStore> store_;
  std::string service_;
};

}  // namespace nimbrella
