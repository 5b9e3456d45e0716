#include "SponsorCore/Base64.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace nimbrella {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Base64 decoding through OpenSSL's own codec, independent of the code under test.
Bytes opensslDecode(const std::string& text) {
  Bytes out(text.size() / 4 * 3 + 3);
  const int length = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  if (length < 0) return {};
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  out.resize(static_cast<std::size_t>(length) - padding);
  return out;
}

// ECDSA P-256/SHA-256 verification with OpenSSL directly against the decoded public key.
bool opensslVerifies(const std::string& publicKeyBase64, std::string_view message, const std::string& signatureBase64) {
  const Bytes der = opensslDecode(publicKeyBase64);
  const unsigned char* cursor = der.data();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())),
                                                          EVP_PKEY_free);
  if (!key) return false;
  const Bytes signature = opensslDecode(signatureBase64);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

// Checks that `signatureBase64` is one whole DER ECDSA-Sig-Value that verifies over
// exactly `message`, and over no message that differs in a single byte.
void expectValidSignature(const ReceiptSigner& signer, const std::string& message, const std::string& signatureBase64) {
  EXPECT_TRUE(opensslVerifies(signer.publicKey(), message, signatureBase64)) << message;
  EXPECT_TRUE(verifyReceiptSignature(signer.publicKey(), message, signatureBase64));
  EXPECT_EQ(base64::encode(opensslDecode(signatureBase64)), signatureBase64);  // standard, padded, one line

  const Bytes der = opensslDecode(signatureBase64);
  ASSERT_GE(der.size(), 8u);
  EXPECT_EQ(der[0], 0x30);                       // SEQUENCE
  EXPECT_EQ(std::size_t{der[1]}, der.size() - 2);  // of exactly the rest
  const unsigned char* cursor = der.data();
  ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
  EXPECT_NE(parsed, nullptr);
  EXPECT_EQ(cursor, der.data() + der.size());
  ECDSA_SIG_free(parsed);

  for (std::size_t i = 0; i < message.size(); ++i) {
    std::string altered = message;
    altered[i] = static_cast<char>(altered[i] ^ 0x01);
    EXPECT_FALSE(opensslVerifies(signer.publicKey(), altered, signatureBase64)) << i;
  }
  EXPECT_FALSE(opensslVerifies(signer.publicKey(), message + "\n", signatureBase64));
}

void expectInvalidMessage(const std::function<void()>& call) {
  try {
    call();
    ADD_FAILURE() << "no SigningError";
  } catch (const ReceiptSigner::SigningError& error) {
    EXPECT_EQ(error.value(), ReceiptSigner::SigningError::Case::invalidMessage);
  }
}

void expectKeyError(const Bytes& raw, ReceiptSigner::KeyError::Case expected) {
  try {
    ReceiptSigner signer(raw);
    ADD_FAILURE() << "accepted " << raw.size() << " bytes";
  } catch (const ReceiptSigner::KeyError& error) {
    EXPECT_EQ(error.value(), expected);
  }
}

const Bytes p256Order = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17,
                         0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

TEST(ReceiptSigner, MessageJoinsFieldsWithLineFeedsAndValidatesNothing) {
  EXPECT_EQ(ReceiptSigner::message("a", "b", 0, 1), std::string("a\nb\n0\n1"));
  EXPECT_EQ(ReceiptSigner::message("a", "b", 0, 1).size(), 7u);
  EXPECT_EQ(ReceiptSigner::message("a", "b", -5, 2), "a\nb\n-5\n2");
  EXPECT_EQ(ReceiptSigner::message("L1", "N1", 30000, 1).size(), 13u);
  EXPECT_EQ(ReceiptSigner::message("", "x\ny", std::numeric_limits<std::int64_t>::min(),
                                   std::numeric_limits<std::int64_t>::max()),
            "\nx\ny\n-9223372036854775808\n9223372036854775807");
  EXPECT_EQ(ReceiptSigner::browserHandoffMessage("D", "N", 1700000000, "it"), "nimbrella-browser-v1\nD\nN\n1700000000\nit");
}

TEST(ReceiptSigner, ReceiptSignaturesVerifyOverExactlyTheMessage) {
  const ReceiptSigner signer;
  expectValidSignature(signer, "L1\nN1\n30000\n1", signer.signature("L1", "N1", 30000, 1));
  expectValidSignature(signer, "a\nb\n0\n1", signer.signature("a", "b", 0, 1));
  expectValidSignature(signer, "\n\n5\n1", signer.signature("", "", 5, 1));
  expectValidSignature(signer, "l\rx\nn\n1\n1", signer.signature("l\rx", "n", 1, 1));
  expectValidSignature(signer, "caf\xC3\xA9\nn\n9223372036854775807\n1",
                       signer.signature("caf\xC3\xA9", "n", std::numeric_limits<std::int64_t>::max(), 1));
}

TEST(ReceiptSigner, ReceiptSignatureRefusesInvalidParts) {
  const ReceiptSigner signer;
  expectInvalidMessage([&] { signer.signature("a", "b", 0, 2); });
  expectInvalidMessage([&] { signer.signature("a", "b", 0, 0); });
  expectInvalidMessage([&] { signer.signature("a", "b", 0, -1); });
  expectInvalidMessage([&] { signer.signature("a", "b", -1, 1); });
  expectInvalidMessage([&] { signer.signature("a\nb", "c", 1, 1); });
  expectInvalidMessage([&] { signer.signature("a", "\n", 1, 1); });
}

TEST(ReceiptSigner, BrowserHandoffSignsIdentifiersUnchangedAndRefusesInvalidParts) {
  const ReceiptSigner signer;
  const std::string lower = "123e4567-e89b-12d3-a456-426614174000";
  const std::string upper = "123E4567-E89B-12D3-A456-426614174000";
  expectValidSignature(signer, "nimbrella-browser-v1\n" + upper + "\n" + lower + "\n1\nen",
                       signer.browserHandoffSignature(upper, lower, 1, "en"));
  expectValidSignature(signer, "nimbrella-browser-v1\n" + lower + "\n" + upper + "\n1700000000\nit",
                       signer.browserHandoffSignature(lower, upper, 1700000000, "it"));
  // Not re-formatted: the lower-case form of the signed text does not verify.
  const std::string signature = signer.browserHandoffSignature(upper, lower, 1, "en");
  EXPECT_FALSE(opensslVerifies(signer.publicKey(), "nimbrella-browser-v1\n" + lower + "\n" + lower + "\n1\nen",
                               signature));

  expectInvalidMessage([&] { signer.browserHandoffSignature("device", lower, 1, "en"); });
  expectInvalidMessage([&] { signer.browserHandoffSignature(lower + "\n", lower, 1, "en"); });
  expectInvalidMessage([&] { signer.browserHandoffSignature(lower, "123e4567e89b12d3a456426614174000", 1, "en"); });
  expectInvalidMessage([&] { signer.browserHandoffSignature(lower, lower, 0, "en"); });
  expectInvalidMessage(
      [&] { signer.browserHandoffSignature(lower, lower, std::numeric_limits<std::int64_t>::min(), "en"); });
  for (const char* language : {"de", "EN", "It", "", "en\n", "eng"}) {
    expectInvalidMessage([&] { signer.browserHandoffSignature(lower, lower, 1, language); });
  }
}

TEST(ReceiptSigner, PublicKeyIsStandardBase64OfUncompressedP256SubjectPublicKeyInfo) {
  const ReceiptSigner signer;
  const std::string publicKey = signer.publicKey();
  EXPECT_EQ(publicKey.size(), 124u);
  EXPECT_THAT(publicKey, ::testing::MatchesRegex("MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE[A-Za-z0-9+/]{86}=="));
  const Bytes der = opensslDecode(publicKey);
  ASSERT_EQ(der.size(), 91u);
  EXPECT_EQ(der, signer.publicKeyDer());
  // SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 04 || X || Y } }
  const Bytes prefix = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
                        0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
  EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), der.begin()));

  const std::string fingerprint = signer.publicKeyFingerprint();
  EXPECT_THAT(fingerprint, ::testing::MatchesRegex("[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}"));
  std::array<unsigned char, 32> digest{};
  EVP_Digest(der.data(), der.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
  char expected[20];
  std::snprintf(expected, sizeof expected, "%02x%02x-%02x%02x-%02x%02x-%02x%02x", digest[0], digest[1], digest[2],
                digest[3], digest[4], digest[5], digest[6], digest[7]);
  EXPECT_EQ(fingerprint, expected);
  EXPECT_NE(ReceiptSigner().publicKey(), publicKey);  // fresh keys differ
}

TEST(ReceiptSigner, RawRepresentationRoundTripsAndKnownScalarsGiveKnownPoints) {
  const ReceiptSigner original;
  const Bytes raw = original.rawRepresentation();
  ASSERT_EQ(raw.size(), 32u);
  const ReceiptSigner restored(raw);
  EXPECT_EQ(restored.rawRepresentation(), raw);
  EXPECT_EQ(restored.publicKey(), original.publicKey());
  EXPECT_TRUE(opensslVerifies(original.publicKey(), "a\nb\n0\n1", restored.signature("a", "b", 0, 1)));

  // Scalar 1: the public point is the generator G; leading zeros are kept.
  Bytes one(32, 0);
  one[31] = 1;
  const ReceiptSigner unit(one);
  EXPECT_EQ(unit.rawRepresentation(), one);
  const Bytes der = unit.publicKeyDer();
  const Bytes gx = {0x6B, 0x17, 0xD1, 0xF2, 0xE1, 0x2C, 0x42, 0x47, 0xF8, 0xBC, 0xE6, 0xE5, 0x63, 0xA4, 0x40, 0xF2,
                    0x77, 0x03, 0x7D, 0x81, 0x2D, 0xEB, 0x33, 0xA0, 0xF4, 0xA1, 0x39, 0x45, 0xD8, 0x98, 0xC2, 0x96};
  EXPECT_TRUE(std::equal(gx.begin(), gx.end(), der.begin() + 27));
  expectValidSignature(unit, "x\ny\n2\n1", unit.signature("x", "y", 2, 1));

  // The largest valid scalar, n - 1.
  Bytes largest = p256Order;
  largest[31] -= 1;
  EXPECT_EQ(ReceiptSigner(largest).rawRepresentation(), largest);
}

TEST(ReceiptSigner, RefusesBytesThatAreNotAP256PrivateScalar) {
  using Case = ReceiptSigner::KeyError::Case;
  expectKeyError({}, Case::wrongLength);
  expectKeyError(Bytes(31, 1), Case::wrongLength);
  expectKeyError(Bytes(33, 1), Case::wrongLength);
  expectKeyError(Bytes(64, 1), Case::wrongLength);
  expectKeyError(Bytes(32, 0), Case::invalidScalar);
  expectKeyError(p256Order, Case::invalidScalar);
  Bytes aboveOrder = p256Order;
  aboveOrder[31] += 1;
  expectKeyError(aboveOrder, Case::invalidScalar);
  expectKeyError(Bytes(32, 0xFF), Case::invalidScalar);
}

TEST(ReceiptSigner, CopiesAndThreadsShareOnlyTheImmutableKey) {
  const ReceiptSigner original;
  ReceiptSigner copy = original;
  ReceiptSigner moved = std::move(copy);
  EXPECT_EQ(moved.publicKey(), original.publicKey());
  EXPECT_EQ(copy.publicKey(), original.publicKey());  // NOLINT(bugprone-use-after-move): stays usable
  copy = ReceiptSigner();
  EXPECT_NE(copy.publicKey(), original.publicKey());
  EXPECT_EQ(moved.publicKey(), original.publicKey());

  std::vector<std::string> signatures(4);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < signatures.size(); ++i) {
    threads.emplace_back([&, i] {
      const ReceiptSigner local = original;
      for (int n = 0; n < 20; ++n) signatures[i] = local.signature("lease", "nonce", static_cast<std::int64_t>(i), 1);
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t i = 0; i < signatures.size(); ++i) {
    EXPECT_TRUE(opensslVerifies(original.publicKey(), ReceiptSigner::message("lease", "nonce", static_cast<std::int64_t>(i), 1),
                                signatures[i]));
  }
}

TEST(ReceiptSigner, VerificationRefusesAnythingButCanonicalKeysAndDerSignatures) {
  const ReceiptSigner signer;
  const std::string message = "a\nb\n0\n1";
  const std::string signature = signer.signature("a", "b", 0, 1);
  ASSERT_TRUE(verifyReceiptSignature(signer.publicKey(), message, signature));
  EXPECT_FALSE(verifyReceiptSignature(ReceiptSigner().publicKey(), message, signature));
  EXPECT_FALSE(verifyReceiptSignature(signer.publicKey(), "a\nb\n0\n2", signature));

  // The raw 64-byte r||s form of the same signature.
  const Bytes der = opensslDecode(signature);
  const unsigned char* cursor = der.data();
  ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
  ASSERT_NE(parsed, nullptr);
  Bytes raw(64);
  BN_bn2binpad(ECDSA_SIG_get0_r(parsed), raw.data(), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(parsed), raw.data() + 32, 32);
  ECDSA_SIG_free(parsed);
  EXPECT_FALSE(verifyReceiptSignature(signer.publicKey(), message, base64::encode(raw)));

  // The same signature with a long-form (non-DER) length, with trailing bytes, or cut short.
  Bytes longForm = {0x30, 0x81};
  longForm.insert(longForm.end(), der.begin() + 1, der.end());
  EXPECT_FALSE(verifyReceiptSignature(signer.publicKey(), message, base64::encode(longForm)));
  Bytes trailing = der;
  trailing.push_back(0);
  EXPECT_FALSE(verifyReceiptSignature(signer.publicKey(), message, base64::encode(trailing)));
  EXPECT_FALSE(verifyReceiptSignature(signer.publicKey(), message, base64::encode(Bytes(der.begin(), der.end() - 1))));
  EXPECT_FALSE(verifyReceiptSignature(signer.publicKey(), message, ""));

  // Base64 that is not strict: missing padding, a line break, URL-safe letters.
  std::string unpadded = signature;
  while (!unpadded.empty() && unpadded.back() == '=') unpadded.pop_back();
  if (unpadded != signature) {
    EXPECT_FALSE(verifyReceiptSignature(signer.publicKey(), message, unpadded));
  }
  const std::string publicKey = signer.publicKey();
  EXPECT_FALSE(verifyReceiptSignature(publicKey.substr(0, 64) + "\n" + publicKey.substr(64), message, signature));
  EXPECT_FALSE(verifyReceiptSignature(signer.publicKey(), message, signature.substr(0, 8) + "\n" + signature.substr(8)));

  // A compressed point (59-byte key) of the same key.
  Bytes keyDer = signer.publicKeyDer();
  const unsigned char* keyCursor = keyDer.data();
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &keyCursor, static_cast<long>(keyDer.size()));
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(EVP_PKEY_set_utf8_string_param(key, "point-format", const_cast<char*>("compressed")), 1);
  unsigned char* compressed = nullptr;
  const int compressedLength = i2d_PUBKEY(key, &compressed);
  EXPECT_EQ(compressedLength, 59);
  EXPECT_FALSE(verifyReceiptSignature(base64::encode(Bytes(compressed, compressed + compressedLength)), message, signature));
  OPENSSL_free(compressed);
  EVP_PKEY_free(key);

  // A 91-byte key that is not on the curve.
  keyDer.back() ^= 0x01;
  EXPECT_FALSE(verifyReceiptSignature(base64::encode(keyDer), message, signature));
}

TEST(Base64, EncodesStandardPaddedAndDecodesOnlyStrictText) {
  EXPECT_EQ(base64::encode(std::string_view("")), "");
  EXPECT_EQ(base64::encode(std::string_view("f")), "Zg==");
  EXPECT_EQ(base64::encode(std::string_view("fo")), "Zm8=");
  EXPECT_EQ(base64::encode(std::string_view("foo")), "Zm9v");
  EXPECT_EQ(base64::encode(Bytes{0xFB, 0xFF}), "+/8=");
  EXPECT_EQ(base64::decode("Zm9vYg=="), (Bytes{'f', 'o', 'o', 'b'}));
  EXPECT_EQ(base64::decode("+/8="), (Bytes{0xFB, 0xFF}));
  EXPECT_EQ(base64::decode(""), Bytes{});
  for (const char* bad : {"Zg", "Zg=", "Zh==", "Zm9=", "Z===", "====", "Zg==Zg==", "Zm 9v", "Zm9v\n", "-_8=", "Zm=v"}) {
    EXPECT_EQ(base64::decode(bad), std::nullopt) << bad;
  }
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  for (std::size_t n = 0; n <= all.size(); n += 37) {
    const Bytes part(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(base64::decode(base64::encode(part)), part);
    EXPECT_EQ(opensslDecode(base64::encode(part)), part);
  }
}

TEST(CompleteRequest, MakeSignsTheFirstReceiptOfTheLease) {
  const ReceiptSigner signer;
  const CompleteRequest request = CompleteRequest::make("lease-1", "nonce-1", 30000, signer);
  EXPECT_EQ(request.leaseId, "lease-1");
  EXPECT_EQ(request.nonce, "nonce-1");
  EXPECT_EQ(request.elapsedMs, 30000);
  EXPECT_EQ(request.sequence, 1);
  expectValidSignature(signer, "lease-1\nnonce-1\n30000\n1", request.signature);
  EXPECT_EQ(CompleteRequest::make("", "", 0, signer).sequence, 1);

  expectInvalidMessage([&] { CompleteRequest::make("lease\n", "nonce", 1, signer); });
  expectInvalidMessage([&] { CompleteRequest::make("lease", "nonce", -1, signer); });
}

}  // namespace
}  // namespace nimbrella
