#include "SponsorCore/Unicode.hpp"

#include <unicode/brkiter.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>

namespace nimbrella {

bool isValidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  std::int32_t offset = 0;
  while (offset < length) {
    UChar32 c;
    U8_NEXT(bytes, offset, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::optional<std::size_t> graphemeCount(std::string_view utf8) {
  if (!isValidUtf8(utf8)) return std::nullopt;
  if (utf8.empty()) return 0;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, decltype(&utext_close)> text(
      utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status), &utext_close);
  if (U_FAILURE(status)) return std::nullopt;
  // Creating a break iterator is costly; one per thread is kept and reset for each text.
  thread_local std::unique_ptr<icu::BreakIterator> iterator;
  if (!iterator) {
    status = U_ZERO_ERROR;
    iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) {
      iterator.reset();
      return std::nullopt;
    }
  }
  status = U_ZERO_ERROR;
  iterator->setText(text.get(), status);
  if (U_FAILURE(status)) return std::nullopt;
  std::size_t count = 0;
  for (auto boundary = iterator->next(); boundary != icu::BreakIterator::DONE; boundary = iterator->next()) {
    ++count;
  }
  // Detach the iterator from the UText that is about to be closed.
  static const icu::UnicodeString empty;
  iterator->setText(empty);
  return count;
}

}  // namespace nimbrella
