// Euro amounts in the two languages.

#include "SponsorApp/Money.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace nimbrella {
namespace {

TEST(MoneyTest, EurosWithTwoDecimalsInTheConventionsOfEachLanguage) {
  EXPECT_EQ(formatMoney(1'234'567'890, AppLanguage::en), "\xE2\x82\xAC" "1,234.57");
  EXPECT_EQ(formatMoney(-2'000'000, AppLanguage::en), "-\xE2\x82\xAC" "2.00");
  // Italian: comma decimals, the symbol after a no-break space.
  EXPECT_EQ(formatMoney(1'234'567'890, AppLanguage::it), "1.234,57\xC2\xA0\xE2\x82\xAC");
  // The extremes still give a text with every whole unit.
  EXPECT_EQ(formatMoney(std::numeric_limits<std::int64_t>::max(), AppLanguage::en).substr(0, 19),
            "\xE2\x82\xAC" "9,223,372,036,85");
}

}  // namespace
}  // namespace nimbrella
