#include "SponsorCore/Unicode.hpp"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
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

namespace {

// The number of characters when no break rule can join two code points of the text:
// each has the grapheme break property Other, Control or LF, or is a CR, which joins
// only the LF after it. Empty when the text is ill-formed or holds a code point that a
// rule may join (marks, joiners, regional indicators, Hangul jamo, prepended marks),
// which the segmenter counts.
std::optional<std::size_t> countWithoutSegmenter(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::size_t count = 0;
  UChar32 previous = -1;
  for (std::int32_t offset = 0; offset < length;) {
    UChar32 c;
    U8_NEXT(bytes, offset, length, c);
    if (c < 0) return std::nullopt;
    if (c != '\n' || previous != '\r') ++count;
    previous = c;
    if (c >= 0x20 && c < 0x7F) continue;
    const auto property = u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK);
    if (property != U_GCB_OTHER && property != U_GCB_CONTROL && property != U_GCB_LF && property != U_GCB_CR) {
      return std::nullopt;
    }
  }
  return count;
}

}  // namespace

std::optional<std::size_t> graphemeCount(std::string_view utf8) {
  if (utf8.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
  if (const auto simple = countWithoutSegmenter(utf8)) return simple;
  if (!isValidUtf8(utf8)) return std::nullopt;
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
