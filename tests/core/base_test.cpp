#include "SponsorCore/Base64.hpp"
#include "SponsorCore/SponsorFilters.hpp"
#include "SponsorCore/Unicode.hpp"
#include "SponsorCore/Uuid.hpp"

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

TEST(Unicode, CountsGraphemeClustersNotBytesOrCodePoints) {
  EXPECT_EQ(graphemeCount(""), 0u);
  EXPECT_EQ(graphemeCount("abc"), 3u);
  EXPECT_EQ(graphemeCount("caf\xC3\xA9"), 4u);                       // é precomposed
  EXPECT_EQ(graphemeCount("cafe\xCC\x81"), 4u);                      // e + combining acute
  EXPECT_EQ(graphemeCount("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"), 1u);  // thumbs up + skin tone
  EXPECT_EQ(graphemeCount("\xF0\x9F\x87\xAE\xF0\x9F\x87\xB9"), 1u);  // flag: two regional indicators
  EXPECT_EQ(graphemeCount("\r\n"), 1u);
}

TEST(Unicode, RefusesIllFormedUtf8) {
  EXPECT_FALSE(graphemeCount("\xC3").has_value());
  EXPECT_FALSE(graphemeCount("a\xFF" "b").has_value());
  EXPECT_FALSE(graphemeCount("\xED\xA0\x80").has_value());  // encoded surrogate
  EXPECT_FALSE(graphemeCount("\xC0\xAF").has_value());      // overlong
  EXPECT_TRUE(isValidUtf8(std::string_view("a\0b", 3)));
}

TEST(Uuid, AcceptsOnlyTheHyphenatedThirtySixCharacterForm) {
  EXPECT_TRUE(isUuidText("123e4567-e89b-12d3-a456-426614174000"));
  EXPECT_TRUE(isUuidText("123E4567-E89B-12D3-A456-426614174000"));
  EXPECT_FALSE(isUuidText("123e4567e89b12d3a456426614174000"));
  EXPECT_FALSE(isUuidText("{123e4567-e89b-12d3-a456-426614174000}"));
  EXPECT_FALSE(isUuidText("123e4567-e89b-12d3-a456-42661417400g"));
  EXPECT_FALSE(isUuidText("123e4567-e89b-12d3-a456_426614174000"));
  EXPECT_FALSE(isUuidText(" 23e4567-e89b-12d3-a456-426614174000"));
  EXPECT_FALSE(isUuidText(""));
}

TEST(Base64, DecodesOnlyStrictPaddedStandardAlphabet) {
  EXPECT_EQ(base64::decode("YWJj"), std::vector<std::uint8_t>({'a', 'b', 'c'}));
  EXPECT_EQ(base64::decode("YWI="), std::vector<std::uint8_t>({'a', 'b'}));
  EXPECT_EQ(base64::decode("YQ=="), std::vector<std::uint8_t>({'a'}));
  EXPECT_EQ(base64::decode("+/+/"), std::vector<std::uint8_t>({0xFB, 0xFF, 0xBF}));
  EXPECT_EQ(base64::decode(""), std::vector<std::uint8_t>());
  for (const char* text : {"YWI", "YQ", "YQ=", "YQ===", "Y===", "YQ==YWJj", "YW=j", "-_-_", "YWJj\n", "YR==", "YWJ=",
                           "YWI=YWJj", "===="}) {
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
