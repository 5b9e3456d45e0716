// The vault over a scripted store: whatever form a failure of the store takes, it is
// the one keyring-unavailable error, and a failed update is never followed by an add
// that could leave a second item. Success paths run against the real keyring in
// secret_service_store_test. Then the exact stored form of the records kept in the
// keyring; the generic record rules are tests/core/records_test's.

#include "SponsorApp/storage/KeychainVault.hpp"
#include "SponsorApp/storage/StoredRecords.hpp"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

namespace nimbrella {
namespace {

struct Script {
  std::map<std::string, SecretStoreStatus> answers;  // success for the operations not named
  bool lookupWithoutData = false, throws = false;
};

// Answers each operation as scripted and logs the calls.
struct ScriptedStore final : SecretStore {
  explicit ScriptedStore(Script s) : script(std::move(s)) {}
  Script script;
  std::string calls;

  SecretStoreLookup copyMatching(std::string_view, std::string_view) override {
    const SecretStoreStatus status = enter("lookup");
    return {status, status != SecretStoreStatus::success || script.lookupWithoutData ? std::nullopt
                                                                                     : std::optional(SecretBytes{1})};
  }
  using Data = std::span<const std::uint8_t>;
  SecretStoreStatus update(std::string_view, std::string_view, Data) override { return enter("update"); }
  SecretStoreStatus add(std::string_view, std::string_view, Data) override { return enter("add"); }
  SecretStoreStatus remove(std::string_view, std::string_view) override { return enter("remove"); }

  SecretStoreStatus enter(const std::string& operation) {
    calls += (calls.empty() ? "" : " ") + operation;
    if (script.throws) throw std::runtime_error("store exploded");
    return script.answers.contains(operation) ? script.answers[operation] : SecretStoreStatus::success;
  }
};

TEST(KeychainVault, EveryStoreFailureIsUnavailable) {
  using enum SecretStoreStatus;
  enum Operation { load, save, remove };
  const struct { const char* story; Script script; Operation operation; const char* calls; } cases[] = {
      {"lookup fails", {{{"lookup", failure}}}, load, "lookup"},
      {"lookup answers an unknown status", {{{"lookup", static_cast<SecretStoreStatus>(7)}}}, load, "lookup"},
      {"lookup succeeds without data", {{}, true}, load, "lookup"},
      {"update fails", {{{"update", failure}}}, save, "update"},
      {"add fails", {{{"update", itemNotFound}, {"add", failure}}}, save, "update add"},
      {"add claims the item is missing", {{{"update", itemNotFound}, {"add", itemNotFound}}}, save, "update add"},
      {"remove fails", {{{"remove", failure}}}, remove, "remove"},
      {"the store throws", {{}, false, true}, save, "update"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.story);
    const auto store = std::make_shared<ScriptedStore>(c.script);
    const KeychainVault vault(store);
    // The one error there is: unavailable, with its one text.
    EXPECT_THROW(c.operation == load   ? (void)vault.load("a")
                 : c.operation == save ? vault.save(SecretBytes{2}, "a")
                                       : vault.remove("a"),
                 VaultError);
    EXPECT_EQ(store->calls, c.calls);
  }
}

SecretBytes bytes(std::string_view text) { return SecretBytes(text.begin(), text.end()); }
std::string text(const SecretBytes& data) { return std::string(data.begin(), data.end()); }

TEST(StoredRecords, EachRecordKeepsItsExactFormAndRefusesWhatIsNotExactlyOne) {
  const DeviceCredential credential{"http://127.0.0.1:3217", "device-1", "token-1", NetworkMode::sandbox};
  EXPECT_EQ(text(encodeRecord(credential)),
            R"({"endpoint":"http://127.0.0.1:3217","deviceId":"device-1","token":"token-1","mode":"sandbox"})");
  EXPECT_EQ(decodeRecord<DeviceCredential>(encodeRecord(credential)), credential);
  PersistedCompletion completion{"https://api.nimbrella.example", "device-1",
                                 CompleteRequest{"lease-1", "nonce-1", 60250, 1, "MEUCIQ=="}, std::nullopt};
  EXPECT_EQ(text(encodeRecord(completion)),
            R"({"endpoint":"https://api.nimbrella.example","deviceId":"device-1","request":)"
            R"({"leaseId":"lease-1","nonce":"nonce-1","elapsedMs":60250,"sequence":1,"signature":"MEUCIQ=="}})");
  EXPECT_EQ(decodeRecord<PersistedCompletion>(encodeRecord(completion)), completion);
  completion.termsVersion = "minute-v2";
  EXPECT_TRUE(text(encodeRecord(completion)).ends_with(R"(},"termsVersion":"minute-v2"})"));
  EXPECT_EQ(decodeRecord<PersistedCompletion>(encodeRecord(completion)), completion);

  EXPECT_THROW(decodeRecord<PersistedCompletion>(bytes(R"({"endpoint":"e","deviceId":"d"})")), DecodingError);
  EXPECT_THROW(decodeRecord<DeviceCredential>(bytes(R"({"endpoint":"e","deviceId":"d","token":"t","mode":"test"})")),
               DecodingError);
}

}  // namespace
}  // namespace nimbrella
