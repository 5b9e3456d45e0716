// The records kept in the keyring: their exact stored form and what decoding refuses
// beyond the generic record rules (tests/core/records_test).

#include "SponsorApp/storage/StoredRecords.hpp"

#include <gtest/gtest.h>

#include <string>

namespace nimbrella {
namespace {

SecretBytes bytes(std::string_view text) { return SecretBytes(text.begin(), text.end()); }
std::string text(const SecretBytes& data) { return std::string(data.begin(), data.end()); }

TEST(StoredRecords, DeviceCredentialRoundTripsAndRefusesAnUnknownModeOrBytesThatAreNotText) {
  DeviceCredential credential{"http://127.0.0.1:3217", "6f1c2b9e-3a4d-4e5f-8a7b-1c2d3e4f5a6b",
                              "tok_abcdefghijklmnopqrstuvwxyz0123456789ABCDE", NetworkMode::sandbox};
  const SecretBytes data = encodeRecord(credential);
  EXPECT_EQ(text(data), R"({"endpoint":"http://127.0.0.1:3217","deviceId":"6f1c2b9e-3a4d-4e5f-8a7b-1c2d3e4f5a6b",)"
                        R"("token":"tok_abcdefghijklmnopqrstuvwxyz0123456789ABCDE","mode":"sandbox"})");
  EXPECT_EQ(decodeRecord<DeviceCredential>(data), credential);
  EXPECT_EQ(decodeRecord<DeviceCredential>(bytes(R"({"mode":"live","token":"t","deviceId":"d","endpoint":"e","x":[1]})")),
            (DeviceCredential{"e", "d", "t", NetworkMode::live}));
  EXPECT_THROW(decodeRecord<DeviceCredential>(bytes(R"({"endpoint":"e","deviceId":"d","token":"t","mode":"test"})")),
               DecodingError);
  // The item could hold anything; and a text that is not UTF-8 is never written.
  EXPECT_THROW(decodeRecord<DeviceCredential>(SecretBytes{'{', 0x00, 0xff, '}'}), DecodingError);
  credential.token = "to\xffken";
  EXPECT_THROW(encodeRecord(credential), EncodingError);
}

TEST(StoredRecords, PersistedCompletionKeepsTheSignedRequestAndAnAbsentTermsVersionAbsent) {
  PersistedCompletion completion{"https://api.nimbrella.example", "device-1",
                                 CompleteRequest{"lease-1", "nonce-1", 60250, 1, "MEUCIQ=="}, std::nullopt};
  const SecretBytes data = encodeRecord(completion);
  EXPECT_EQ(text(data), R"({"endpoint":"https://api.nimbrella.example","deviceId":"device-1","request":)"
                        R"({"leaseId":"lease-1","nonce":"nonce-1","elapsedMs":60250,"sequence":1,"signature":"MEUCIQ=="}})");
  EXPECT_EQ(decodeRecord<PersistedCompletion>(data), completion);

  completion.termsVersion = "minute-v2";
  const SecretBytes withTerms = encodeRecord(completion);
  EXPECT_TRUE(text(withTerms).ends_with(R"(},"termsVersion":"minute-v2"})"));
  EXPECT_EQ(decodeRecord<PersistedCompletion>(withTerms), completion);

  for (const char* refused : {
           R"({"endpoint":"e","deviceId":"d"})",
           R"({"endpoint":"e","deviceId":"d","request":"signed"})",
           R"({"endpoint":"e","deviceId":"d","request":{"leaseId":"l","nonce":"n","elapsedMs":1,"signature":"s"}})",
       }) {
    EXPECT_THROW(decodeRecord<PersistedCompletion>(bytes(refused)), DecodingError) << refused;
  }
}

}  // namespace
}  // namespace nimbrella
