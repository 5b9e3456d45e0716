#pragma once

#include "SponsorApp/storage/SecretStore.hpp"

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace nimbrella::testing {

// An in-memory secret store with scripted failures and a log of the calls it got.
class FakeSecretStore final : public SecretStore {
 public:
  using Key = std::pair<std::string, std::string>;  // (service, account)

  std::map<Key, SecretBytes> items;
  std::vector<std::string> calls;  // "copyMatching account", "update account", ...

  // A status to answer instead of doing the operation.
  std::optional<SecretStoreStatus> copyMatchingAnswer, updateAnswer, addAnswer, removeAnswer;
  bool answerWithoutData = false;  // copyMatching succeeds without a byte buffer
  bool throwOnEveryCall = false;

  SecretStoreLookup copyMatching(std::string_view service, std::string_view account) override {
    const auto found = items.find(enter("copyMatching", service, account));
    if (answerWithoutData) return {SecretStoreStatus::success, std::nullopt};
    if (copyMatchingAnswer) return {*copyMatchingAnswer, std::nullopt};
    if (found == items.end()) return {SecretStoreStatus::itemNotFound, std::nullopt};
    return {SecretStoreStatus::success, found->second};
  }

  SecretStoreStatus update(std::string_view service, std::string_view account,
                           std::span<const std::uint8_t> data) override {
    const auto found = items.find(enter("update", service, account));
    if (updateAnswer) return *updateAnswer;
    if (found == items.end()) return SecretStoreStatus::itemNotFound;
    found->second.assign(data.begin(), data.end());
    return SecretStoreStatus::success;
  }

  SecretStoreStatus add(std::string_view service, std::string_view account,
                        std::span<const std::uint8_t> data) override {
    const Key key = enter("add", service, account);
    if (addAnswer) return *addAnswer;
    // Like the platform: adding an item that exists is refused, never a second copy.
    return items.try_emplace(key, data.begin(), data.end()).second ? SecretStoreStatus::success
                                                                   : SecretStoreStatus::failure;
  }

  SecretStoreStatus remove(std::string_view service, std::string_view account) override {
    const Key key = enter("remove", service, account);
    if (removeAnswer) return *removeAnswer;
    return items.erase(key) == 1 ? SecretStoreStatus::success : SecretStoreStatus::itemNotFound;
  }

 private:
  Key enter(const char* operation, std::string_view service, std::string_view account) {
    calls.push_back(std::string(operation) + " " + std::string(account));
    if (throwOnEveryCall) throw std::runtime_error("store exploded");
    return {std::string(service), std::string(account)};
  }
};

}  // namespace nimbrella::testing
