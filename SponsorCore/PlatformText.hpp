#pragma once

// Every user-visible text that names the desktop platform, in one table: the computer,
// its keyring and the way the status item is moved. The catalogues, the controller,
// the server client and the vault take these texts from here, so a wording change for
// the platform is made in this file alone.

#include "SponsorCore/Language.hpp"

#include <string_view>

namespace nimbrella::platformText {

// The name this computer gives itself when it asks to be connected.
inline constexpr std::string_view deviceName = "My computer";

inline constexpr CopyEntry connected{
    "Connected. Sponsored text runs in the menu bar when enabled.",
    "Computer collegato. Gli sponsor appaiono nella barra quando li attivi."};
inline constexpr CopyEntry connectedEnabled{
    "Connected. Sponsors are enabled. Close this popover to start.",
    "Computer collegato. Sponsor abilitati. Chiudi il popup per iniziare."};
inline constexpr CopyEntry approveInBrowser{
    "Finish signing in and approve this computer in your browser.",
    "Completa l’accesso e autorizza questo computer nel browser."};
inline constexpr CopyEntry reconnect{
    "This computer needs to be paired again.",
    "Collega nuovamente questo computer."};
inline constexpr CopyEntry disconnectFirst{
    "Forget this computer before changing its server.",
    "Scollega questo computer prima di cambiare server."};
inline constexpr CopyEntry notAuthorized{
    "This computer is not authorized. Pair again from your dashboard.",
    "Questo computer non è autorizzato. Ripeti il collegamento dalla dashboard."};
inline constexpr CopyEntry paymentsUnavailable{
    "Paid sponsorships are not active yet. Your computer remains connected.",
    "Le sponsorizzazioni a pagamento non sono ancora attive. Il computer resta collegato."};
inline constexpr CopyEntry deviceReviewRequired{
    "This computer is connected but not yet approved for paid exposures. Check your dashboard later.",
    "Questo computer è collegato ma non ancora approvato per esposizioni a pagamento. Controlla più tardi la "
    "dashboard."};
inline constexpr CopyEntry inactiveTooLong{
    "The computer has been inactive for more than five minutes.",
    "Il computer è inattivo da oltre cinque minuti."};
inline constexpr CopyEntry keyringUnavailable{
    "The keyring is unavailable. Unlock your login keyring and try again; secrets were not saved elsewhere.",
    "Portachiavi non disponibile. Sbloccalo e riprova; le credenziali non sono state salvate altrove."};

// Popover and window texts.
inline constexpr CopyEntry moveItemTip{
    "Tip: Pause sponsors, then hold Alt and drag the menu bar item to move it.",
    "Metti in pausa gli sponsor, poi tieni premuto Alt e trascina l’icona per spostarla."};
inline constexpr CopyEntry approveThisComputer{
    "Approve this computer in your browser. It will connect automatically.",
    "Conferma questo computer nel browser. Si collegherà automaticamente."};
inline constexpr CopyEntry signInToConnect{
    "Sign in to connect this computer and start using Nimbrella.",
    "Accedi per collegare questo computer e iniziare a usare Nimbrella."};
inline constexpr CopyEntry preferencesIntro{
    "Your choices apply on this computer and save immediately. Change them whenever you like.",
    "Le tue scelte valgono su questo computer e si salvano subito. Puoi cambiarle quando vuoi."};
inline constexpr CopyEntry localTime{
    "Computer local time:",
    "Ora locale del computer:"};

// Desktops on which no sponsor may run, and what the popover says about them.
inline constexpr CopyEntry sponsorsOffOnThisDesktop{
    "Sponsors are off on this desktop",
    "Sponsor non disponibili su questa scrivania"};
inline constexpr CopyEntry shellOwnsTopBar{
    "GNOME Shell draws its own top bar, where Nimbrella cannot prove that sponsored text is visible. "
    "Sponsors stay off on this desktop.",
    "GNOME Shell disegna la propria barra superiore, dove Nimbrella non può verificare che il testo "
    "sponsorizzato sia visibile. Gli sponsor restano disattivati su questa scrivania."};
inline constexpr CopyEntry topPanelNeeded{
    "Sponsors need a panel at the top of the screen. Move your desktop's panel to the top to offer this space.",
    "Gli sponsor richiedono un pannello nella parte alta dello schermo. Sposta in alto il pannello della "
    "scrivania per offrire questo spazio."};

}  // namespace nimbrella::platformText

namespace nimbrella {

// Why sponsors cannot run on this desktop at all, whatever the checks would say.
enum class DesktopRefusal {
  none,
  shellOwnsTopBar,  // the compositor draws the top bar: nothing over it can be proven
  noTopPanel,       // no panel reserves a band at the top of the screen
};

// The refusal's text; nothing for `none`.
inline const CopyEntry* refusalText(DesktopRefusal refusal) {
  switch (refusal) {
    case DesktopRefusal::shellOwnsTopBar: return &platformText::shellOwnsTopBar;
    case DesktopRefusal::noTopPanel: return &platformText::topPanelNeeded;
    case DesktopRefusal::none: break;
  }
  return nullptr;
}

}  // namespace nimbrella
