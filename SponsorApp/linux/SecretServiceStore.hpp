#pragma once

#include "SponsorApp/storage/SecretStore.hpp"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace nimbrella {

// Where and how a SecretServiceStore reaches the Secret Service.
struct SecretServiceLocation {
  // An alias of the Secret Service ("default": the user's default keyring, normally
  // "login") or the D-Bus object path of one collection.
  std::string collection = "default";
  // Bound of one whole operation, connection included.
  std::chrono::milliseconds timeout{5000};
};

// Secret items on the freedesktop Secret Service (GNOME Keyring, KWallet) through
// libsecret. An item lives in the configured collection with the attributes `service`
// and `account`, a label a person recognises in a keyring manager, and its data as a
// binary secret of type "application/octet-stream" (any byte values, NUL included).
//
// Nothing is ever unlocked or asked of the user: a locked collection, an absent
// Secret Service or collection, a refused or cancelled call and anything unexpected
// is a failure, and every operation ends within the location's timeout. Each
// operation opens its own connection, so it sees the keyring's current state and a
// restarted service is found again. Safe to use from several threads.
class SecretServiceStore final : public SecretStore {
 public:
  SecretServiceStore();
  explicit SecretServiceStore(SecretServiceLocation location);

  const SecretServiceLocation& location() const noexcept { return location_; }

  SecretStoreLookup copyMatching(std::string_view service, std::string_view account) override;
  SecretStoreStatus update(std::string_view service, std::string_view account,
                           std::span<const std::uint8_t> data) override;
  SecretStoreStatus add(std::string_view service, std::string_view account,
                        std::span<const std::uint8_t> data) override;
  SecretStoreStatus remove(std::string_view service, std::string_view account) override;

 private:
  SecretServiceLocation location_;
};

}  // namespace nimbrella
