#include "SponsorCore/Base64.hpp"
#include "SponsorCore/Unicode.hpp"
#include "SponsorCore/Uuid.hpp"

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

// Combining accents, flags and ill-formed text are counted by the lease and menu-bar tests.
TEST(Unicode, CountsGraphemeClustersAndRefusesIllFormedUtf8) {
  EXPECT_EQ(graphemeCount("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"), 1u);  // thumbs up + skin tone
  EXPECT_EQ(graphemeCount("\r\n\xC3\xA8"), 2u);
  // Code points that no rule joins count one each; any that a rule may join is segmented:
  // Hangul jamo L V T, a regional-indicator pair, a spacing mark, a prepended mark. A CR
  // joins only the LF after it.
  for (const auto& [text, count] : std::initializer_list<std::pair<const char*, std::size_t>>{
           {"\xC3\xA8\xE4\xB8\xAD\xF0\x9F\x98\x80", 3}, {"a\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", 2},
           {"\xF0\x9F\x87\xAE\xF0\x9F\x87\xB9", 1}, {"\xE0\xA4\x95\xE0\xA4\xBF", 1},
           {"\xD8\x80\xD9\xA1", 1}, {"a\r\n\r\t\n", 5}}) {
    EXPECT_EQ(graphemeCount(text), count) << text;
  }
  EXPECT_EQ(graphemeCount(""), 0u);
  EXPECT_FALSE(graphemeCount("\xED\xA0\x80") || graphemeCount("\xC0\xAF"));  // encoded surrogate, overlong
  EXPECT_TRUE(isValidUtf8(std::string_view("a\0b", 3)));
}

TEST(Uuid, AcceptsOnlyTheHyphenatedThirtySixCharacterForm) {
  EXPECT_TRUE(isUuidText("123e4567-e89b-12d3-a456-426614174000") && isUuidText("123E4567-E89B-12D3-A456-426614174000"));
  for (const char* text : {"123e4567e89b12d3a456426614174000", "123e4567-e89b-12d3-a456-42661417400g",
                           "123e4567-e89b-12d3-a456_426614174000"}) {
    EXPECT_FALSE(isUuidText(text)) << text;
  }
}

TEST(Base64, EncodesStandardPaddedTextAndDecodesOnlyThat) {
  using Bytes = std::vector<std::uint8_t>;
  for (const auto& [bytes, text] : {std::pair{Bytes{}, ""}, {Bytes{'f'}, "Zg=="}, {Bytes{'f', 'o'}, "Zm8="},
                                    {Bytes{'f', 'o', 'o'}, "Zm9v"}, {Bytes{0xFB, 0xFF, 0xBF}, "+/+/"}}) {
    EXPECT_EQ(base64::encode(bytes), text);
    EXPECT_EQ(base64::decode(text), bytes) << text;
  }
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(base64::decode(base64::encode(all)), all);
  // Wrong length, padding inside or too much of it, another alphabet, bits left over.
  for (const char* text : {"YWI", "YW=j", "YQ==YWJj", "Y===", "-_-_", "YR==", "YWJ="}) {
    EXPECT_EQ(base64::decode(text), std::nullopt) << text;
  }
  EXPECT_EQ(base64::decode(std::string_view("YW\0j", 4)), std::nullopt);
}

}  // namespace
}  // namespace nimbrella
