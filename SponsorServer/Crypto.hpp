#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <string>
#include <string_view>

namespace nimbrella::server {

// `count` bytes from the operating system's cryptographic generator.
std::string randomBytes(std::size_t count);

// URL-safe base64 without padding ("A-Z a-z 0-9 - _"); 32 bytes give 43 characters.
std::string base64Url(std::string_view bytes);

// A fresh secret of 32 random bytes as 43 URL-safe base64 characters.
std::string randomToken();

// A random (version 4) UUID in lower case with hyphens.
std::string randomUuid();

// Upper-case hexadecimal text of the bytes.
std::string upperHex(std::string_view bytes);

// True for exactly 43 characters of "A-Z a-z 0-9 _ -".
bool isTokenText(std::string_view text) noexcept;

// A P-256 public key as the client registers it: standard padded base64 of the 91-byte
// DER SubjectPublicKeyInfo (id-ecPublicKey, prime256v1, uncompressed point on the curve).
// Answers the people-readable fingerprint ("xxxx-xxxx-xxxx-xxxx": the first 8 bytes of
// SHA-256 over the DER bytes) for an acceptable key, nothing for anything else.
std::optional<std::string> p256KeyFingerprint(std::string_view publicKeyBase64);

// Verifies P-256 ECDSA/SHA-256 signatures of registered device keys. Decoding a public key
// is by far the most expensive step of a verification, so each decoded key is kept (up
// to a bound) and reused by later verifications. Thread-safe.
class SignatureVerifier {
 public:
  SignatureVerifier();
  ~SignatureVerifier();
  SignatureVerifier(const SignatureVerifier&) = delete;
  SignatureVerifier& operator=(const SignatureVerifier&) = delete;

  // True exactly when the key is an acceptable P-256 key (see p256KeyFingerprint), the
  // signature is strict base64 of a DER ECDSA-Sig-Value and it verifies over `message`.
  bool verify(std::string_view publicKeyBase64, std::string_view message,
              std::string_view signatureBase64) const noexcept;

 private:
  struct Key;
  std::shared_ptr<const Key> key(std::string_view publicKeyBase64) const;

  mutable std::mutex mutex_;
  mutable std::unordered_map<std::string, std::shared_ptr<const Key>> keys_;
};

// Constant-time comparison of two secrets.
bool secretsEqual(std::string_view a, std::string_view b) noexcept;

}  // namespace nimbrella::server
