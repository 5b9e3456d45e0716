#include "SponsorCore/ReceiptSigner.hpp"

#include "SponsorCore/Base64.hpp"
#include "SponsorCore/Uuid.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/params.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace nimbrella {

namespace {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const noexcept {
    Free(p);
  }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using GroupPtr = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP_free>>;
using PointPtr = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;
using SecretBnPtr = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG_free>>;

// Order n of the P-256 group, big-endian.
constexpr std::array<std::uint8_t, 32> p256Order = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

constexpr std::size_t uncompressedPointSize = 65;

// Wipes a fixed buffer of secret bytes when it goes out of scope.
template <std::size_t N>
struct SecretBuffer {
  std::array<unsigned char, N> bytes{};
  SecretBuffer() = default;
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  ~SecretBuffer() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

[[noreturn]] void throwCryptoError(const char* operation) {
  std::string text = operation;
  bool first = true;
  while (const unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += first ? ": " : "; ";
    text += buffer;
    first = false;
  }
  throw ReceiptSigner::CryptoError(text);
}

// True when the 32 big-endian bytes are neither zero nor at least the group order.
// Examines every byte whatever the outcome.
bool isValidScalar(std::span<const std::uint8_t> raw) {
  unsigned nonzero = 0;
  int comparison = 0;  // sign of raw - order, decided by the first differing byte
  for (std::size_t i = 0; i < raw.size(); ++i) {
    nonzero |= raw[i];
    const int diff = int{raw[i]} - int{p256Order[i]};
    const int undecided = comparison == 0;
    comparison += undecided * ((diff > 0) - (diff < 0));
  }
  return nonzero != 0 && comparison < 0;
}

std::string decimal(std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::vector<std::uint8_t> derPublicKey(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key, &der);
  if (length <= 0 || der == nullptr) throwCryptoError("encoding the public key failed");
  std::vector<std::uint8_t> bytes(der, der + length);
  OPENSSL_free(der);
  if (bytes.size() != ReceiptSigner::publicKeyDerSize) {
    throw ReceiptSigner::CryptoError("the public key does not encode as an uncompressed P-256 point");
  }
  return bytes;
}

}  // namespace

ReceiptSigner::KeyError::KeyError(Case value)
    : std::invalid_argument(value == Case::wrongLength ? "a P-256 private key has exactly 32 bytes"
                                                       : "the bytes are not a valid P-256 private scalar"),
      value_(value) {}

ReceiptSigner::ReceiptSigner() {
  ERR_clear_error();
  EVP_PKEY* generated = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (generated == nullptr) throwCryptoError("generating a P-256 key failed");
  key_.reset(generated, EVP_PKEY_free);
  derPublicKey(generated);  // fails loudly now rather than on first use
}

ReceiptSigner::ReceiptSigner(std::span<const std::uint8_t> rawRepresentation) {
  if (rawRepresentation.size() != rawRepresentationSize) throw KeyError(KeyError::Case::wrongLength);
  if (!isValidScalar(rawRepresentation)) throw KeyError(KeyError::Case::invalidScalar);
  ERR_clear_error();

  // The public point d·G, which the key import needs beside the scalar.
  const GroupPtr group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  const SecretBnPtr scalar(BN_secure_new());
  if (!group || !scalar) throwCryptoError("preparing the P-256 key failed");
  BN_set_flags(scalar.get(), BN_FLG_CONSTTIME);
  if (BN_bin2bn(rawRepresentation.data(), static_cast<int>(rawRepresentation.size()), scalar.get()) == nullptr) {
    throwCryptoError("reading the private scalar failed");
  }
  const PointPtr point(EC_POINT_new(group.get()));
  if (!point || EC_POINT_mul(group.get(), point.get(), scalar.get(), nullptr, nullptr, nullptr) != 1) {
    throwCryptoError("deriving the public key failed");
  }
  std::array<unsigned char, uncompressedPointSize> publicPoint{};
  if (EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, publicPoint.data(),
                         publicPoint.size(), nullptr) != publicPoint.size()) {
    throwCryptoError("encoding the public point failed");
  }

  // Integer parameters are passed in native byte order.
  SecretBuffer<rawRepresentationSize> nativeScalar;
  std::copy(rawRepresentation.begin(), rawRepresentation.end(), nativeScalar.bytes.begin());
  if constexpr (std::endian::native == std::endian::little) {
    std::reverse(nativeScalar.bytes.begin(), nativeScalar.bytes.end());
  }
  char groupName[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, groupName, 0),
      OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, nativeScalar.bytes.data(), nativeScalar.bytes.size()),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, publicPoint.data(), publicPoint.size()),
      OSSL_PARAM_construct_end(),
  };
  const PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* imported = nullptr;
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &imported, EVP_PKEY_KEYPAIR, params) != 1 || imported == nullptr) {
    throwCryptoError("importing the P-256 key failed");
  }
  key_.reset(imported, EVP_PKEY_free);
}

std::vector<std::uint8_t> ReceiptSigner::rawRepresentation() const {
  ERR_clear_error();
  BIGNUM* scalar = nullptr;
  if (EVP_PKEY_get_bn_param(key_.get(), OSSL_PKEY_PARAM_PRIV_KEY, &scalar) != 1 || scalar == nullptr) {
    throwCryptoError("reading the private scalar failed");
  }
  const SecretBnPtr owned(scalar);
  std::vector<std::uint8_t> bytes(rawRepresentationSize);
  if (BN_bn2binpad(owned.get(), bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size())) {
    OPENSSL_cleanse(bytes.data(), bytes.size());
    throwCryptoError("writing the private scalar failed");
  }
  return bytes;
}

std::vector<std::uint8_t> ReceiptSigner::publicKeyDer() const {
  ERR_clear_error();
  return derPublicKey(key_.get());
}

std::string ReceiptSigner::publicKey() const { return base64::encode(publicKeyDer()); }

std::string ReceiptSigner::publicKeyFingerprint() const {
  const std::vector<std::uint8_t> der = publicKeyDer();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (EVP_Digest(der.data(), der.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1 || digestLength != 32) {
    throwCryptoError("hashing the public key failed");
  }
  std::string fingerprint;
  for (int group = 0; group < 4; ++group) {
    char text[5];
    std::snprintf(text, sizeof text, "%02x%02x", digest[2 * group], digest[2 * group + 1]);
    if (group > 0) fingerprint += '-';
    fingerprint += text;
  }
  return fingerprint;
}

std::string ReceiptSigner::message(std::string_view leaseId, std::string_view nonce, std::int64_t elapsedMs,
                                   std::int64_t sequence) {
  std::string text;
  text.reserve(leaseId.size() + nonce.size() + 44);
  text.append(leaseId).append(1, '\n').append(nonce).append(1, '\n');
  text.append(decimal(elapsedMs)).append(1, '\n').append(decimal(sequence));
  return text;
}

std::string ReceiptSigner::signature(std::string_view leaseId, std::string_view nonce, std::int64_t elapsedMs,
                                     std::int64_t sequence) const {
  if (leaseId.find('\n') != std::string_view::npos) throw SigningError();
  if (nonce.find('\n') != std::string_view::npos) throw SigningError();
  if (sequence != 1 || elapsedMs < 0) throw SigningError();
  return sign(message(leaseId, nonce, elapsedMs, 1));
}

std::string ReceiptSigner::browserHandoffMessage(std::string_view deviceId, std::string_view nonce,
                                                 std::int64_t timestamp, std::string_view language) {
  std::string text = "nimbrella-browser-v1\n";
  text.append(deviceId).append(1, '\n').append(nonce).append(1, '\n');
  text.append(decimal(timestamp)).append(1, '\n').append(language);
  return text;
}

std::string ReceiptSigner::browserHandoffSignature(std::string_view deviceId, std::string_view nonce,
                                                   std::int64_t timestamp, std::string_view language) const {
  if (!isUuidText(deviceId)) throw SigningError();
  if (!isUuidText(nonce)) throw SigningError();
  if (timestamp < 1) throw SigningError();
  if (language != "it" && language != "en") throw SigningError();
  return sign(browserHandoffMessage(deviceId, nonce, timestamp, language));
}

std::string ReceiptSigner::sign(std::string_view messageBytes) const {
  ERR_clear_error();
  const MdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1) {
    throwCryptoError("starting the signature failed");
  }
  const int maximum = EVP_PKEY_get_size(key_.get());
  if (maximum <= 0) throwCryptoError("sizing the signature failed");
  std::vector<std::uint8_t> der(static_cast<std::size_t>(maximum));
  std::size_t length = der.size();
  if (EVP_DigestSign(context.get(), der.data(), &length, reinterpret_cast<const unsigned char*>(messageBytes.data()),
                     messageBytes.size()) != 1) {
    throwCryptoError("signing failed");
  }
  der.resize(length);
  return base64::encode(der);
}

bool verifyReceiptSignature(std::string_view publicKeyBase64, std::string_view message,
                            std::string_view signatureBase64) noexcept {
  try {
    const auto publicKey = base64::decode(publicKeyBase64);
    if (!publicKey || publicKey->size() != ReceiptSigner::publicKeyDerSize) return false;
    const auto signature = base64::decode(signatureBase64);
    if (!signature || signature->empty()) return false;

    bool verified = false;
    [&] {
      // The key: exactly one canonical DER SubjectPublicKeyInfo of a P-256 point.
      const unsigned char* cursor = publicKey->data();
      const PkeyPtr key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(publicKey->size())));
      if (!key || cursor != publicKey->data() + publicKey->size()) return;
      if (EVP_PKEY_is_a(key.get(), "EC") != 1) return;
      char groupName[32] = {};
      std::size_t groupNameLength = 0;
      if (EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, groupName, sizeof groupName,
                                         &groupNameLength) != 1 ||
          std::string_view(groupName, groupNameLength) != "prime256v1") {
        return;
      }
      unsigned char* reencoded = nullptr;
      const int reencodedLength = i2d_PUBKEY(key.get(), &reencoded);
      const bool canonicalKey = reencodedLength == static_cast<int>(publicKey->size()) &&
                                std::memcmp(reencoded, publicKey->data(), publicKey->size()) == 0;
      OPENSSL_free(reencoded);
      if (!canonicalKey) return;

      // The signature: exactly one canonical DER ECDSA-Sig-Value.
      const unsigned char* sigCursor = signature->data();
      const EcdsaSigPtr parsed(d2i_ECDSA_SIG(nullptr, &sigCursor, static_cast<long>(signature->size())));
      if (!parsed || sigCursor != signature->data() + signature->size()) return;
      unsigned char* sigDer = nullptr;
      const int sigDerLength = i2d_ECDSA_SIG(parsed.get(), &sigDer);
      const bool canonicalSignature = sigDerLength == static_cast<int>(signature->size()) &&
                                      std::memcmp(sigDer, signature->data(), signature->size()) == 0;
      OPENSSL_free(sigDer);
      if (!canonicalSignature) return;

      const MdCtxPtr context(EVP_MD_CTX_new());
      if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) return;
      verified = EVP_DigestVerify(context.get(), signature->data(), signature->size(),
                                  reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    }();
    ERR_clear_error();
    return verified;
  } catch (...) {
    ERR_clear_error();
    return false;
  }
}

CompleteRequest CompleteRequest::make(std::string leaseId, std::string nonce, std::int64_t elapsedMs,
                                      const ReceiptSigner& signer) {
  std::string signature = signer.signature(leaseId, nonce, elapsedMs, 1);
  CompleteRequest request;
  request.leaseId = std::move(leaseId);
  request.nonce = std::move(nonce);
  request.elapsedMs = elapsedMs;
  request.sequence = 1;
  request.signature = std::move(signature);
  return request;
}

}  // namespace nimbrella
