#include "SponsorServer/Crypto.hpp"

#include "SponsorCore/Base64.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace nimbrella::server {

std::string randomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  if (count > 0 &&
      RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
    throw std::runtime_error("the random generator failed");
  }
  return bytes;
}

std::string base64Url(std::string_view bytes) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string text;
  text.reserve((bytes.size() * 4 + 2) / 3);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    text += alphabet[(v >> 18) & 63];
    text += alphabet[(v >> 12) & 63];
    text += alphabet[(v >> 6) & 63];
    text += alphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    text += alphabet[(v >> 18) & 63];
    text += alphabet[(v >> 12) & 63];
  } else if (rest == 2) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8);
    text += alphabet[(v >> 18) & 63];
    text += alphabet[(v >> 12) & 63];
    text += alphabet[(v >> 6) & 63];
  }
  return text;
}

std::string randomToken() { return base64Url(randomBytes(32)); }

std::string randomUuid() {
  std::string bytes = randomBytes(16);
  bytes[6] = static_cast<char>((static_cast<unsigned char>(bytes[6]) & 0x0F) | 0x40);
  bytes[8] = static_cast<char>((static_cast<unsigned char>(bytes[8]) & 0x3F) | 0x80);
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += hex[static_cast<unsigned char>(bytes[i]) >> 4];
    text += hex[static_cast<unsigned char>(bytes[i]) & 15];
  }
  return text;
}

std::string upperHex(std::string_view bytes) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : bytes) {
    text += hex[static_cast<unsigned char>(c) >> 4];
    text += hex[static_cast<unsigned char>(c) & 15];
  }
  return text;
}

bool isTokenText(std::string_view text) noexcept {
  if (text.size() != 43) return false;
  for (const char c : text) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

namespace {

using KeyPointer = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// The key of an acceptable registration text, with its DER bytes; nothing otherwise.
std::optional<std::pair<KeyPointer, std::vector<std::uint8_t>>> decodeP256Key(
    std::string_view publicKeyBase64) {
  // 91 DER bytes are 124 base64 characters with padding.
  if (publicKeyBase64.size() != 124) return std::nullopt;
  auto der = base64::decode(publicKeyBase64);
  if (!der || der->size() != 91) return std::nullopt;

  const unsigned char* cursor = der->data();
  KeyPointer key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der->size())), &EVP_PKEY_free);
  if (!key || cursor != der->data() + der->size()) return std::nullopt;
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC) return std::nullopt;
  char group[64] = {};
  std::size_t groupLength = 0;
  if (EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                     &groupLength) != 1 ||
      std::string_view(group, groupLength) != "prime256v1") {
    return std::nullopt;
  }
  // The encoding must be the canonical one (uncompressed point, named curve): writing the
  // key back must give the very same bytes.
  unsigned char* written = nullptr;
  const int writtenLength = i2d_PUBKEY(key.get(), &written);
  const bool canonical = writtenLength == static_cast<int>(der->size()) &&
                         CRYPTO_memcmp(written, der->data(), der->size()) == 0;
  OPENSSL_free(written);
  if (!canonical) return std::nullopt;
  return std::make_pair(std::move(key), std::move(*der));
}

}  // namespace

std::optional<std::string> p256KeyFingerprint(std::string_view publicKeyBase64) {
  const auto decoded = decodeP256Key(publicKeyBase64);
  if (!decoded) return std::nullopt;
  const auto& der = decoded->second;
  std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
  SHA256(der.data(), der.size(), digest.data());
  char text[20];
  std::snprintf(text, sizeof text, "%02x%02x-%02x%02x-%02x%02x-%02x%02x", digest[0], digest[1],
                digest[2], digest[3], digest[4], digest[5], digest[6], digest[7]);
  return std::string(text, 19);
}

// A decoded key with a context prepared for verification; each verification works on a
// copy of the context, which spares the library's per-use algorithm look-ups.
struct SignatureVerifier::Key {
  KeyPointer pkey{nullptr, &EVP_PKEY_free};
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> prepared{nullptr, &EVP_PKEY_CTX_free};
};

SignatureVerifier::SignatureVerifier() = default;
SignatureVerifier::~SignatureVerifier() = default;

std::shared_ptr<const SignatureVerifier::Key> SignatureVerifier::key(
    std::string_view publicKeyBase64) const {
  {
    std::lock_guard lock(mutex_);
    const auto found = keys_.find(std::string(publicKeyBase64));
    if (found != keys_.end()) return found->second;
  }
  auto decoded = decodeP256Key(publicKeyBase64);
  if (!decoded) return nullptr;
  auto key = std::make_shared<Key>();
  key->pkey = std::move(decoded->first);
  key->prepared.reset(EVP_PKEY_CTX_new(key->pkey.get(), nullptr));
  if (!key->prepared || EVP_PKEY_verify_init(key->prepared.get()) != 1) return nullptr;
  std::lock_guard lock(mutex_);
  if (keys_.size() >= 65536) keys_.clear();
  keys_.emplace(std::string(publicKeyBase64), key);
  return key;
}

bool SignatureVerifier::verify(std::string_view publicKeyBase64, std::string_view message,
                               std::string_view signatureBase64) const noexcept {
  try {
    // A DER ECDSA-Sig-Value over P-256 is at most 72 bytes: 96 base64 characters.
    if (signatureBase64.empty() || signatureBase64.size() > 96) return false;
    const auto signature = base64::decode(signatureBase64);
    if (!signature || signature->empty()) return false;
    const auto publicKey = key(publicKeyBase64);
    if (!publicKey) return false;
    std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
    SHA256(reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest.data());
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_dup(publicKey->prepared.get()), &EVP_PKEY_CTX_free);
    if (!context) return false;
    // OpenSSL refuses signatures that are not strict DER (it re-encodes and compares).
    return EVP_PKEY_verify(context.get(), signature->data(), signature->size(), digest.data(),
                           digest.size()) == 1;
  } catch (...) {
    return false;
  }
}

bool secretsEqual(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace nimbrella::server
