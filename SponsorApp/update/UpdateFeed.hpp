#pragma once

// The rules of self-update, without any network: whether this installation updates at
// all (its Info.json), and whether a signed manifest from the feed may be acted on.
//
// The feed is two files: the manifest at the feed URL, a small JSON object, and at the
// same URL with ".sig" appended the standard Base64 of an Ed25519 signature over the
// manifest's exact bytes. The signature is checked before the manifest is parsed.

#include "SponsorCore/AppLanguage.hpp"
#include "SponsorCore/Date.hpp"
#include "SponsorCore/SafeEndpoint.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace nimbrella {

struct UpdateConfiguration {
  Url feed;
  std::vector<std::uint8_t> publicKey;  // Ed25519, 32 bytes
  // The program that installs a verified package in place of the system's installer;
  // none: apt-get through pkexec.
  std::optional<std::filesystem::path> installer;

  // Updating runs only when "NimbrellaUpdatesEnabled" is the boolean true, "SUFeedURL"
  // is an https URL and "SUPublicEDKey" is standard Base64 of exactly 32 bytes. An
  // installation that installs its packages itself (a private root rather than the
  // system's packages) names its installer in "NimbrellaUpdateInstaller", an absolute
  // path; anything else there turns updating off. The file belongs to the installation
  // as the program does: whoever can change it can change the program and its key.
  static std::optional<UpdateConfiguration> fromInfo(const nlohmann::json& info);
  std::string signatureURL() const { return feed.text() + ".sig"; }
};

struct UpdateManifest {
  std::string version;    // the shown version
  std::int64_t build = 0;  // the build number, compared with the running one
  std::int64_t sequence = 0;  // grows with every manifest the project signs
  Date expiresAt;
  std::string url;  // the package, https
  std::int64_t size = 0;
  std::string sha256;  // 64 lower-case hexadecimal digits
};

enum class UpdateRefusal {
  badSignature,  // not signed by the project's key
  malformed,     // signed, but not a manifest
  notNewer,      // its build is not above the running one
  replayed,      // its sequence is not above the last one acted on
  expired,       // its expiry has passed
  unsafePackage, // the package URL is not https, or the size is out of bounds
};
std::string_view describe(UpdateRefusal refusal);

// Packages are never larger than this, whatever a manifest says.
inline constexpr std::int64_t maximumPackageSize = 512LL * 1024 * 1024;
// Manifests and signatures are small; a longer answer is refused while it arrives.
inline constexpr std::int64_t maximumFeedSize = 64 * 1024;

// The manifest, when it is signed by `publicKey` and may be acted on now.
std::variant<UpdateManifest, UpdateRefusal> acceptManifest(std::string_view manifest, std::string_view signatureText,
                                                           std::span<const std::uint8_t> publicKey,
                                                           std::int64_t runningBuild, std::int64_t lastSequence,
                                                           Date now);

bool verifyEd25519(std::span<const std::uint8_t> publicKey, std::string_view message,
                   std::span<const std::uint8_t> signature);

// The dialog that offers a verified update.
struct UpdatePromptText {
  std::string title;
  std::string text;
  std::string install;
  std::string later;
  static UpdatePromptText offer(AppLanguage language, const std::string& version);
};
// The outcome of a check (one of the updater's own texts, or the installer's) in the
// user's language; the installer's own text stays as the system wrote it.
std::string updateOutcomeText(AppLanguage language, const std::string& outcome);

// The SHA-256 of the file's contents in lower-case hexadecimal; nothing when unreadable.
std::optional<std::string> sha256OfFile(const std::filesystem::path& path);

}  // namespace nimbrella
