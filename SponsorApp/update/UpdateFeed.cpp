#include "SponsorApp/update/UpdateFeed.hpp"

#include "SponsorCore/Base64.hpp"
#include "SponsorCore/InternetDate.hpp"
#include "SponsorCore/Json.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <memory>

namespace nimbrella {

namespace {

std::optional<Url> httpsURL(std::string_view text) {
  auto url = Url::parse(text);
  if (!url || url->scheme() != "https" || !url->host() || url->host()->empty()) return std::nullopt;
  return url;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
  return text;
}

bool isLowerHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::optional<UpdateConfiguration> UpdateConfiguration::fromInfo(const nlohmann::json& info) {
  if (!info.is_object()) return std::nullopt;
  const auto enabled = info.find("NimbrellaUpdatesEnabled");
  if (enabled == info.end() || !enabled->is_boolean() || !enabled->get<bool>()) return std::nullopt;
  const auto feed = info.find("SUFeedURL");
  if (feed == info.end() || !feed->is_string()) return std::nullopt;
  auto url = httpsURL(feed->get<std::string>());
  if (!url) return std::nullopt;
  const auto key = info.find("SUPublicEDKey");
  if (key == info.end() || !key->is_string()) return std::nullopt;
  auto bytes = base64::decode(key->get<std::string>());
  if (!bytes || bytes->size() != 32) return std::nullopt;
  UpdateConfiguration configuration{std::move(*url), std::move(*bytes), std::nullopt};
  if (const auto installer = info.find("NimbrellaUpdateInstaller"); installer != info.end()) {
    if (!installer->is_string()) return std::nullopt;
    const std::filesystem::path path = installer->get<std::string>();
    if (!path.is_absolute()) return std::nullopt;
    configuration.installer = path;
  }
  return configuration;
}

std::string_view describe(UpdateRefusal refusal) {
  switch (refusal) {
    case UpdateRefusal::badSignature: return "The update is not signed by Nimbrella's key.";
    case UpdateRefusal::malformed: return "The update description cannot be read.";
    case UpdateRefusal::notNewer: return "No newer version is available.";
    case UpdateRefusal::replayed: return "The update description is older than one already used.";
    case UpdateRefusal::expired: return "The update description has expired.";
    case UpdateRefusal::unsafePackage: return "The update package cannot be downloaded safely.";
  }
  return "The update cannot be used.";
}

bool verifyEd25519(std::span<const std::uint8_t> publicKey, std::string_view message,
                   std::span<const std::uint8_t> signature) {
  if (publicKey.size() != 32 || signature.size() != 64) return false;
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()), EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return key && context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

std::variant<UpdateManifest, UpdateRefusal> acceptManifest(std::string_view manifest, std::string_view signatureText,
                                                           std::span<const std::uint8_t> publicKey,
                                                           std::int64_t runningBuild, std::int64_t lastSequence,
                                                           Date now) {
  const auto signature = base64::decode(trimmed(signatureText));
  if (!signature || !verifyEd25519(publicKey, manifest, *signature)) return UpdateRefusal::badSignature;
  UpdateManifest result;
  std::string expiry;
  try {
    const auto object = json::parse(manifest);
    json::requireObject(object, "manifest");
    result.version = json::requiredString(object, "version");
    result.build = json::requiredInt(object, "build");
    result.sequence = json::requiredInt(object, "sequence");
    expiry = json::requiredString(object, "expiresAt");
    result.url = json::requiredString(object, "url");
    result.size = json::requiredInt(object, "size");
    result.sha256 = json::requiredString(object, "sha256");
  } catch (const DecodingError&) {
    return UpdateRefusal::malformed;
  }
  const auto expiresAt = parseInternetDate(expiry);
  if (!expiresAt || result.version.empty() || result.sha256.size() != 64 || !isLowerHex(result.sha256)) {
    return UpdateRefusal::malformed;
  }
  result.expiresAt = *expiresAt;
  if (result.build <= runningBuild) return UpdateRefusal::notNewer;
  if (result.sequence <= lastSequence) return UpdateRefusal::replayed;
  if (result.expiresAt <= now) return UpdateRefusal::expired;
  if (!httpsURL(result.url) || result.size <= 0 || result.size > maximumPackageSize) return UpdateRefusal::unsafePackage;
  return result;
}

UpdatePromptText UpdatePromptText::offer(AppLanguage language, const std::string& version) {
  if (language == AppLanguage::it) {
    return {"Aggiornamento disponibile", "Nimbrella " + version + " è pronto per l’installazione.", "Installa",
            "Più tardi"};
  }
  return {"Update available", "Nimbrella " + version + " is ready to install.", "Install", "Later"};
}

std::string updateOutcomeText(AppLanguage language, const std::string& outcome) {
  if (language != AppLanguage::it) return outcome;
  static constexpr std::pair<std::string_view, std::string_view> fixed[] = {
      {"The update server could not be reached. Try again later.",
       "Impossibile raggiungere il server degli aggiornamenti. Riprova più tardi."},
      {"The update could not be downloaded completely. Try again later.",
       "Impossibile scaricare completamente l’aggiornamento. Riprova più tardi."},
      {"The downloaded update does not match its description and was deleted.",
       "L’aggiornamento scaricato non corrisponde alla sua descrizione ed è stato eliminato."},
      {"The update is not signed by Nimbrella's key.", "L’aggiornamento non è firmato con la chiave di Nimbrella."},
      {"The update description cannot be read.", "Impossibile leggere la descrizione dell’aggiornamento."},
      {"No newer version is available.", "Nessuna versione più recente disponibile."},
      {"The update description is older than one already used.",
       "La descrizione dell’aggiornamento è più vecchia di una già usata."},
      {"The update description has expired.", "La descrizione dell’aggiornamento è scaduta."},
      {"The update package cannot be downloaded safely.",
       "Il pacchetto di aggiornamento non può essere scaricato in sicurezza."},
  };
  for (const auto& [english, italian] : fixed) {
    if (outcome == english) return std::string(italian);
  }
  // Texts around a value (a version, the installer's name, its exit status): the value is kept.
  struct Around {
    std::string_view englishStart, englishEnd, italianStart, italianEnd;
  };
  static constexpr Around around[] = {
      {"Nimbrella ", " was installed.", "Nimbrella ", " è stato installato."},
      {"Nimbrella ", " can be installed later.", "Nimbrella ", " potrà essere installato più tardi."},
      {"Nimbrella ", " is available.", "Nimbrella ", " è disponibile."},
      {"The installer (", ") could not be started.", "Impossibile avviare il programma di installazione (", ")."},
      {"The installer ended with status ", ".", "Il programma di installazione è terminato con lo stato ", "."},
  };
  for (const auto& text : around) {
    if (outcome.size() > text.englishStart.size() + text.englishEnd.size() && outcome.starts_with(text.englishStart) &&
        outcome.ends_with(text.englishEnd)) {
      const std::size_t length = outcome.size() - text.englishStart.size() - text.englishEnd.size();
      return std::string(text.italianStart) + outcome.substr(text.englishStart.size(), length) +
             std::string(text.italianEnd);
    }
  }
  return outcome;
}

std::optional<std::string> sha256OfFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  std::array<char, 1 << 16> buffer{};
  while (in) {
    in.read(buffer.data(), buffer.size());
    if (in.gcount() > 0 && EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(in.gcount())) != 1) {
      return std::nullopt;
    }
  }
  if (in.bad()) return std::nullopt;
  std::array<unsigned char, 32> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) return std::nullopt;
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char byte : digest) out += hex[byte >> 4], out += hex[byte & 0x0F];
  return out;
}

}  // namespace nimbrella
