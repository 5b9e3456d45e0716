#include "SponsorApp/storage/KeychainVault.hpp"
#include "vault/FakeSecretStore.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace nimbrella {
namespace {

using testing::FakeSecretStore;

constexpr const char* unavailableText =
    "macOS Keychain is unavailable. Unlock your login keychain and try again; secrets were not saved elsewhere.";

SecretBytes bytes(std::string_view text) { return SecretBytes(text.begin(), text.end()); }

// Runs `operation` and answers the text of the VaultError it threw ("" when none).
template <class Operation>
std::string vaultErrorText(Operation&& operation) {
  try {
    operation();
  } catch (const VaultError& error) {
    EXPECT_EQ(error.kind(), VaultError::Kind::unavailable);
    EXPECT_EQ(error.message(), error.what());
    return error.what();
  }
  return "";
}

TEST(KeychainVault, MissingItemIsNeverAnError) {
  auto store = std::make_shared<FakeSecretStore>();
  const KeychainVault vault(store);
  EXPECT_EQ(vault.service(), "app.nimbrella.Nimbrella");

  EXPECT_EQ(vault.load(vaultAccount::deviceCredential), std::nullopt);
  EXPECT_NO_THROW(vault.remove(vaultAccount::deviceCredential));
  EXPECT_EQ(store->calls, (std::vector<std::string>{"copyMatching device-credential-v1",
                                                    "remove device-credential-v1"}));
}

TEST(KeychainVault, SaveUpdatesTheItemAndAddsOnlyWhenMissing) {
  auto store = std::make_shared<FakeSecretStore>();
  const KeychainVault vault(store);

  vault.save(bytes("first"), vaultAccount::pendingCompletion);
  vault.save(bytes("second"), vaultAccount::pendingCompletion);

  EXPECT_EQ(store->calls, (std::vector<std::string>{"update pending-completion-v1", "add pending-completion-v1",
                                                    "update pending-completion-v1"}));
  ASSERT_EQ(store->items.size(), 1u);
  EXPECT_EQ(store->items.begin()->first,
            (FakeSecretStore::Key{"app.nimbrella.Nimbrella", "pending-completion-v1"}));
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), bytes("second"));

  // Empty data is an item holding nothing, not a missing item.
  vault.save({}, vaultAccount::pendingCompletion);
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), SecretBytes{});

  vault.remove(vaultAccount::pendingCompletion);
  EXPECT_TRUE(store->items.empty());
  EXPECT_EQ(vault.load(vaultAccount::pendingCompletion), std::nullopt);
}

TEST(KeychainVault, AccountsAreKeptApartAndUnderTheVaultsService) {
  auto store = std::make_shared<FakeSecretStore>();
  const KeychainVault vault(store);
  const KeychainVault other(store, "org.example.Other");
  const SecretBytes key(32, 0x00);

  vault.save(key, vaultAccount::receiptSigningPrivate);
  other.save(bytes("theirs"), vaultAccount::receiptSigningPrivate);
  vault.save(bytes("{}"), vaultAccount::pendingAuthorization);

  EXPECT_EQ(vault.load(vaultAccount::receiptSigningPrivate), key);
  EXPECT_EQ(other.load(vaultAccount::receiptSigningPrivate), bytes("theirs"));
  EXPECT_EQ(other.load(vaultAccount::pendingAuthorization), std::nullopt);
  vault.remove(vaultAccount::receiptSigningPrivate);
  EXPECT_EQ(other.load(vaultAccount::receiptSigningPrivate), bytes("theirs"));
}

TEST(KeychainVault, EveryStoreFailureIsUnavailable) {
  for (const SecretStoreStatus failure :
       {SecretStoreStatus::failure, static_cast<SecretStoreStatus>(7)}) {
    auto store = std::make_shared<FakeSecretStore>();
    const KeychainVault vault(store);
    store->items[{vault.service(), "a"}] = bytes("kept");

    store->copyMatchingAnswer = failure;
    EXPECT_EQ(vaultErrorText([&] { vault.load("a"); }), unavailableText);

    // A failed update is not followed by an add, which could leave a second item.
    store->calls.clear();
    store->updateAnswer = failure;
    EXPECT_EQ(vaultErrorText([&] { vault.save(bytes("new"), "a"); }), unavailableText);
    EXPECT_EQ(store->calls, std::vector<std::string>{"update a"});

    store->removeAnswer = failure;
    EXPECT_EQ(vaultErrorText([&] { vault.remove("a"); }), unavailableText);
    EXPECT_EQ(store->items.at({vault.service(), "a"}), bytes("kept"));
  }
}

TEST(KeychainVault, FailedAddAndAnswersWithoutDataAreUnavailable) {
  auto store = std::make_shared<FakeSecretStore>();
  const KeychainVault vault(store);

  store->addAnswer = SecretStoreStatus::failure;
  EXPECT_EQ(vaultErrorText([&] { vault.save(bytes("x"), "a"); }), unavailableText);
  // An add that claims the item is missing is no success either.
  store->addAnswer = SecretStoreStatus::itemNotFound;
  EXPECT_EQ(vaultErrorText([&] { vault.save(bytes("x"), "a"); }), unavailableText);

  store->answerWithoutData = true;
  EXPECT_EQ(vaultErrorText([&] { vault.load("a"); }), unavailableText);

  store->answerWithoutData = false;
  store->throwOnEveryCall = true;
  EXPECT_EQ(vaultErrorText([&] { vault.load("a"); }), unavailableText);
  EXPECT_EQ(vaultErrorText([&] { vault.save(bytes("x"), "a"); }), unavailableText);
  EXPECT_EQ(vaultErrorText([&] { vault.remove("a"); }), unavailableText);
}

TEST(KeychainVault, AccountNamesAndLabels) {
  EXPECT_EQ(vaultAccount::deviceCredential, "device-credential-v1");
  EXPECT_EQ(vaultAccount::pendingAuthorization, "pending-authorization-v1");
  EXPECT_EQ(vaultAccount::receiptSigningPrivate, "receipt-signing-private-v1");
  EXPECT_EQ(vaultAccount::pendingCompletion, "pending-completion-v1");

  const std::vector<std::string> labels = {
      vaultItemLabel(vaultAccount::deviceCredential), vaultItemLabel(vaultAccount::pendingAuthorization),
      vaultItemLabel(vaultAccount::receiptSigningPrivate), vaultItemLabel(vaultAccount::pendingCompletion)};
  for (std::size_t i = 0; i < labels.size(); ++i) {
    EXPECT_TRUE(labels[i].starts_with("Nimbrella ")) << labels[i];
    for (std::size_t j = i + 1; j < labels.size(); ++j) EXPECT_NE(labels[i], labels[j]);
  }
  EXPECT_EQ(vaultItemLabel("other-v2"), "Nimbrella (other-v2)");
}

}  // namespace
}  // namespace nimbrella
