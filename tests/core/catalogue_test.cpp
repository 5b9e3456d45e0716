#include "SponsorCore/Language.hpp"
#include "SponsorCore/NativeCopy.hpp"
#include "SponsorCore/PopoverCopy.hpp"
#include "SponsorCore/Unicode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nimbrella {
namespace {

using Languages = std::vector<std::string>;

using namespace std::literals;

constexpr auto en = AppLanguage::en;
constexpr auto it = AppLanguage::it;

TEST(Language, OnlyExactCodesParse) {
  EXPECT_EQ(appLanguageFromRawValue("en"), en);
  EXPECT_EQ(appLanguageFromRawValue("it"), it);
  for (const std::string_view other : {""sv, "EN"sv, " it"sv, "it-IT"sv, "fr"sv, "it\0"sv}) {
    EXPECT_FALSE(appLanguageFromRawValue(other).has_value()) << other;
  }
}

TEST(Language, StoredChoiceWinsOnlyWhenItNamesALanguage) {
  const Languages englishSystem{"en-US", "it-IT"};
  const Languages italianSystem{"it-IT", "en-US"};
  EXPECT_EQ(chooseLanguage("it", englishSystem), it);
  EXPECT_EQ(chooseLanguage("en", italianSystem), en);
  for (const std::string_view other : {"fr", "", "IT", "it-IT"}) {
    EXPECT_EQ(chooseLanguage(other, italianSystem), it) << other;
    EXPECT_EQ(chooseLanguage(other, englishSystem), en) << other;
  }
  EXPECT_EQ(chooseLanguage(std::nullopt, italianSystem), it);
  EXPECT_EQ(chooseLanguage(std::nullopt, {}), en);
}

TEST(Language, OnlyTheFirstPreferredLanguageCountsByItsLanguagePart) {
  EXPECT_EQ(systemLanguage(Languages{"it-IT", "en"}), it);
  EXPECT_EQ(systemLanguage(Languages{"en-IT", "it"}), en);
  EXPECT_EQ(systemLanguage(Languages{}), en);
  for (const char* italian : {"it", "it-CH", "it_IT.UTF-8", "it@euro", "IT-it", "ita"}) {
    EXPECT_EQ(systemLanguage(Languages{italian}), it) << italian;
  }
  for (const char* other : {"", "i", "itl", "en", "C", "POSIX", "de-IT", "-it", "_it"}) {
    EXPECT_EQ(systemLanguage(Languages{other, "it"}), en) << other;
  }
}

TEST(PopoverCopy, ItalianComesFromTheTableAndAnyOtherKeyShowsAsItIs) {
  EXPECT_EQ(PopoverCopy::text("Back", it), "Indietro");
  EXPECT_EQ(PopoverCopy::text("Back", en), "Back");
  EXPECT_EQ(PopoverCopy::text("Loading your earnings…", it), "Caricamento dei guadagni…");
  // Keys match exactly: case, the ellipsis character and surrounding space matter.
  for (const std::string_view other : {"back", "Loading your earnings...", "Back ", "Not in the catalogue", ""}) {
    EXPECT_EQ(PopoverCopy::text(other, it), other);
  }
  EXPECT_FALSE(PopoverCopy::italian("Not in the catalogue").has_value());
}

// Shared checks of a catalogue's rows: the expected count, each row found by its
// own key, keys distinct, every text well-formed UTF-8 with typographic apostrophes.
void expectUsableCatalogue(std::span<const CopyEntry> rows, std::size_t count,
                           std::optional<std::string_view> (*lookup)(std::string_view) noexcept) {
  EXPECT_EQ(rows.size(), count);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& row = rows[i];
    EXPECT_EQ(lookup(row.english), row.italian) << row.english;
    if (i > 0) {
      EXPECT_LT(rows[i - 1].english, row.english);
    }
    EXPECT_TRUE(isValidUtf8(row.english) && isValidUtf8(row.italian)) << row.english;
    EXPECT_EQ(row.italian.find('\''), std::string_view::npos) << row.italian;
  }
}

TEST(PopoverCopy, HoldsSeventySixDistinctRowsEachFoundByItsKey) {
  expectUsableCatalogue(PopoverCopy::entries(), 78, &PopoverCopy::italian);
}

TEST(NativeCopy, HoldsSixtySevenDistinctRowsEachFoundByItsKey) {
  expectUsableCatalogue(NativeCopy::entries(), 67, &NativeCopy::italian);
}

TEST(NativeCopy, EnglishIsUnchangedAndItalianKeysMatchExactly) {
  for (const std::string_view message :
       {"The display went to sleep. No reward was submitted."sv, "Anything at all"sv, ""sv, "abc\xFF\xC3"sv}) {
    EXPECT_EQ(NativeCopy::text(message, en), message);
  }
  EXPECT_EQ(NativeCopy::text("The exposure lease expired.", it), "L’autorizzazione dell’esposizione è scaduta.");
  EXPECT_EQ(NativeCopy::text("Nimbrella was quit.", it), "Nimbrella è stato chiuso.");
  // Near misses, popover labels and unknown messages become the generic text.
  EXPECT_EQ(NativeCopy::genericItalian,
            "Operazione non disponibile. Riprova o controlla il collegamento nelle impostazioni.");
  for (const std::string_view other :
       {"the exposure lease expired."sv, "Nimbrella was quit. "sv, "Back"sv, ""sv, "Nimbrella was quit.\0"sv}) {
    EXPECT_EQ(NativeCopy::text(other, it), NativeCopy::genericItalian) << other;
  }
}

TEST(NativeCopy, SuffixesAndPatternRulesCarryOnlyWellFormedText) {
  const std::string noReward = " Nessun guadagno è stato inviato.";
  const std::string unverified = " Nessun guadagno finché la visibilità non è verificata.";
  const std::string generic(NativeCopy::genericItalian);
  const std::string recorded = " recorded for the menu-bar exposure.";
  const std::pair<std::string, std::string> cases[] = {
      // Suffixes are translated after the rest of the message, stacked in either order; the
      // rest goes through every rule, down to the generic text. They must be whole and last.
      {"The display went to sleep. No reward was submitted.", "Lo schermo è andato in stop." + noReward},
      {"The menu-bar item is hidden. No earnings while this is unverified. No reward was submitted.",
       "L’elemento nella barra è nascosto." + unverified + noReward},
      {"The desktop changed. No reward was submitted. No earnings while this is unverified.",
       "La scrivania è cambiata." + noReward + unverified},
      {" No reward was submitted.", generic + noReward},
      {"The server could not complete this request (HTTP 503). No reward was submitted.",
       "Il server non ha completato la richiesta (HTTP 503)." + noReward},
      {"The desktop changed. No reward was submitted", generic},
      {"The desktop changed.No reward was submitted.", generic},
      // Recorded rewards keep the amount before the sentence, contained anywhere; what follows
      // is dropped, and the test-credits rule comes first.
      {"€0.05 in test credits" + recorded, "€0.05 di crediti di prova registrati per l’esposizione nella barra."},
      {"€0.01 in rewards" + recorded + " Extra", "€0.01 di guadagni registrati per l’esposizione nella barra."},
      {"A in rewards" + recorded + " B in test credits" + recorded,
       "A in rewards" + recorded + " B di crediti di prova registrati per l’esposizione nella barra."},
      {"€0.05 in rewards recorded for the menu bar exposure.", generic},
      // Server failures keep their status code, only at the very beginning.
      {"The server could not complete this request (HTTP 418) and more",
       "Il server non ha completato la richiesta (HTTP 418) and more"},
      {"The server could not complete this request.", generic},
      {" The server could not complete this request (HTTP 500).", generic},
      // Text carried over from an ill-formed message would be ill-formed: such rules do not apply.
      {"\xFF in rewards" + recorded, generic},
      {"\xE2\x82 in test credits" + recorded, generic},
      {"The server could not complete this request (HTTP 5\xC0\xAF).", generic},
      {"\xFF\xFE No reward was submitted.", generic + noReward},
      {"€2 in rewards" + recorded + "\xFF", "€2 di guadagni registrati per l’esposizione nella barra."},
  };
  for (const auto& [message, italian] : cases) EXPECT_EQ(NativeCopy::text(message, it), italian) << message;

  // Huge input: a long run of suffixes costs no recursion.
  std::string stacked = "Nimbrella was quit.";
  std::string expected = "Nimbrella è stato chiuso.";
  for (int i = 0; i < 200000; ++i) {
    stacked += NativeCopy::noRewardSubmittedSuffix;
    expected += noReward;
  }
  EXPECT_EQ(NativeCopy::text(stacked, it), expected);
  const std::string amount(1 << 20, '9');
  EXPECT_EQ(NativeCopy::text(amount + " in rewards" + recorded, it),
            amount + " di guadagni registrati per l’esposizione nella barra.");
  EXPECT_EQ(NativeCopy::text(std::string(1 << 20, ' '), it), generic);
}

TEST(NativeCopy, AppendTextKeepsWhatIsAlreadyThere) {
  std::string out = "Status: ";
  NativeCopy::appendText(out, "The display went to sleep.", it);
  EXPECT_EQ(out, "Status: Lo schermo è andato in stop.");
  NativeCopy::appendText(out, " and more", en);
  EXPECT_EQ(out, "Status: Lo schermo è andato in stop. and more");
}

}  // namespace
}  // namespace nimbrella
