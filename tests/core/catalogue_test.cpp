#include "SponsorCore/Language.hpp"
#include "SponsorCore/NativeCopy.hpp"
#include "SponsorCore/PopoverCopy.hpp"
#include "SponsorCore/Unicode.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbrella {
namespace {

using Languages = std::vector<std::string>;
constexpr auto en = AppLanguage::en;
constexpr auto it = AppLanguage::it;

TEST(Language, StoredExactCodeWinsElseTheFirstPreferredLanguageByItsLanguagePart) {
  EXPECT_EQ(chooseLanguage("it", Languages{"en-US"}), it);
  EXPECT_EQ(chooseLanguage("it-IT", Languages{"en-US"}), en);
  EXPECT_EQ(chooseLanguage("en", Languages{"it-IT"}), en);
  EXPECT_EQ(chooseLanguage("IT", Languages{"en-US", "it"}), en);
  EXPECT_EQ(chooseLanguage(std::nullopt, Languages{"it-IT"}), it);
  EXPECT_EQ(chooseLanguage(std::nullopt, {}), en);
  for (const char* italian : {"it", "it_IT.UTF-8", "it@euro", "IT-it", "ita"}) {
    EXPECT_EQ(systemLanguage(Languages{italian}), it) << italian;
  }
  for (const char* other : {"", "itl", "de-IT", "-it"}) EXPECT_EQ(systemLanguage(Languages{other, "it"}), en) << other;
}

TEST(Catalogues, EveryRowIsFoundByItsKeyAndAnyOtherPopoverKeyShowsAsItIs) {
  EXPECT_EQ(PopoverCopy::text("Back", it), "Indietro");
  EXPECT_EQ(PopoverCopy::text("Back", en), "Back");
  EXPECT_EQ(PopoverCopy::text("Loading your earnings…", it), "Caricamento dei guadagni…");
  for (const char* other : {"back", "Loading your earnings...", "Not in the catalogue"}) {
    EXPECT_EQ(PopoverCopy::text(other, it), other);
  }
  // Every row of both catalogues is found by its key and is well-formed typographic text.
  for (const auto& [rows, lookup] : {std::pair{PopoverCopy::entries(), &PopoverCopy::italian},
                                     std::pair{NativeCopy::entries(), &NativeCopy::italian}}) {
    for (const auto& row : rows) {
      EXPECT_EQ(lookup(row.english), row.italian) << row.english;
      EXPECT_TRUE(isValidUtf8(row.english) && isValidUtf8(row.italian)) << row.english;
      EXPECT_EQ(row.italian.find('\''), std::string_view::npos) << row.italian;
    }
  }
}

TEST(NativeCopy, EnglishIsUnchangedAndItalianKeysMatchExactly) {
  EXPECT_EQ(NativeCopy::text("abc\xFF\xC3", en), "abc\xFF\xC3");
  EXPECT_EQ(NativeCopy::text("The exposure lease expired.", it), "L’autorizzazione dell’esposizione è scaduta.");
  EXPECT_EQ(NativeCopy::genericItalian,
            "Operazione non disponibile. Riprova o controlla il collegamento nelle impostazioni.");
  for (const char* other : {"the exposure lease expired.", "Nimbrella was quit. ", "Back"}) {
    EXPECT_EQ(NativeCopy::text(other, it), NativeCopy::genericItalian) << other;
  }
  std::string out = "Status: ";  // appending keeps what is already there
  NativeCopy::appendText(out, "The display went to sleep.", it);
  NativeCopy::appendText(out, " and more", en);
  EXPECT_EQ(out, "Status: Lo schermo è andato in stop. and more");
}

TEST(NativeCopy, SuffixesAndPatternRulesCarryOnlyWellFormedText) {
  const std::string noReward = " Nessun guadagno è stato inviato.";
  const std::string unverified = " Nessun guadagno finché la visibilità non è verificata.";
  const std::string generic(NativeCopy::genericItalian);
  const std::string recorded = " recorded for the menu-bar exposure.";
  const std::string recordedItalian = " registrati per l’esposizione nella barra.";
  const std::pair<std::string, std::string> cases[] = {
      // Suffixes are translated after the rest of the message, stacked in either order; the
      // rest goes through every rule, down to the generic text. They must be whole and last.
      {"The display went to sleep. No reward was submitted.", "Lo schermo è andato in stop." + noReward},
      {"The menu-bar item is hidden. No earnings while this is unverified. No reward was submitted.",
       "L’elemento nella barra è nascosto." + unverified + noReward},
      {" No reward was submitted.", generic + noReward},
      {"The desktop changed. No reward was submitted", generic},
      // Recorded rewards keep the amount before the sentence, contained anywhere; what follows
      // is dropped, and the test-credits rule comes first.
      {"€0.05 in test credits" + recorded, "€0.05 di crediti di prova" + recordedItalian},
      {"€0.01 in rewards" + recorded + " Extra", "€0.01 di guadagni" + recordedItalian},
      {"A in rewards" + recorded + " B in test credits" + recorded,
       "A in rewards" + recorded + " B di crediti di prova" + recordedItalian},
      // Server failures keep their status code, only at the very beginning.
      {"The server could not complete this request (HTTP 418) and more",
       "Il server non ha completato la richiesta (HTTP 418) and more"},
      {"The server could not complete this request.", generic},
      // Text carried over from an ill-formed message would be ill-formed: such rules do not apply.
      {"\xFF in rewards" + recorded, generic},
      {"The server could not complete this request (HTTP 5\xC0\xAF).", generic},
  };
  for (const auto& [message, italian] : cases) EXPECT_EQ(NativeCopy::text(message, it), italian) << message;
  // A long run of suffixes costs no recursion.
  std::string stacked = "Nimbrella was quit.", expected = "Nimbrella è stato chiuso.";
  for (int i = 0; i < 200000; ++i) {
    stacked += NativeCopy::noRewardSubmittedSuffix;
    expected += noReward;
  }
  EXPECT_EQ(NativeCopy::text(stacked, it), expected);
}

}  // namespace
}  // namespace nimbrella
