#include "SponsorCore/Base64.hpp"
#include "SponsorCore/SponsorFilters.hpp"
#include "SponsorCore/Unicode.hpp"
#include "SponsorCore/Uuid.hpp"

#include <gtest/gtest.h>

#include <utility>

namespace nimbrella {
namespace {

TEST(Unicode, CountsGraphemeClustersAndRefusesIllFormedUtf8) {
  const std::pair<std::string_view, std::optional<std::size_t>> cases[] = {
      {"", 0}, {"abc", 3}, {"cafe\xCC\x81", 4},  // combining accent
      {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 1},   // thumbs up + skin tone
      {"\xF0\x9F\x87\xAE\xF0\x9F\x87\xB9", 1},   // flag: two regional indicators
      {"\r\n", 1}, {"a\xFF" "b", std::nullopt}, {"\xED\xA0\x80", std::nullopt} /* encoded surrogate */,
      {"\xC0\xAF", std::nullopt} /* overlong */,
  };
  for (const auto& [text, count] : cases) EXPECT_EQ(graphemeCount(text), count) << text;
  EXPECT_TRUE(isValidUtf8(std::string_view("a\0b", 3)));
}

TEST(Uuid, AcceptsOnlyTheHyphenatedThirtySixCharacterForm) {
  EXPECT_TRUE(isUuidText("123e4567-e89b-12d3-a456-426614174000"));
  EXPECT_TRUE(isUuidText("123E4567-E89B-12D3-A456-426614174000"));
  for (const char* text : {"123e4567e89b12d3a456426614174000", "{123e4567-e89b-12d3-a456-426614174000}",
                           "123e4567-e89b-12d3-a456-42661417400g", "123e4567-e89b-12d3-a456_426614174000"}) {
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

TEST(SponsorFilters, AlwaysWritesBothKeysInOrder) {
  EXPECT_EQ(SponsorFilters{}.toJson().dump(), R"({"blockedAdvertiserIds":[],"allowedCategories":[]})");
  SponsorFilters filters{{"a"}, {"business", "other"}};
  EXPECT_EQ(filters.toJson().dump(), R"({"blockedAdvertiserIds":["a"],"allowedCategories":["business","other"]})");
}

}  // namespace
}  // namespace nimbrella
