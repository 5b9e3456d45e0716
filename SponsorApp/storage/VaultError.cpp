#include "SponsorApp/storage/VaultError.hpp"

namespace nimbrella {

namespace {
constexpr const char* unavailableText =
    "macOS Keychain is unavailable. Unlock your login keychain and try again; "
    "secrets were not saved elsewhere.";
}  // namespace

std::string_view VaultError::message() const noexcept { return what(); }

const char* VaultError::what() const noexcept {
  switch (kind_) {
    case Kind::unavailable:
      return unavailableText;
  }
  return unavailableText;
}

}  // namespace nimbrella
