#pragma once

#include "SponsorCore/AppLanguage.hpp"
#include "SponsorCore/Date.hpp"
#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <string>
#include <string_view>

namespace nimbrella {

// A fresh nonce for one browser hand-off: a random version-4 UUID from the system's
// cryptographic random source, lower case with hyphens (36 characters).
// Throws ReceiptSigner::CryptoError when the random source fails.
std::string newHandoffNonce();

// The proof that opens the dashboard in the browser without a password: the nonce, the
// time in whole seconds since 1970 (fraction dropped), the interface language code and
// the signature of the device's key over the device identifier and those three values.
// Throws what ReceiptSigner::browserHandoffSignature throws (a device identifier that is
// not a UUID, a time before 1970-01-01 00:00:01 UTC).
requests::Proof makeBrowserHandoffProof(const ReceiptSigner& signer, std::string_view deviceId, AppLanguage language,
                                        Date now);

// The same with a given nonce.
requests::Proof makeBrowserHandoffProof(const ReceiptSigner& signer, std::string_view deviceId, AppLanguage language,
                                        Date now, std::string nonce);

}  // namespace nimbrella
