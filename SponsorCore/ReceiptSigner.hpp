#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace nimbrella {

// This computer's P-256 ECDSA signing key. It signs exposure receipts and browser
// hand-off proofs and fixes, byte for byte, what is signed and how signatures and the
// public key are written. A signer is immutable: copies share only the immutable key
// object, and any thread may sign.
class ReceiptSigner {
 public:
  // Thrown when the parts of a message to be signed break the message rules; nothing
  // is signed. Callers turn it into their own user-facing text.
  class SigningError : public std::exception {
   public:
    enum class Case { invalidMessage };
    explicit SigningError(Case value = Case::invalidMessage) noexcept : value_(value) {}
    Case value() const noexcept { return value_; }
    const char* what() const noexcept override { return "invalid message parts for signing"; }

   private:
    Case value_;
  };

  // Thrown when stored bytes are not a valid P-256 private key.
  class KeyError : public std::invalid_argument {
   public:
    enum class Case {
      wrongLength,   // not exactly 32 bytes
      invalidScalar  // zero, or not below the order of the P-256 group
    };
    explicit KeyError(Case value);
    Case value() const noexcept { return value_; }

   private:
    Case value_;
  };

  // A failure inside the cryptographic library (key generation, encoding, signing),
  // with the library's own error text.
  class CryptoError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  static constexpr std::size_t rawRepresentationSize = 32;
  static constexpr std::size_t publicKeyDerSize = 91;

  // Generates a new key from the system's random source. Throws CryptoError.
  ReceiptSigner();

  // Rebuilds a key from its 32-byte big-endian private scalar. Throws KeyError when
  // the bytes are not a valid P-256 private scalar, CryptoError on a library failure.
  explicit ReceiptSigner(std::span<const std::uint8_t> rawRepresentation);

  ReceiptSigner(const ReceiptSigner&) = default;
  ReceiptSigner& operator=(const ReceiptSigner&) = default;
  // Moving copies the shared key reference, so a moved-from signer stays usable.
  ReceiptSigner(ReceiptSigner&& other) noexcept : key_(other.key_) {}
  ReceiptSigner& operator=(ReceiptSigner&& other) noexcept {
    key_ = other.key_;
    return *this;
  }
  ~ReceiptSigner() = default;

  // The 32-byte big-endian private scalar, left-padded with zeros, for the credential
  // store. The caller should wipe the bytes once stored.
  std::vector<std::uint8_t> rawRepresentation() const;

  // The DER SubjectPublicKeyInfo (id-ecPublicKey, prime256v1, uncompressed point): 91 bytes.
  std::vector<std::uint8_t> publicKeyDer() const;

  // publicKeyDer() in standard padded base64 without line breaks (124 characters).
  std::string publicKey() const;

  // SHA-256 of publicKeyDer(); its first 8 bytes as four groups of four lower-case
  // hexadecimal digits joined with "-" (19 characters).
  std::string publicKeyFingerprint() const;

  // leaseId, nonce, elapsedMs and sequence joined by line feeds; numbers in decimal; no
  // trailing line feed. Validates nothing.
  static std::string message(std::string_view leaseId, std::string_view nonce, std::int64_t elapsedMs,
                             std::int64_t sequence);

  // The base64 DER ECDSA/SHA-256 signature of message(leaseId, nonce, elapsedMs, 1).
  // Throws SigningError when leaseId or nonce contains a line feed, when sequence is not
  // 1 or when elapsedMs is negative; CryptoError on a library failure.
  std::string signature(std::string_view leaseId, std::string_view nonce, std::int64_t elapsedMs,
                        std::int64_t sequence) const;

  // "nimbrella-browser-v1\n" followed by deviceId, nonce, timestamp (decimal) and
  // language, joined by line feeds, no trailing line feed. Validates nothing.
  static std::string browserHandoffMessage(std::string_view deviceId, std::string_view nonce,
                                           std::int64_t timestamp, std::string_view language);

  // The base64 DER signature of browserHandoffMessage(...). Throws SigningError unless
  // deviceId and nonce are UUID texts, timestamp is at least 1 and language is exactly
  // "it" or "en"; CryptoError on a library failure. The identifiers are signed unchanged.
  std::string browserHandoffSignature(std::string_view deviceId, std::string_view nonce, std::int64_t timestamp,
                                      std::string_view language) const;

 private:
  std::string sign(std::string_view messageBytes) const;

  std::shared_ptr<EVP_PKEY> key_;  // never null; never modified after construction
};

// True exactly when `publicKeyBase64` is strict base64 of a 91-byte DER P-256
// SubjectPublicKeyInfo with an uncompressed point, `signatureBase64` is strict base64
// of a DER ECDSA-Sig-Value, and the signature verifies under ECDSA P-256/SHA-256
// over exactly `message`. Never throws for any input.
bool verifyReceiptSignature(std::string_view publicKeyBase64, std::string_view message,
                            std::string_view signatureBase64) noexcept;

}  // namespace nimbrella
