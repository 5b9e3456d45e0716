#pragma once

#include <string>
#include <string_view>

namespace nimbrella {

// Account names of the items kept in the secure credential store, all under the
// service named by the bundle identifier.
namespace vaultAccount {

// JSON of the DeviceCredential.
inline constexpr std::string_view deviceCredential = "device-credential-v1";
// JSON of the DeviceAuthorizationStart of a browser authorization still pending.
inline constexpr std::string_view pendingAuthorization = "pending-authorization-v1";
// The 32 raw bytes of the P-256 private key that signs receipts.
inline constexpr std::string_view receiptSigningPrivate = "receipt-signing-private-v1";
// JSON of the PersistedCompletion not yet confirmed by the server.
inline constexpr std::string_view pendingCompletion = "pending-completion-v1";

}  // namespace vaultAccount

// The name a person sees for the item in a keyring manager, e.g.
// "Nimbrella device credential"; an account without a description of its own is
// shown as "Nimbrella (<account>)".
std::string vaultItemLabel(std::string_view account);

}  // namespace nimbrella
