#include "SponsorApp/storage/VaultError.hpp"

#include "SponsorCore/PlatformText.hpp"

namespace nimbrella {

namespace {
// A literal, so its data is NUL-terminated for what().
constexpr const char* unavailableText = platformText::keyringUnavailable.english.data();
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
