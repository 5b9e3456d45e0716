#include "SponsorCore/Base64.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

namespace nimbrella {
namespace {

using Bytes = std::vector<std::uint8_t>;
using KeyCase = ReceiptSigner::KeyError::Case;
constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();

Bytes decoded(std::string_view text) { return base64::decode(text).value_or(Bytes{}); }

// ECDSA P-256/SHA-256 verification with OpenSSL directly against the decoded public key.
bool opensslVerifies(const std::string& publicKeyBase64, std::string_view message, const std::string& signatureBase64) {
  const Bytes der = decoded(publicKeyBase64);
  const unsigned char* cursor = der.data();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())),
                                                          EVP_PKEY_free);
  if (!key) return false;
  const Bytes signature = decoded(signatureBase64);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

// The signature is one whole DER ECDSA-Sig-Value that verifies over exactly `message`,
// and over no message that differs in a single byte.
void expectValidSignature(const ReceiptSigner& signer, const std::string& message, const std::string& signatureBase64) {
  EXPECT_TRUE(opensslVerifies(signer.publicKey(), message, signatureBase64)) << message;
  EXPECT_TRUE(verifyReceiptSignature(signer.publicKey(), message, signatureBase64));
  const Bytes der = decoded(signatureBase64);
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

const Bytes p256Order = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17,
                         0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

TEST(ReceiptSigner, MessagesJoinFieldsWithLineFeedsAndValidateNothing) {
  EXPECT_EQ(ReceiptSigner::message("", "x\ny", int64Min, int64Max), "\nx\ny\n-9223372036854775808\n9223372036854775807");
  EXPECT_EQ(ReceiptSigner::browserHandoffMessage("D", "N", 1700000000, "it"), "nimbrella-browser-v1\nD\nN\n1700000000\nit");
}

TEST(ReceiptSigner, ReceiptSignaturesVerifyOverExactlyTheMessageAndRefuseInvalidParts) {
  const ReceiptSigner signer;
  expectValidSignature(signer, "L1\nN1\n30000\n1", signer.signature("L1", "N1", 30000, 1));
  expectValidSignature(signer, "\n\n5\n1", signer.signature("", "", 5, 1));
  expectValidSignature(signer, "l\rcaf\xC3\xA9\nn\n9223372036854775807\n1",
                       signer.signature("l\rcaf\xC3\xA9", "n", int64Max, 1));
  for (const auto& [lease, nonce, elapsed, sequence] :
       {std::tuple{"a", "b", 0, 2}, {"a", "b", 0, 0}, {"a", "b", 0, -1}, {"a", "b", -1, 1}, {"a\nb", "c", 1, 1},
        {"a", "\n", 1, 1}}) {
    expectInvalidMessage([&, l = lease, n = nonce, e = elapsed, s = sequence] { signer.signature(l, n, e, s); });
  }
  const CompleteRequest request = CompleteRequest::make("lease-1", "nonce-1", 30000, signer);
  EXPECT_EQ(request, (CompleteRequest{"lease-1", "nonce-1", 30000, 1, request.signature}));
  expectValidSignature(signer, "lease-1\nnonce-1\n30000\n1", request.signature);
  expectInvalidMessage([&] { CompleteRequest::make("lease", "nonce", -1, signer); });
}

TEST(ReceiptSigner, BrowserHandoffSignsIdentifiersUnchangedAndRefusesInvalidParts) {
  const ReceiptSigner signer;
  const std::string lower = "123e4567-e89b-12d3-a456-426614174000";
  const std::string upper = "123E4567-E89B-12D3-A456-426614174000";
  const std::string signature = signer.browserHandoffSignature(upper, lower, 1700000000, "it");
  expectValidSignature(signer, "nimbrella-browser-v1\n" + upper + "\n" + lower + "\n1700000000\nit", signature);
  EXPECT_FALSE(opensslVerifies(signer.publicKey(), "nimbrella-browser-v1\n" + lower + "\n" + lower + "\n1700000000\nit",
                               signature));  // not re-formatted
  for (const auto& [device, nonce, timestamp, language] :
       {std::tuple{std::string("device"), lower, std::int64_t{1}, "en"}, {lower + "\n", lower, 1, "en"},
        {lower, "123e4567e89b12d3a456426614174000", 1, "en"}, {lower, lower, 0, "en"}, {lower, lower, int64Min, "en"},
        {lower, lower, 1, "de"}, {lower, lower, 1, "EN"}, {lower, lower, 1, ""}, {lower, lower, 1, "en\n"}}) {
    expectInvalidMessage([&, d = device, n = nonce, t = timestamp, l = language] {
      signer.browserHandoffSignature(d, n, t, l);
    });
  }
}

TEST(ReceiptSigner, PublicKeyIsStandardBase64OfUncompressedP256SubjectPublicKeyInfo) {
  const ReceiptSigner signer;
  EXPECT_THAT(signer.publicKey(), ::testing::MatchesRegex("MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE[A-Za-z0-9+/]{86}=="));
  const Bytes der = decoded(signer.publicKey());
  EXPECT_EQ(der, signer.publicKeyDer());
  std::array<unsigned char, 32> digest{};
  EVP_Digest(der.data(), der.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
  char expected[20];
  std::snprintf(expected, sizeof expected, "%02x%02x-%02x%02x-%02x%02x-%02x%02x", digest[0], digest[1], digest[2],
                digest[3], digest[4], digest[5], digest[6], digest[7]);
  EXPECT_EQ(signer.publicKeyFingerprint(), expected);
  EXPECT_NE(ReceiptSigner().publicKey(), signer.publicKey());  // fresh keys differ
}

TEST(ReceiptSigner, RawRepresentationRoundTripsAndOnlyP256ScalarsAreKeys) {
  const ReceiptSigner original;
  const ReceiptSigner restored(original.rawRepresentation());
  EXPECT_EQ(restored.publicKey(), original.publicKey());
  EXPECT_TRUE(opensslVerifies(original.publicKey(), "a\nb\n0\n1", restored.signature("a", "b", 0, 1)));
  // Scalar 1: the public point is the generator G; leading zeros are kept.
  Bytes one(32, 0);
  one[31] = 1;
  const ReceiptSigner unit(one);
  EXPECT_EQ(unit.rawRepresentation(), one);
  const Bytes gx = {0x6B, 0x17, 0xD1, 0xF2, 0xE1, 0x2C, 0x42, 0x47, 0xF8, 0xBC, 0xE6, 0xE5, 0x63, 0xA4, 0x40, 0xF2,
                    0x77, 0x03, 0x7D, 0x81, 0x2D, 0xEB, 0x33, 0xA0, 0xF4, 0xA1, 0x39, 0x45, 0xD8, 0x98, 0xC2, 0x96};
  EXPECT_TRUE(std::equal(gx.begin(), gx.end(), unit.publicKeyDer().begin() + 27));
  expectValidSignature(unit, "x\ny\n2\n1", unit.signature("x", "y", 2, 1));
  Bytes largest = p256Order;  // n - 1
  largest[31] -= 1;
  EXPECT_EQ(ReceiptSigner(largest).rawRepresentation(), largest);

  Bytes aboveOrder = p256Order;
  aboveOrder[31] += 1;
  for (const auto& [raw, expected] : {std::pair{Bytes{}, KeyCase::wrongLength}, {Bytes(31, 1), KeyCase::wrongLength},
                                      {Bytes(33, 1), KeyCase::wrongLength}, {Bytes(32, 0), KeyCase::invalidScalar},
                                      {p256Order, KeyCase::invalidScalar}, {aboveOrder, KeyCase::invalidScalar}}) {
    try {
      ReceiptSigner signer(raw);
      ADD_FAILURE() << "accepted " << raw.size() << " bytes";
    } catch (const ReceiptSigner::KeyError& error) {
      EXPECT_EQ(error.value(), expected);
    }
  }
}

TEST(ReceiptSigner, CopiesAndThreadsShareOnlyTheImmutableKey) {
  const ReceiptSigner original;
  ReceiptSigner copy = original;
  ReceiptSigner moved = std::move(copy);
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
    EXPECT_TRUE(opensslVerifies(original.publicKey(), "lease\nnonce\n" + std::to_string(i) + "\n1", signatures[i]));
  }
}

TEST(ReceiptSigner, VerificationRefusesAnythingButCanonicalKeysAndDerSignatures) {
  const ReceiptSigner signer;
  const std::string key = signer.publicKey(), message = "a\nb\n0\n1", signature = signer.signature("a", "b", 0, 1);
  ASSERT_TRUE(verifyReceiptSignature(key, message, signature));
  EXPECT_FALSE(verifyReceiptSignature(ReceiptSigner().publicKey(), message, signature));
  EXPECT_FALSE(verifyReceiptSignature(key, "a\nb\n0\n2", signature));
  // The raw 64-byte r||s form of the same signature; a long-form (non-DER) length,
  // trailing bytes, cut short; base64 that is not strict.
  const Bytes der = decoded(signature);
  const unsigned char* cursor = der.data();
  ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
  ASSERT_NE(parsed, nullptr);
  Bytes raw(64);
  BN_bn2binpad(ECDSA_SIG_get0_r(parsed), raw.data(), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(parsed), raw.data() + 32, 32);
  ECDSA_SIG_free(parsed);
  Bytes longForm = {0x30, 0x81};
  longForm.insert(longForm.end(), der.begin() + 1, der.end());
  Bytes trailing = der;
  trailing.push_back(0);
  for (const std::string& bad : {base64::encode(raw), base64::encode(longForm), base64::encode(trailing),
                                 base64::encode(Bytes(der.begin(), der.end() - 1)), std::string(),
                                 signature.substr(0, 8) + "\n" + signature.substr(8)}) {
    EXPECT_FALSE(verifyReceiptSignature(key, message, bad)) << bad;
  }
  EXPECT_FALSE(verifyReceiptSignature(key.substr(0, 64) + "\n" + key.substr(64), message, signature));
  // A compressed point (59-byte key) of the same key, and a 91-byte key off the curve.
  Bytes keyDer = signer.publicKeyDer();
  const unsigned char* keyCursor = keyDer.data();
  EVP_PKEY* pkey = d2i_PUBKEY(nullptr, &keyCursor, static_cast<long>(keyDer.size()));
  ASSERT_NE(pkey, nullptr);
  ASSERT_EQ(EVP_PKEY_set_utf8_string_param(pkey, "point-format", const_cast<char*>("compressed")), 1);
  unsigned char* compressed = nullptr;
  const int compressedLength = i2d_PUBKEY(pkey, &compressed);
  EXPECT_EQ(compressedLength, 59);
  EXPECT_FALSE(verifyReceiptSignature(base64::encode(Bytes(compressed, compressed + compressedLength)), message,
                                      signature));
  OPENSSL_free(compressed);
  EVP_PKEY_free(pkey);
  keyDer.back() ^= 0x01;
  EXPECT_FALSE(verifyReceiptSignature(base64::encode(keyDer), message, signature));
}

}  // namespace
}  // namespace nimbrella
