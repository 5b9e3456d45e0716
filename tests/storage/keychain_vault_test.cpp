#include "SponsorApp/storage/KeychainVault.hpp"
#include "storage/FakeSecretStore.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nimbrella {
namespace {

using testing::FakeSecretStore;

SecretBytes bytes(std::string_view text) { return SecretBytes(text.begin(), text.end()); }

TEST(KeychainVault, SavesByUpdatingAndAddsOnlyWhenMissing) {
  auto store = std::make_shared<FakeSecretStore>();
  const KeychainVault vault(store);
  const KeychainVault other(store, "org.example.Other");

  // A missing item is never an error.
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), std::nullopt);
  EXPECT_NO_THROW(vault.remove(vaultAccount::pendingCompletion));

  store->calls.clear();
  vault.save(bytes("first"), vaultAccount::pendingCompletion);
  vault.save(bytes("second"), vaultAccount::pendingCompletion);
  EXPECT_EQ(store->calls, (std::vector<std::string>{"update pending-completion-v1", "add pending-completion-v1",
                                                    "update pending-completion-v1"}));
  ASSERT_EQ(store->items.size(), 1u);
  EXPECT_EQ(store->items.begin()->first, (FakeSecretStore::Key{"app.nimbrella.Nimbrella", "pending-completion-v1"}));
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), bytes("second"));

  // Another service's item of the same account is another item.
  other.save(bytes("theirs"), vaultAccount::pendingCompletion);
  // Empty data is an item holding nothing, not a missing item.
  vault.save({}, vaultAccount::pendingCompletion);
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), SecretBytes{});
  vault.remove(vaultAccount::pendingCompletion);
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), std::nullopt);
  EXPECT_EQ(other.load(vaultAccount::pendingCompletion), bytes("theirs"));
}

TEST(KeychainVault, EveryStoreFailureIsUnavailableAndChangesNothing) {
  const SecretStoreStatus unknown = static_cast<SecretStoreStatus>(7);
  struct Case {
    const char* story;
    std::function<void(FakeSecretStore&)> script;
    std::function<void(const KeychainVault&)> operation;
    std::vector<std::string> calls;
  };
  auto load = [](const KeychainVault& vault) { vault.load("a"); };
  auto save = [](const KeychainVault& vault) { vault.save(bytes("new"), "a"); };
  auto remove = [](const KeychainVault& vault) { vault.remove("a"); };
  const std::vector<Case> cases = {
      {"lookup fails", [](auto& s) { s.copyMatchingAnswer = SecretStoreStatus::failure; }, load, {"copyMatching a"}},
      {"lookup answers an unknown status", [&](auto& s) { s.copyMatchingAnswer = unknown; }, load, {"copyMatching a"}},
      {"lookup succeeds without data", [](auto& s) { s.answerWithoutData = true; }, load, {"copyMatching a"}},
      // A failed update is never followed by an add, which could leave a second item.
      {"update fails", [](auto& s) { s.updateAnswer = SecretStoreStatus::failure; }, save, {"update a"}},
      {"add fails", [](auto& s) { s.items.clear(), s.addAnswer = SecretStoreStatus::failure; }, save,
       {"update a", "add a"}},
      {"add claims the item is missing", [](auto& s) { s.items.clear(), s.addAnswer = SecretStoreStatus::itemNotFound; },
       save, {"update a", "add a"}},
      {"remove fails", [](auto& s) { s.removeAnswer = SecretStoreStatus::failure; }, remove, {"remove a"}},
      {"the store throws", [](auto& s) { s.throwOnEveryCall = true; }, save, {"update a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.story);
    auto store = std::make_shared<FakeSecretStore>();
    const KeychainVault vault(store);
    store->items[{vault.service(), "a"}] = bytes("kept");
    c.script(*store);
    try {
      c.operation(vault);
      ADD_FAILURE() << "no error";
    } catch (const VaultError& error) {
      EXPECT_EQ(error.kind(), VaultError::Kind::unavailable);
      EXPECT_STREQ(error.what(), "The keyring is unavailable. Unlock your login keyring and try again; "
                                 "secrets were not saved elsewhere.");
    }
    EXPECT_EQ(store->calls, c.calls);
    if (!store->items.empty()) {
      EXPECT_EQ(store->items.at({vault.service(), "a"}), bytes("kept"));
    }
  }
}

}  // namespace
}  // namespace nimbrella
