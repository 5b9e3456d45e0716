// The vault over a scripted store: whatever form a failure of the store takes, it is
// the one keyring-unavailable error, and a failed update is never followed by an add
// that could leave a second item. Success paths run against the real keyring in
// secret_service_store_test.

#include "SponsorApp/storage/KeychainVault.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nimbrella {
namespace {

// Answers each operation with its scripted status (success otherwise) and logs the calls.
class ScriptedStore final : public SecretStore {
 public:
  std::map<std::string, SecretStoreStatus> answers;
  bool lookupWithoutData = false;
  bool throws = false;
  std::vector<std::string> calls;

  SecretStoreLookup copyMatching(std::string_view, std::string_view) override {
    const SecretStoreStatus status = enter("copyMatching");
    if (status != SecretStoreStatus::success || lookupWithoutData) return {status, std::nullopt};
    return {status, SecretBytes{1}};
  }
  SecretStoreStatus update(std::string_view, std::string_view, std::span<const std::uint8_t>) override {
    return enter("update");
  }
  SecretStoreStatus add(std::string_view, std::string_view, std::span<const std::uint8_t>) override {
    return enter("add");
  }
  SecretStoreStatus remove(std::string_view, std::string_view) override { return enter("remove"); }

 private:
  SecretStoreStatus enter(const std::string& operation) {
    calls.push_back(operation);
    if (throws) throw std::runtime_error("store exploded");
    const auto answer = answers.find(operation);
    return answer == answers.end() ? SecretStoreStatus::success : answer->second;
  }
};

TEST(KeychainVault, EveryStoreFailureIsUnavailable) {
  using enum SecretStoreStatus;
  const auto unknown = static_cast<SecretStoreStatus>(7);
  auto load = [](const KeychainVault& vault) { vault.load("a"); };
  auto save = [](const KeychainVault& vault) { vault.save(SecretBytes{2}, "a"); };
  auto remove = [](const KeychainVault& vault) { vault.remove("a"); };
  struct Case {
    const char* story;
    std::function<void(ScriptedStore&)> script;
    std::function<void(const KeychainVault&)> operation;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"lookup fails", [](auto& s) { s.answers["copyMatching"] = failure; }, load, {"copyMatching"}},
      {"lookup answers an unknown status", [&](auto& s) { s.answers["copyMatching"] = unknown; }, load,
       {"copyMatching"}},
      {"lookup succeeds without data", [](auto& s) { s.lookupWithoutData = true; }, load, {"copyMatching"}},
      {"update fails", [](auto& s) { s.answers["update"] = failure; }, save, {"update"}},
      {"add fails", [](auto& s) { s.answers = {{"update", itemNotFound}, {"add", failure}}; }, save, {"update", "add"}},
      {"add claims the item is missing", [](auto& s) { s.answers = {{"update", itemNotFound}, {"add", itemNotFound}}; },
       save, {"update", "add"}},
      {"remove fails", [](auto& s) { s.answers["remove"] = failure; }, remove, {"remove"}},
      {"the store throws", [](auto& s) { s.throws = true; }, save, {"update"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.story);
    auto store = std::make_shared<ScriptedStore>();
    c.script(*store);
    try {
      c.operation(KeychainVault(store));
      ADD_FAILURE() << "no error";
    } catch (const VaultError& error) {
      EXPECT_EQ(error.kind(), VaultError::Kind::unavailable);
      EXPECT_STREQ(error.what(), "The keyring is unavailable. Unlock your login keyring and try again; "
                                 "secrets were not saved elsewhere.");
    }
    EXPECT_EQ(store->calls, c.calls);
  }
}

}  // namespace
}  // namespace nimbrella
