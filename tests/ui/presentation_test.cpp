// The popover's presentation: the state order, the texts per state and language, the
// pause end's formats, the hide-sponsor rule, the card colours and the size rules.

#include "SponsorApp/ui/PopoverPresentation.hpp"
#include "SponsorCore/PlatformText.hpp"
#include "SponsorCore/InternetDate.hpp"
#include "controller/support/ControllerTest.hpp"

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

PopoverPresentation presentation(bool paired, bool consent, bool paused, bool creative, bool preview = false) {
  PopoverPresentation p;
  p.isPaired = paired;
  p.consent = consent;
  p.paused = paused;
  if (creative) p.creative = SponsorCreative{};
  p.isPreview = preview;
  return p;
}

TEST(PopoverPresentationTest, TheStateIsTheFirstCaseThatHolds) {
  const std::vector<std::pair<PopoverPresentation, SponsorState>> cases = {
      {presentation(false, true, true, true, true), SponsorState::signInRequired},
      {presentation(true, false, true, true), SponsorState::sponsorsDisabled},
      {presentation(true, true, true, true), SponsorState::sponsorsPaused},
      {presentation(true, true, false, false), SponsorState::waitingForSponsor},
      {presentation(true, true, false, true, true), SponsorState::sponsorPreview},
      {presentation(true, true, false, true), SponsorState::sponsorsEnabled},
  };
  for (const auto& [p, state] : cases) EXPECT_EQ(p.state(), state);
}

TEST(PopoverPresentationTest, TitlesAndDetailsInBothLanguages) {
  const PopoverText en(AppLanguage::en, Calendar("Europe/Rome"));
  const PopoverText it(AppLanguage::it, Calendar("Europe/Rome"));
  PopoverPresentation paused = presentation(true, true, true, false);
  EXPECT_EQ(en.title(paused), "Sponsors paused");
  EXPECT_EQ(it.detail(paused), "Gli sponsor restano in pausa finché scegli di riprendere.");
  // 2025-03-04 18:30 in Rome.
  paused.snoozedUntil = *parseInternetDate("2025-03-04T17:30:00Z");
  EXPECT_EQ(en.title(paused), "Paused until 04/03/2025, 18:30");
  EXPECT_EQ(it.title(paused), "In pausa fino al 04/03/25, 18:30");
  EXPECT_EQ(en.detail(paused), "Sponsors will resume automatically. You can also resume now.");

  PopoverPresentation waiting = presentation(true, true, false, false);
  EXPECT_EQ(it.title(waiting), "In attesa di uno sponsor");
  waiting.preferenceStatus = "Outside your chosen hours";
  EXPECT_EQ(en.title(waiting), "Outside your chosen hours");
  EXPECT_EQ(en.detail(waiting),
            "You can change your choices in Sponsors and hours. A manual pause always stays in effect.");
  EXPECT_EQ(it.detail(waiting), "Puoi modificare le tue scelte in Sponsor e orari. La pausa manuale resta sempre valida.");

  EXPECT_EQ(en.title(presentation(true, true, false, true, true)), "Sponsor preview");
  EXPECT_EQ(it.title(presentation(true, true, false, true)), "Conteggio sospeso nel popup");
  EXPECT_EQ(en.detail(presentation(false, false, false, false)), "");
  EXPECT_EQ(it.connectionText(false), "Accedi per collegare questo computer e iniziare a usare Nimbrella.");
  EXPECT_EQ(en.connectButton(true), "Continue in browser");
  EXPECT_EQ(it.copy(pauseDurations[3].label), "Fino a domani");
}

TEST(PopoverPresentationTest, SizeFollowsThePairingStateAndTheScreen) {
  using S = PopoverSize;
  EXPECT_EQ(popoverSize(true, false, false, S{1280, 776}), (S{400, 520}));
  EXPECT_EQ(popoverSize(true, false, false, S{380, 300}), (S{356, 268}));
  EXPECT_EQ(popoverSize(false, false, false, S{1280, 776}), (S{400, 280}));
  EXPECT_EQ(popoverSize(false, true, true, S{1280, 776}), (S{400, 372}));
  EXPECT_EQ(popoverSize(true, false, false, std::nullopt), (S{400, 520}));
  EXPECT_EQ(popoverSize(false, false, true, std::nullopt), (S{400, 336}));
}

TEST(PopoverPresentationTest, TheCardUsesAValidAccentWithTheMoreContrastingText) {
  EXPECT_EQ(cardColors(std::string("#F2B84B")), (CardColors{"#F2B84B", "#000000"}));
  EXPECT_EQ(cardColors(std::string("#1F3A8A")), (CardColors{"#1F3A8A", "#FFFFFF"}));
  for (const char* invalid : {"F2B84B", "#F2B84", "#F2B84BAA", "#GGGGGG"}) {
    EXPECT_EQ(cardColors(std::string(invalid)).background, "#202923") << invalid;
  }
  EXPECT_EQ(cardColors(std::nullopt), (CardColors{"#202923", "#FFFFFF"}));
}

// The states copied from the controller are the popover desktop test's.
TEST(PopoverPresentationTest, TheConnectionErrorIsCopiedInTheUsersLanguage) {
  simulation::World other;
  other.defaults->setText("appLanguage", "it");
  AppModel& unpaired = other.build();
  other.secrets->failWrites = true;
  unpaired.connectInBrowser();
  other.settle();
  EXPECT_EQ(PopoverPresentation::from(unpaired).connectionError,
            "Portachiavi non disponibile. Sbloccalo e riprova; le credenziali non sono state salvate altrove.");
}

TEST(PopoverPresentationTest, ADesktopThatRefusesSponsorsIsNeverAskedForOneAndSaysWhy) {
  simulation::World world;
  world.storePairing();
  world.storeConsent();
  world.monitor->refusal = DesktopRefusal::shellOwnsTopBar;
  world.defaults->setText("appLanguage", "it");
  AppModel& model = world.build();
  model.start();
  world.advance(5);
  EXPECT_EQ(world.server->count(simulation::startPath), 0u);
  EXPECT_EQ(model.message(), platformText::shellOwnsTopBar.english);
  const PopoverText it(AppLanguage::it, Calendar("UTC"));
  const PopoverPresentation shown = PopoverPresentation::from(model);
  EXPECT_EQ(it.title(shown), "Sponsor non disponibili su questa scrivania");
  EXPECT_EQ(it.detail(shown), platformText::shellOwnsTopBar.italian);
  world.monitor->refusal = DesktopRefusal::none;
  world.advance(0.25);
  EXPECT_EQ(world.server->count(simulation::startPath), 1u);
}

}  // namespace
}  // namespace nimbrella
