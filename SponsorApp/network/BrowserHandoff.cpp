#include "SponsorApp/network/BrowserHandoff.hpp"

#include <openssl/rand.h>

#include <array>
#include <chrono>
#include <cstdint>

namespace nimbrella {

namespace {

std::string languageCode(AppLanguage language) { return language == AppLanguage::it ? "it" : "en"; }

}  // namespace

std::string newHandoffNonce() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw ReceiptSigner::CryptoError("The system's random source failed.");
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(hex[bytes[i] >> 4]);
    text.push_back(hex[bytes[i] & 0x0F]);
  }
  return text;
}

requests::Proof makeBrowserHandoffProof(const ReceiptSigner& signer, std::string_view deviceId, AppLanguage language,
                                        Date now) {
  return makeBrowserHandoffProof(signer, deviceId, language, now, newHandoffNonce());
}

requests::Proof makeBrowserHandoffProof(const ReceiptSigner& signer, std::string_view deviceId, AppLanguage language,
                                        Date now, std::string nonce) {
  requests::Proof proof;
  proof.timestamp = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  proof.locale = languageCode(language);
  proof.signature = signer.browserHandoffSignature(deviceId, nonce, proof.timestamp, proof.locale);
  proof.nonce = std::move(nonce);
  return proof;
}

}  // namespace nimbrella
