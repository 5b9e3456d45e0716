#include "SponsorApp/storage/StoredRecords.hpp"

#include <gtest/gtest.h>

#include <string>

namespace nimbrella {
namespace {

SecretBytes bytes(std::string_view text) { return SecretBytes(text.begin(), text.end()); }
std::string text(const SecretBytes& data) { return std::string(data.begin(), data.end()); }

TEST(StoredRecords, DeviceCredentialRoundTripsAndRefusesAnyDeviation) {
  DeviceCredential credential{"http://127.0.0.1:3217", "6f1c2b9e-3a4d-4e5f-8a7b-1c2d3e4f5a6b",
                              "tok_abcdefghijklmnopqrstuvwxyz0123456789ABCDE", NetworkMode::sandbox};
  const SecretBytes data = encodeRecord(credential);
  EXPECT_EQ(text(data), R"({"endpoint":"http://127.0.0.1:3217","deviceId":"6f1c2b9e-3a4d-4e5f-8a7b-1c2d3e4f5a6b",)"
                        R"("token":"tok_abcdefghijklmnopqrstuvwxyz0123456789ABCDE","mode":"sandbox"})");
  EXPECT_EQ(decodeRecord<DeviceCredential>(data), credential);
  EXPECT_EQ(decodeRecord<DeviceCredential>(bytes(R"({"mode":"live","token":"t","deviceId":"d","endpoint":"e","x":[1]})")),
            (DeviceCredential{"e", "d", "t", NetworkMode::live}));

  for (const char* refused : {
           R"({"endpoint":"e","deviceId":"d","token":"t","mode":"test"})",
           R"({"endpoint":"e","deviceId":"d","token":"t"})",
           R"({"endpoint":"e","deviceId":"d","token":null,"mode":"live"})",
           R"([{"endpoint":"e","deviceId":"d","token":"t","mode":"live"}])",
       }) {
    EXPECT_THROW(decodeRecord<DeviceCredential>(bytes(refused)), DecodingError) << refused;
  }
  // Bytes that are not a UTF-8 text (the item could hold anything).
  EXPECT_THROW(decodeRecord<DeviceCredential>(SecretBytes{'{', 0x00, 0xff, '}'}), DecodingError);
  // And a text that is not UTF-8 is never written.
  credential.token = "to\xffken";
  EXPECT_THROW(encodeRecord(credential), EncodingError);
}

TEST(StoredRecords, PersistedCompletionKeepsAnAbsentTermsVersionAbsent) {
  PersistedCompletion completion{"https://api.nimbrella.example", "device-1",
                                 CompleteRequest{"lease-1", "nonce-1", 60250, 1, "MEUCIQ=="}, std::nullopt};
  const SecretBytes data = encodeRecord(completion);
  EXPECT_EQ(text(data), R"({"endpoint":"https://api.nimbrella.example","deviceId":"device-1","request":)"
                        R"({"leaseId":"lease-1","nonce":"nonce-1","elapsedMs":60250,"sequence":1,"signature":"MEUCIQ=="}})");
  EXPECT_EQ(decodeRecord<PersistedCompletion>(data), completion);
  EXPECT_FALSE(decodeRecord<PersistedCompletion>(data).termsVersion.has_value());

  completion.termsVersion = "minute-v2";
  const SecretBytes withTerms = encodeRecord(completion);
  EXPECT_TRUE(text(withTerms).ends_with(R"(},"termsVersion":"minute-v2"})"));
  EXPECT_EQ(decodeRecord<PersistedCompletion>(withTerms), completion);

  const std::string request = R"({"leaseId":"l","nonce":"n","elapsedMs":1,"sequence":1,"signature":"s"})";
  const auto nullTerms =
      decodeRecord<PersistedCompletion>(bytes(R"({"endpoint":"e","deviceId":"d","termsVersion":null,"request":)" + request + "}"));
  EXPECT_FALSE(nullTerms.termsVersion.has_value());

  for (const std::string& refused : {
           std::string(R"({"endpoint":"e","deviceId":"d"})"),
           std::string(R"({"endpoint":"e","deviceId":"d","request":"signed"})"),
           std::string(R"({"endpoint":"e","deviceId":"d","request":{"leaseId":"l","nonce":"n","elapsedMs":1,"signature":"s"}})"),
           R"({"endpoint":"e","deviceId":"d","termsVersion":3,"request":)" + request + "}",
       }) {
    EXPECT_THROW(decodeRecord<PersistedCompletion>(bytes(refused)), DecodingError) << refused;
  }
}

}  // namespace
}  // namespace nimbrella
