#include "SponsorApp/storage/KeychainVault.hpp"

#include <exception>
#include <stdexcept>
#include <utility>

namespace nimbrella {

namespace {

// Runs one store operation; an exception escaping the store counts as its failure.
template <class Operation>
auto ask(Operation&& operation) -> decltype(operation()) {
  try {
    return operation();
  } catch (const std::exception&) {
    throw VaultError::unavailable();
  }
}

}  // namespace

KeychainVault::KeychainVault(std::shared_ptr<SecretStore> store, std::string service)
    : store_(std::move(store)), service_(std::move(service)) {
  if (!store_) throw std::invalid_argument("KeychainVault needs a secret store");
}

std::optional<SecretBytes> KeychainVault::load(std::string_view account) const {
  SecretStoreLookup found = ask([&] { return store_->copyMatching(service_, account); });
  switch (found.status) {
    case SecretStoreStatus::itemNotFound:
      return std::nullopt;
    case SecretStoreStatus::success:
      if (found.data) return std::move(found.data);
      break;
    case SecretStoreStatus::failure:
      break;
  }
  throw VaultError::unavailable();
}

void KeychainVault::save(std::span<const std::uint8_t> data, std::string_view account) const {
  switch (ask([&] { return store_->update(service_, account, data); })) {
    case SecretStoreStatus::success:
      return;
    case SecretStoreStatus::itemNotFound:
      if (ask([&] { return store_->add(service_, account, data); }) == SecretStoreStatus::success) return;
      break;
    case SecretStoreStatus::failure:
      break;
  }
  throw VaultError::unavailable();
}

void KeychainVault::remove(std::string_view account) const {
  switch (ask([&] { return store_->remove(service_, account); })) {
    case SecretStoreStatus::success:
    case SecretStoreStatus::itemNotFound:
      return;
    case SecretStoreStatus::failure:
      break;
  }
  throw VaultError::unavailable();
}

}  // namespace nimbrella
