#include "SponsorApp/storage/VaultAccounts.hpp"

namespace nimbrella {

std::string vaultItemLabel(std::string_view account) {
  if (account == vaultAccount::deviceCredential) return "Nimbrella device credential";
  if (account == vaultAccount::pendingAuthorization) return "Nimbrella pending browser connection";
  if (account == vaultAccount::receiptSigningPrivate) return "Nimbrella receipt signing key";
  if (account == vaultAccount::pendingCompletion) return "Nimbrella unconfirmed reward receipt";
  std::string label = "Nimbrella (";
  label += account;
  label += ')';
  return label;
}

}  // namespace nimbrella
