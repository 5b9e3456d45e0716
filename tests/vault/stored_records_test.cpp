#include "SponsorApp/storage/StoredRecords.hpp"

#include <gtest/gtest.h>

#include <string>

namespace nimbrella {
namespace {

SecretBytes bytes(std::string_view text) { return SecretBytes(text.begin(), text.end()); }

CompleteRequest sampleRequest() {
  CompleteRequest request;
  request.leaseId = "lease-1";
  request.nonce = "nonce-1";
  request.elapsedMs = 60250;
  request.sequence = 1;
  request.signature = "MEUCIQ==";
  return request;
}

TEST(StoredRecords, DeviceCredentialRoundTripsWithKeysInOrder) {
  const DeviceCredential credential{"http://127.0.0.1:3217", "6f1c2b9e-3a4d-4e5f-8a7b-1c2d3e4f5a6b",
                                    "tok_abcdefghijklmnopqrstuvwxyz0123456789ABCDE", NetworkMode::sandbox};
  const SecretBytes data = encodeRecord(credential);
  EXPECT_EQ(std::string(data.begin(), data.end()),
            R"({"endpoint":"http://127.0.0.1:3217","deviceId":"6f1c2b9e-3a4d-4e5f-8a7b-1c2d3e4f5a6b",)"
            R"("token":"tok_abcdefghijklmnopqrstuvwxyz0123456789ABCDE","mode":"sandbox"})");
  EXPECT_EQ(decodeRecord<DeviceCredential>(data), credential);

  const auto live = decodeRecord<DeviceCredential>(
      bytes(R"({"mode":"live","token":"t","deviceId":"d","endpoint":"e","extra":[1,2]})"));
  EXPECT_EQ(live, (DeviceCredential{"e", "d", "t", NetworkMode::live}));
}

TEST(StoredRecords, DeviceCredentialRefusesAnyDeviation) {
  for (const char* text : {
           R"({"endpoint":"e","deviceId":"d","token":"t","mode":"test"})",
           R"({"endpoint":"e","deviceId":"d","token":"t","mode":"Live"})",
           R"({"endpoint":"e","deviceId":"d","token":"t"})",
           R"({"endpoint":"e","deviceId":"d","token":null,"mode":"live"})",
           R"({"endpoint":"e","deviceId":7,"token":"t","mode":"live"})",
           R"([{"endpoint":"e","deviceId":"d","token":"t","mode":"live"}])",
           R"({"endpoint":"e","deviceId":"d","token":"t","mode":"live"} trailing)",
           "",
       }) {
    EXPECT_THROW(decodeRecord<DeviceCredential>(bytes(text)), DecodingError) << text;
  }
  // Bytes that are not a UTF-8 text (the item could hold anything).
  const SecretBytes binary = {'{', 0x00, 0xff, '}'};
  EXPECT_THROW(decodeRecord<DeviceCredential>(binary), DecodingError);
}

TEST(StoredRecords, PersistedCompletionLeavesOutAnAbsentTermsVersion) {
  PersistedCompletion completion{"https://api.nimbrella.example", "device-1", sampleRequest(), std::nullopt};
  const SecretBytes data = encodeRecord(completion);
  EXPECT_EQ(std::string(data.begin(), data.end()),
            R"({"endpoint":"https://api.nimbrella.example","deviceId":"device-1","request":)"
            R"({"leaseId":"lease-1","nonce":"nonce-1","elapsedMs":60250,"sequence":1,"signature":"MEUCIQ=="}})");
  const auto decoded = decodeRecord<PersistedCompletion>(data);
  EXPECT_EQ(decoded, completion);
  EXPECT_FALSE(decoded.termsVersion.has_value());

  completion.termsVersion = "minute-v2";
  const SecretBytes withTerms = encodeRecord(completion);
  EXPECT_TRUE(std::string(withTerms.begin(), withTerms.end()).ends_with(R"(},"termsVersion":"minute-v2"})"));
  EXPECT_EQ(decodeRecord<PersistedCompletion>(withTerms), completion);

  const auto nullTerms = decodeRecord<PersistedCompletion>(bytes(
      R"({"endpoint":"e","deviceId":"d","termsVersion":null,"request":)"
      R"({"leaseId":"l","nonce":"n","elapsedMs":1,"sequence":1,"signature":"s"}})"));
  EXPECT_FALSE(nullTerms.termsVersion.has_value());
}

TEST(StoredRecords, PersistedCompletionRefusesAnyDeviation) {
  for (const char* text : {
           R"({"endpoint":"e","deviceId":"d"})",
           R"({"endpoint":"e","deviceId":"d","request":"signed"})",
           R"({"endpoint":"e","deviceId":"d","request":{"leaseId":"l","nonce":"n","elapsedMs":1,"signature":"s"}})",
           R"({"endpoint":"e","deviceId":"d","request":{"leaseId":"l","nonce":"n","elapsedMs":1.5,"sequence":1,"signature":"s"}})",
           R"({"endpoint":"e","request":{"leaseId":"l","nonce":"n","elapsedMs":1,"sequence":1,"signature":"s"}})",
           R"({"endpoint":"e","deviceId":"d","termsVersion":3,"request":{"leaseId":"l","nonce":"n","elapsedMs":1,"sequence":1,"signature":"s"}})",
       }) {
    EXPECT_THROW(decodeRecord<PersistedCompletion>(bytes(text)), DecodingError) << text;
  }
}

TEST(StoredRecords, TextsThatAreNotUtf8AreNeverWritten) {
  DeviceCredential credential{"e", "d", "t", NetworkMode::live};
  credential.token = std::string("to\xffken");
  EXPECT_THROW(encodeRecord(credential), EncodingError);
}

}  // namespace
}  // namespace nimbrella
