// Translates arbitrary bytes as a controller message in both languages and checks
// the invariants every caller relies on.

#include "SponsorCore/Language.hpp"
#include "SponsorCore/NativeCopy.hpp"
#include "SponsorCore/PopoverCopy.hpp"
#include "SponsorCore/Unicode.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nimbrella::AppLanguage;
  const std::string_view message(reinterpret_cast<const char*>(data), size);

  if (nimbrella::NativeCopy::text(message, AppLanguage::en) != message) std::abort();

  const auto italian = nimbrella::NativeCopy::text(message, AppLanguage::it);
  if (italian.empty() || !nimbrella::isValidUtf8(italian)) std::abort();
  if (const auto key = nimbrella::NativeCopy::italian(message); key && italian != *key) std::abort();

  std::string appended = "x";
  nimbrella::NativeCopy::appendText(appended, message, AppLanguage::it);
  if (std::string_view(appended).substr(1) != italian) std::abort();

  const auto label = nimbrella::PopoverCopy::text(message, AppLanguage::it);
  if (!nimbrella::PopoverCopy::italian(message) && label != message) std::abort();
  if (nimbrella::PopoverCopy::text(message, AppLanguage::en) != message) std::abort();

  (void)nimbrella::chooseLanguage(message, {});
  return 0;
}
