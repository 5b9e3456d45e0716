#include "SponsorCore/Base64.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <limits>
#include <memory>
#include <string>
#include <tuple>

namespace nimbrella {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();

Bytes decoded(std::string_view text) { return base64::decode(text).value_or(Bytes{}); }

// ECDSA P-256/SHA-256 verification with OpenSSL directly against the decoded public key.
bool opensslVerifies(const std::string& publicKeyBase64, std::string_view message, const std::string& signatureBase64) {
  const Bytes der = decoded(publicKeyBase64), signature = decoded(signatureBase64);
  const unsigned char* cursor = der.data();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())),
                                                          EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return key && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

// The signature verifies over exactly `message`, with OpenSSL and with our own verifier.
void expectValidSignature(const ReceiptSigner& signer, const std::string& message, const std::string& signature) {
  EXPECT_TRUE(opensslVerifies(signer.publicKey(), message, signature)) << message;
  EXPECT_TRUE(verifyReceiptSignature(signer.publicKey(), message, signature));
}

TEST(ReceiptSigner, ReceiptSignaturesVerifyOverExactlyTheMessageAndRefuseInvalidParts) {
  EXPECT_EQ(ReceiptSigner::message("", "x\ny", std::numeric_limits<std::int64_t>::min(), int64Max),
            "\nx\ny\n-9223372036854775808\n9223372036854775807");
  const ReceiptSigner signer;
  expectValidSignature(signer, "l\rcaf\xC3\xA9\nn\n9223372036854775807\n1",
                       signer.signature("l\rcaf\xC3\xA9", "n", int64Max, 1));
  for (const auto& [lease, nonce, elapsed, sequence] :
       {std::tuple{"a", "b", 0, 2}, {"a", "b", -1, 1}, {"a\nb", "c", 1, 1}, {"a", "\n", 1, 1}}) {
    EXPECT_THROW(signer.signature(lease, nonce, elapsed, sequence), ReceiptSigner::SigningError) << lease << nonce;
  }
  const CompleteRequest request = CompleteRequest::make("lease-1", "nonce-1", 30000, signer);
  EXPECT_EQ(request, (CompleteRequest{"lease-1", "nonce-1", 30000, 1, request.signature}));
  expectValidSignature(signer, "lease-1\nnonce-1\n30000\n1", request.signature);
}

TEST(ReceiptSigner, BrowserHandoffSignsIdentifiersUnchangedAndRefusesInvalidParts) {
  const ReceiptSigner signer;
  const std::string lower = "123e4567-e89b-12d3-a456-426614174000";
  const std::string upper = "123E4567-E89B-12D3-A456-426614174000";
  EXPECT_EQ(ReceiptSigner::browserHandoffMessage("D", "N", 1700000000, "it"),
            "nimbrella-browser-v1\nD\nN\n1700000000\nit");
  expectValidSignature(signer, "nimbrella-browser-v1\n" + upper + "\n" + lower + "\n1700000000\nit",
                       signer.browserHandoffSignature(upper, lower, 1700000000, "it"));
  for (const auto& [device, nonce, timestamp, language] :
       {std::tuple{std::string("device"), lower, std::int64_t{1}, "en"}, {lower, lower.substr(1), 1, "en"},
        {lower, lower, 0, "en"}, {lower, lower, 1, "de"}, {lower, lower, 1, "EN"}}) {
    EXPECT_THROW(signer.browserHandoffSignature(device, nonce, timestamp, language), ReceiptSigner::SigningError);
  }
}

TEST(ReceiptSigner, KeysAreP256ScalarsWithAnUncompressedSubjectPublicKeyInfoSharedByCopies) {
  Bytes one(32, 0);  // scalar 1: the public point is the generator
  one[31] = 1;
  const ReceiptSigner unit(one);
  EXPECT_EQ(unit.rawRepresentation(), one);  // leading zeros are kept
  EXPECT_EQ(unit.publicKey(), "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEaxfR8uEsQkf4vOblY6RA8ncDfYEt6zOg9KE5RdiYwpZP40Li/"
                              "hp/m47n60p8D54WK84zV2sxXs7LtkBoN79R9Q==");
  EXPECT_EQ(unit.publicKeyFingerprint(), "5cd2-52fb-0ce8-9324");
  // The same point written compressed (59 bytes) is not the canonical form of the key.
  const std::string signature = unit.signature("a", "b", 0, 1);
  EXPECT_TRUE(verifyReceiptSignature(unit.publicKey(), "a\nb\n0\n1", signature));
  EXPECT_FALSE(verifyReceiptSignature("MDkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDIgADaxfR8uEsQkf4vOblY6RA8ncDfYEt6zOg9KE5RdiYwpY=",
                                      "a\nb\n0\n1", signature));
  const ReceiptSigner fresh, restored(fresh.rawRepresentation());
  EXPECT_NE(fresh.publicKey(), ReceiptSigner().publicKey());
  EXPECT_EQ(restored.publicKey(), fresh.publicKey());
  const Bytes order = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                       0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};
  Bytes largest = order;  // n - 1
  largest[31] -= 1;
  EXPECT_EQ(ReceiptSigner(largest).rawRepresentation(), largest);
  for (const Bytes& raw : {Bytes(31, 1), Bytes(33, 1), Bytes(32, 0), order}) {
    EXPECT_THROW(ReceiptSigner{raw}, ReceiptSigner::KeyError) << raw.size();
  }
  // Copies share the key, and a moved-from signer stays usable.
  const ReceiptSigner original;
  ReceiptSigner copy = original;
  ReceiptSigner moved = std::move(copy);
  EXPECT_EQ(copy.publicKey(), original.publicKey());  // NOLINT(bugprone-use-after-move): stays usable
  EXPECT_EQ(moved.publicKey(), original.publicKey());
}

// The verifier serves the tests and benchmarks that check signatures the client made.
TEST(ReceiptSigner, VerificationRefusesAnotherKeyOrMessage) {
  const ReceiptSigner signer;
  const std::string key = signer.publicKey(), message = "a\nb\n0\n1", signature = signer.signature("a", "b", 0, 1);
  EXPECT_TRUE(verifyReceiptSignature(key, message, signature));
  EXPECT_FALSE(verifyReceiptSignature(ReceiptSigner().publicKey(), message, signature));
  EXPECT_FALSE(verifyReceiptSignature(key, "a\nb\n0\n2", signature));
}

}  // namespace
}  // namespace nimbrella
