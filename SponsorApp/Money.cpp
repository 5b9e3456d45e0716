#include "SponsorApp/Money.hpp"

#include <unicode/unum.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <array>
#include <memory>

namespace nimbrella {

namespace {

constexpr const char* fallback = "\xE2\x82\xAC";  // €

struct FormatCloser {
  void operator()(UNumberFormat* format) const noexcept { unum_close(format); }
};

}  // namespace

std::string formatMoney(std::int64_t micros, AppLanguage language) {
  UErrorCode status = U_ZERO_ERROR;
  const char* locale = language == AppLanguage::it ? "it_IT" : "en_IE";
  std::unique_ptr<UNumberFormat, FormatCloser> format(unum_open(UNUM_CURRENCY, nullptr, 0, locale, nullptr, &status));
  if (U_FAILURE(status) || !format) return fallback;

  static constexpr std::array<UChar, 4> euro = {u'E', u'U', u'R', 0};
  unum_setTextAttribute(format.get(), UNUM_CURRENCY_CODE, euro.data(), 3, &status);
  if (U_FAILURE(status)) return fallback;
  unum_setAttribute(format.get(), UNUM_MIN_FRACTION_DIGITS, 2);
  unum_setAttribute(format.get(), UNUM_MAX_FRACTION_DIGITS, 2);

  // Whole units and the remainder are split first so large balances keep every digit
  // that a double can hold for the two decimals shown.
  const double amount = static_cast<double>(micros / 1'000'000) + static_cast<double>(micros % 1'000'000) / 1e6;
  std::array<UChar, 128> buffer{};
  const int32_t length = unum_formatDouble(format.get(), amount, buffer.data(), static_cast<int32_t>(buffer.size()),
                                           nullptr, &status);
  if (U_FAILURE(status) || length <= 0 || length >= static_cast<int32_t>(buffer.size())) return fallback;

  std::array<char, 512> utf8{};
  int32_t written = 0;
  u_strToUTF8(utf8.data(), static_cast<int32_t>(utf8.size()), &written, buffer.data(), length, &status);
  if (U_FAILURE(status) || written <= 0 || written >= static_cast<int32_t>(utf8.size())) return fallback;
  return std::string(utf8.data(), static_cast<std::size_t>(written));
}

}  // namespace nimbrella
