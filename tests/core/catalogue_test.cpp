#include "SponsorCore/Language.hpp"
#include "SponsorCore/NativeCopy.hpp"
#include "SponsorCore/PopoverCopy.hpp"
#include "SponsorCore/Unicode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace nimbrella {
namespace {

using Languages = std::vector<std::string>;

constexpr auto en = AppLanguage::en;
constexpr auto it = AppLanguage::it;

TEST(Language, RawValuesRoundTripAndOnlyExactCodesParse) {
  EXPECT_EQ(rawValue(en), "en");
  EXPECT_EQ(rawValue(it), "it");
  EXPECT_EQ(appLanguageFromRawValue("en"), en);
  EXPECT_EQ(appLanguageFromRawValue("it"), it);
  for (const std::string_view other : {"", "EN", "It", " it", "it ", "it-IT", "fr", "english"}) {
    EXPECT_FALSE(appLanguageFromRawValue(other).has_value()) << other;
  }
  EXPECT_FALSE(appLanguageFromRawValue(std::string_view("it\0", 3)).has_value());
  EXPECT_EQ(displayLocaleName(en), "en_GB");
  EXPECT_EQ(displayLocaleName(it), "it_IT");
}

TEST(Language, StoredChoiceWinsOnlyWhenItNamesALanguage) {
  const Languages englishSystem{"en-US", "it-IT"};
  const Languages italianSystem{"it-IT", "en-US"};
  EXPECT_EQ(chooseLanguage("it", englishSystem), it);
  EXPECT_EQ(chooseLanguage("en", italianSystem), en);
  EXPECT_EQ(chooseLanguage("it", {}), it);
  for (const std::string_view other : {"fr", "", "IT", "it-IT", "english"}) {
    EXPECT_EQ(chooseLanguage(other, italianSystem), it) << other;
    EXPECT_EQ(chooseLanguage(other, englishSystem), en) << other;
  }
  EXPECT_EQ(chooseLanguage(std::nullopt, italianSystem), it);
  EXPECT_EQ(chooseLanguage(std::nullopt, englishSystem), en);
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
  EXPECT_EQ(PopoverCopy::text("Open Nimbrella at login", it), "Apri Nimbrella all’accesso");
  EXPECT_EQ(PopoverCopy::text("Test credits · no cash value", it), "Crediti di prova · nessun valore monetario");
  EXPECT_EQ(PopoverCopy::text("Loading your earnings…", it), "Caricamento dei guadagni…");
  EXPECT_EQ(PopoverCopy::text("Paused until %@", it), "In pausa fino al %@");
  EXPECT_EQ(PopoverCopy::text("Tip: Pause sponsors, then hold Command (⌘) and drag the menu bar item to move it.", it),
            "Metti in pausa gli sponsor, poi tieni premuto ⌘ e trascina l’icona per spostarla.");
  EXPECT_EQ(PopoverCopy::text("Account", it), "Account");
  EXPECT_EQ(PopoverCopy::text("SPONSORED", it), "SPONSORIZZATO");
  EXPECT_EQ(PopoverCopy::text("pending", it), "in attesa");
  EXPECT_EQ(PopoverCopy::text("Waiting for a sponsor", it), "In attesa di uno sponsor");

  // Keys match exactly: case, the ellipsis character and surrounding space matter.
  EXPECT_EQ(PopoverCopy::text("back", it), "back");
  EXPECT_EQ(PopoverCopy::text("Loading your earnings...", it), "Loading your earnings...");
  EXPECT_EQ(PopoverCopy::text("Back ", it), "Back ");
  EXPECT_EQ(PopoverCopy::text("Not in the catalogue", it), "Not in the catalogue");
  EXPECT_EQ(PopoverCopy::text("", it), "");
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
  expectUsableCatalogue(PopoverCopy::entries(), 76, &PopoverCopy::italian);
}

TEST(NativeCopy, HoldsSixtySevenDistinctRowsEachFoundByItsKey) {
  expectUsableCatalogue(NativeCopy::entries(), 67, &NativeCopy::italian);
  // The controller's own interrupt reasons, with the suffix an interrupted lease adds.
  EXPECT_EQ(NativeCopy::text("Outside your chosen hours. No reward was submitted.", AppLanguage::it),
            "Fuori dagli orari scelti. Nessun guadagno è stato inviato.");
  EXPECT_EQ(NativeCopy::text("Nimbrella is updating.", AppLanguage::it), "Nimbrella si sta aggiornando.");
}

TEST(NativeCopy, EnglishIsAlwaysTheMessageUnchanged) {
  for (const std::string_view message :
       {"The display went to sleep.", "The display went to sleep. No reward was submitted.",
        "Anything at all", "", "The server could not complete this request (HTTP 500)."}) {
    EXPECT_EQ(NativeCopy::text(message, en), message);
  }
  const std::string illFormed("abc\xFF\xC3", 5);
  EXPECT_EQ(NativeCopy::text(illFormed, en), illFormed);
}

TEST(NativeCopy, TableKeysTranslateExactly) {
  EXPECT_EQ(NativeCopy::text("The exposure lease expired.", it), "L’autorizzazione dell’esposizione è scaduta.");
  EXPECT_EQ(NativeCopy::text("Confirming the menu-bar exposure…", it), "Conferma dell’esposizione nella barra…");
  EXPECT_EQ(NativeCopy::text("Nimbrella was quit.", it), "Nimbrella è stato chiuso.");
  EXPECT_EQ(NativeCopy::text("Admin preview", it), "Anteprima admin");
  EXPECT_EQ(NativeCopy::text("This campaign's daily limit has been reached. Nimbrella will check again later.", it),
            "Limite giornaliero della campagna raggiunto. Nimbrella riproverà.");
  EXPECT_EQ(NativeCopy::text("The network is unavailable. No reward is confirmed; Nimbrella will retry later.", it),
            "Rete non disponibile. Nessun guadagno confermato; Nimbrella riproverà.");
  EXPECT_EQ(NativeCopy::text("Own slot bounds and nine hit-test points pass. This does not prove human attention or "
                             "every pixel.",
                             it),
            "I confini della superficie e nove punti risultano visibili. Questo non prova l’attenzione umana né "
            "ogni singolo pixel.");
  // Near misses are not keys.
  EXPECT_EQ(NativeCopy::text("the exposure lease expired.", it), NativeCopy::genericItalian);
  EXPECT_EQ(NativeCopy::text("Confirming the menu-bar exposure...", it), NativeCopy::genericItalian);
  EXPECT_EQ(NativeCopy::text("Nimbrella was quit. ", it), NativeCopy::genericItalian);
}

TEST(NativeCopy, SuffixesAreTranslatedAfterTheRestOfTheMessage) {
  const std::string noReward = " Nessun guadagno è stato inviato.";
  const std::string unverified = " Nessun guadagno finché la visibilità non è verificata.";
  ASSERT_EQ(NativeCopy::suffixes().size(), 2u);
  EXPECT_EQ(NativeCopy::suffixes()[0].english, NativeCopy::noRewardSubmittedSuffix);
  EXPECT_EQ(NativeCopy::suffixes()[0].italian, noReward);
  EXPECT_EQ(NativeCopy::suffixes()[1].english, NativeCopy::unverifiedSuffix);
  EXPECT_EQ(NativeCopy::suffixes()[1].italian, unverified);

  EXPECT_EQ(NativeCopy::text("The display went to sleep. No reward was submitted.", it),
            "Lo schermo è andato in stop." + noReward);
  EXPECT_EQ(NativeCopy::text("The menu-bar item is hidden. No earnings while this is unverified.", it),
            "L’elemento nella barra è nascosto." + unverified);
  // Stacked suffixes, each translated in place, in either order.
  EXPECT_EQ(NativeCopy::text("The menu-bar item is hidden. No earnings while this is unverified. No reward was "
                             "submitted.",
                             it),
            "L’elemento nella barra è nascosto." + unverified + noReward);
  EXPECT_EQ(NativeCopy::text("The desktop changed. No reward was submitted. No earnings while this is unverified.", it),
            "La scrivania è cambiata." + noReward + unverified);
  // The rest of the message goes through every rule, down to the generic text.
  EXPECT_EQ(NativeCopy::text("Outside the rules. No reward was submitted.", it),
            std::string(NativeCopy::genericItalian) + noReward);
  EXPECT_EQ(NativeCopy::text(" No reward was submitted.", it), std::string(NativeCopy::genericItalian) + noReward);
  EXPECT_EQ(NativeCopy::text("The server could not complete this request (HTTP 503). No reward was submitted.", it),
            "Il server non ha completato la richiesta (HTTP 503)." + noReward);
  // A suffix must be whole and at the very end.
  EXPECT_EQ(NativeCopy::text("The desktop changed. No reward was submitted", it), NativeCopy::genericItalian);
  EXPECT_EQ(NativeCopy::text("The desktop changed.No reward was submitted.", it), NativeCopy::genericItalian);
}

TEST(NativeCopy, RecordedRewardsKeepTheAmountBeforeTheSentence) {
  EXPECT_EQ(NativeCopy::text("€0.05 in test credits recorded for the menu-bar exposure.", it),
            "€0.05 di crediti di prova registrati per l’esposizione nella barra.");
  EXPECT_EQ(NativeCopy::text("€1,234.50 in rewards recorded for the menu-bar exposure.", it),
            "€1,234.50 di guadagni registrati per l’esposizione nella barra.");
  // Contained, not only at the end: what follows the sentence is not carried over.
  EXPECT_EQ(NativeCopy::text("€0.01 in rewards recorded for the menu-bar exposure. Extra", it),
            "€0.01 di guadagni registrati per l’esposizione nella barra.");
  // The test-credits rule comes first.
  EXPECT_EQ(NativeCopy::text("A in rewards recorded for the menu-bar exposure. B in test credits recorded for the "
                             "menu-bar exposure.",
                             it),
            "A in rewards recorded for the menu-bar exposure. B di crediti di prova registrati per l’esposizione "
            "nella barra.");
  EXPECT_EQ(NativeCopy::text("€0.05 in rewards recorded for the menu bar exposure.", it), NativeCopy::genericItalian);
}

TEST(NativeCopy, ServerFailuresKeepTheirStatusCode) {
  EXPECT_EQ(NativeCopy::text("The server could not complete this request (HTTP 500).", it),
            "Il server non ha completato la richiesta (HTTP 500).");
  EXPECT_EQ(NativeCopy::text("The server could not complete this request (HTTP 418) and more", it),
            "Il server non ha completato la richiesta (HTTP 418) and more");
  // Only at the beginning and only with the status code opening.
  EXPECT_EQ(NativeCopy::text("The server could not complete this request.", it), NativeCopy::genericItalian);
  EXPECT_EQ(NativeCopy::text(" The server could not complete this request (HTTP 500).", it),
            NativeCopy::genericItalian);
}

TEST(NativeCopy, UnknownMessagesBecomeTheGenericItalianText) {
  EXPECT_EQ(NativeCopy::genericItalian,
            "Operazione non disponibile. Riprova o controlla il collegamento nelle impostazioni.");
  EXPECT_EQ(NativeCopy::text("Something unexpected happened.", it), NativeCopy::genericItalian);
  EXPECT_EQ(NativeCopy::text("", it), NativeCopy::genericItalian);
  EXPECT_EQ(NativeCopy::text(std::string_view("Nimbrella was quit.\0", 20), it), NativeCopy::genericItalian);
  // Popover labels are not controller messages.
  EXPECT_EQ(NativeCopy::text("Back", it), NativeCopy::genericItalian);
}

TEST(NativeCopy, ItalianResultIsWellFormedForIllFormedOrHugeInput) {
  // Text carried over from an ill-formed message would be ill-formed: such rules do not apply.
  EXPECT_EQ(NativeCopy::text("\xFF in rewards recorded for the menu-bar exposure.", it), NativeCopy::genericItalian);
  EXPECT_EQ(NativeCopy::text("\xE2\x82 in test credits recorded for the menu-bar exposure.", it),
            NativeCopy::genericItalian);
  EXPECT_EQ(NativeCopy::text("The server could not complete this request (HTTP 5\xC0\xAF).", it),
            NativeCopy::genericItalian);
  EXPECT_EQ(NativeCopy::text("\xFF\xFE No reward was submitted.", it),
            std::string(NativeCopy::genericItalian) + " Nessun guadagno è stato inviato.");
  // Ill-formed bytes after the recorded sentence are dropped, not carried.
  EXPECT_EQ(NativeCopy::text("€2 in rewards recorded for the menu-bar exposure.\xFF", it),
            "€2 di guadagni registrati per l’esposizione nella barra.");

  // A very long run of suffixes costs no recursion.
  std::string stacked = "Nimbrella was quit.";
  std::string expected = "Nimbrella è stato chiuso.";
  for (int i = 0; i < 200000; ++i) {
    stacked += NativeCopy::noRewardSubmittedSuffix;
    expected += " Nessun guadagno è stato inviato.";
  }
  EXPECT_EQ(NativeCopy::text(stacked, it), expected);

  const std::string amount(1 << 20, '9');
  const auto long_ = NativeCopy::text(amount + " in rewards recorded for the menu-bar exposure.", it);
  EXPECT_EQ(long_, amount + " di guadagni registrati per l’esposizione nella barra.");
  EXPECT_EQ(NativeCopy::text(std::string(1 << 20, ' '), it), NativeCopy::genericItalian);
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
