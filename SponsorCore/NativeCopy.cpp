#include "SponsorCore/NativeCopy.hpp"

#include "SponsorCore/CopyTable.hpp"
#include "SponsorCore/PlatformText.hpp"
#include "SponsorCore/Unicode.hpp"

#include <array>

namespace nimbrella::NativeCopy {

namespace {

constexpr auto table = copytable::sortedByEnglish(std::array<CopyEntry, 67>{{
    {"Admin preview",
     "Anteprima admin"},
    {"Admin preview. No budget is spent and no earnings or ad statistics are generated.",
     "Anteprima admin. Nessun consumo di budget, guadagno o statistica pubblicitaria."},
    {"Sponsored text appears only after you connect and opt in.",
     "Gli sponsor appaiono solo dopo il collegamento e il tuo consenso."},
    {"No sponsored exposure is running.",
     "Nessuna esposizione sponsorizzata in corso."},
    platformText::connected,
    {"Restoring the previous exposure's confirmation.",
     "Ripristino della conferma dell’esposizione precedente."},
    {"Finish the connection in your browser.",
     "Completa il collegamento nel browser."},
    platformText::approveInBrowser,
    {"Sign in required",
     "Accesso richiesto"},
    {"Waiting for browser approval",
     "In attesa della conferma nel browser"},
    {"Sponsors disabled",
     "Sponsor disattivati"},
    {"Sponsors paused",
     "Sponsor in pausa"},
    {"Waiting for a sponsor",
     "In attesa di uno sponsor"},
    {"Sponsorship was turned off.",
     "Gli sponsor sono stati disattivati."},
    {"Sponsorship is paused.",
     "Gli sponsor sono in pausa."},
    {"Controls are open; sponsored exposure is paused.",
     "Il popup è aperto; l’esposizione è in pausa."},
    {"The connection request expired. Connect again.",
     "La richiesta di collegamento è scaduta. Ripeti il collegamento."},
    platformText::connectedEnabled,
    {"Connection confirmation is unavailable. Nimbrella will retry; your browser approval is not repeated.",
     "La conferma non è disponibile. Nimbrella riproverà senza chiedere una nuova autorizzazione nel browser."},
    {"Balance could not be updated. Try again.",
     "Non è stato possibile aggiornare il saldo. Riprova."},
    {"The exposure lease expired.",
     "L’autorizzazione dell’esposizione è scaduta."},
    {"Confirming the menu-bar exposure…",
     "Conferma dell’esposizione nella barra…"},
    {"Sponsored name displayed. Earnings require uninterrupted local and server checks.",
     "Sponsor visualizzato. Il guadagno richiede controlli locali e server continui."},
    {"This exposure was rejected. No new reward was confirmed.",
     "Esposizione rifiutata. Nessun nuovo guadagno confermato."},
    {"Exposure confirmation is unavailable. Nimbrella will retry the same receipt; no additional reward is confirmed.",
     "Conferma non disponibile. Nimbrella riproverà con la stessa ricevuta; nessun guadagno aggiuntivo è confermato."},
    {"The display went to sleep.",
     "Lo schermo è andato in stop."},
    {"The session became inactive.",
     "La sessione non è più attiva."},
    {"The desktop changed.",
     "La scrivania è cambiata."},
    {"The display layout changed.",
     "La disposizione degli schermi è cambiata."},
    {"Nimbrella was quit.",
     "Nimbrella è stato chiuso."},
    // Interrupt reasons the controller raises itself; without a row they would read as
    // the generic failure text in Italian.
    {"Nimbrella is updating.",
     "Nimbrella si sta aggiornando."},
    {"Outside your chosen hours.",
     "Fuori dagli orari scelti."},
    {"Sponsor preferences changed.",
     "Preferenze degli sponsor modificate."},
    {"The network is unavailable. No reward is confirmed; Nimbrella will retry later.",
     "Rete non disponibile. Nessun guadagno confermato; Nimbrella riproverà."},
    platformText::reconnect,
    platformText::disconnectFirst,
    {"This sponsor cannot be safely displayed or verified. No new reward is confirmed.",
     "Questo sponsor non può essere visualizzato e verificato correttamente. Nessun nuovo guadagno confermato."},
    {"Use an HTTPS server address. HTTP is allowed only for a local development server.",
     "Usa un indirizzo HTTPS. HTTP è consentito solo per il server di sviluppo locale."},
    platformText::keyringUnavailable,
    platformText::notAuthorized,
    {"No sponsor is available, or this server does not support the requested action.",
     "Nessuno sponsor disponibile o azione non supportata dal server."},
    {"This action is unavailable right now. A session or daily limit may already apply.",
     "Azione non disponibile. Potrebbe essere già attiva un’esposizione o un limite della campagna."},
    {"The network limit has been reached. Please try again later.",
     "Limite di richieste raggiunto. Riprova più tardi."},
    {"The server returned an unsupported response. No reward has been confirmed.",
     "Risposta del server non supportata. Nessun guadagno confermato."},
    {"No sponsor is available right now. Nimbrella will check again later.",
     "Al momento non ci sono sponsor disponibili. Nimbrella riproverà."},
    {"Confirm your country and age in your account to receive sponsors.",
     "Conferma paese ed età nel tuo account per ricevere sponsor."},
    {"Your account is under review. Check your account for updates.",
     "Il tuo account è in verifica. Controlla gli aggiornamenti nel tuo account."},
    {"Paid sponsorships are not available in your country yet.",
     "Le sponsorizzazioni a pagamento non sono ancora disponibili nel tuo paese."},
    platformText::paymentsUnavailable,
    {"Complete payout setup in your account to continue earning.",
     "Completa la configurazione dei pagamenti nel tuo account per continuare a guadagnare."},
    platformText::deviceReviewRequired,
    {"This campaign's daily limit has been reached. Nimbrella will check again later.",
     "Limite giornaliero della campagna raggiunto. Nimbrella riproverà."},
    {"This campaign has a short wait before the next exposure.",
     "Questa campagna prevede una breve attesa prima della prossima esposizione."},
    {"No sponsored item to measure.",
     "Nessuno sponsor da misurare."},
    {"Status-item window is unavailable; no earnings.",
     "La superficie della barra non è disponibile; nessun guadagno."},
    {"The sponsored text is not ready.",
     "Il testo sponsorizzato non è pronto."},
    {"The menu-bar item is hidden.",
     "L’elemento nella barra è nascosto."},
    {"The menu bar is not visible on this desktop.",
     "La barra dei menu non è visibile su questa scrivania."},
    {"The full sponsored item is outside the safe menu-bar area.",
     "L’annuncio completo non rientra nell’area sicura della barra."},
    {"The complete sponsored creative does not fit in the menu bar.",
     "L’annuncio completo non entra nella barra."},
    {"Menu-bar visibility could not be verified.",
     "Impossibile verificare la visibilità nella barra."},
    {"The display or session is inactive.",
     "Lo schermo o la sessione non è attivo."},
    platformText::inactiveTooLong,
    {"Controls are open; exposure is paused.",
     "Il popup è aperto; l’esposizione è in pausa."},
    {"The exposure clock is unavailable.",
     "Il contatore dell’esposizione non è disponibile."},
    {"Exposure was interrupted; a new session is required.",
     "Esposizione interrotta; serve una nuova esposizione continua."},
    {"Own slot bounds and nine hit-test points pass. This does not prove human attention or every pixel.",
     "I confini della superficie e nove punti risultano visibili. Questo non prova l’attenzione umana né ogni singolo pixel."},
}});
static_assert(copytable::isWellFormed(table));

constexpr std::array<CopyEntry, 2> suffixTable{{
    {noRewardSubmittedSuffix, " Nessun guadagno è stato inviato."},
    {unverifiedSuffix, " Nessun guadagno finché la visibilità non è verificata."},
}};

// Neither English suffix is a prefix of the other, so a run of suffixes stripped
// from the end of a message reads back unambiguously from its start.
static_assert(!suffixTable[0].english.starts_with(suffixTable[1].english) &&
              !suffixTable[1].english.starts_with(suffixTable[0].english));

constexpr std::string_view testCreditsEnglish = " in test credits recorded for the menu-bar exposure.";
constexpr std::string_view testCreditsItalian = " di crediti di prova registrati per l’esposizione nella barra.";
constexpr std::string_view rewardsEnglish = " in rewards recorded for the menu-bar exposure.";
constexpr std::string_view rewardsItalian = " di guadagni registrati per l’esposizione nella barra.";
constexpr std::string_view serverFailurePrefix = "The server could not complete this request (HTTP ";
constexpr std::string_view serverFailureEnglish = "The server could not complete this request";
constexpr std::string_view serverFailureItalian = "Il server non ha completato la richiesta";
static_assert(serverFailurePrefix.starts_with(serverFailureEnglish));

// A confirmed reward: the amount before `english`, then the Italian sentence.
bool appendRecordedReward(std::string& out, std::string_view message, std::string_view english,
                          std::string_view italianSentence) {
  const auto at = message.find(english);
  if (at == std::string_view::npos) return false;
  const auto amount = message.substr(0, at);
  if (!isValidUtf8(amount)) return false;
  out.append(amount);
  out.append(italianSentence);
  return true;
}

// Italian for a message that carries no suffix to strip: every rule but the suffixes.
void appendItalianBase(std::string& out, std::string_view message) {
  if (const auto translated = italian(message)) {
    out.append(*translated);
    return;
  }
  if (appendRecordedReward(out, message, testCreditsEnglish, testCreditsItalian)) return;
  if (appendRecordedReward(out, message, rewardsEnglish, rewardsItalian)) return;
  if (message.starts_with(serverFailurePrefix)) {
    const auto rest = message.substr(serverFailureEnglish.size());
    if (isValidUtf8(rest)) {
      out.append(serverFailureItalian);
      out.append(rest);
      return;
    }
  }
  out.append(genericItalian);
}

const CopyEntry* endingSuffix(std::string_view message) noexcept {
  for (const auto& suffix : suffixTable) {
    if (message.ends_with(suffix.english)) return &suffix;
  }
  return nullptr;
}

}  // namespace

std::span<const CopyEntry> entries() noexcept { return table; }

std::span<const CopyEntry> suffixes() noexcept { return suffixTable; }

std::optional<std::string_view> italian(std::string_view english) noexcept { return copytable::find(table, english); }

void appendText(std::string& out, std::string_view message, AppLanguage language) {
  if (language == AppLanguage::en) {
    out.append(message);
    return;
  }
  // Strip suffixes from the end for as long as what remains is not itself a key.
  // This is the recursion of the suffix rule unrolled, so any number of suffixes
  // costs no stack.
  auto base = message;
  while (!italian(base)) {
    const auto* suffix = endingSuffix(base);
    if (suffix == nullptr) break;
    base.remove_suffix(suffix->english.size());
  }
  appendItalianBase(out, base);
  // The stripped tail is a run of whole suffixes; translate them in their order.
  auto tail = message.substr(base.size());
  while (!tail.empty()) {
    const CopyEntry* leading = nullptr;
    for (const auto& suffix : suffixTable) {
      if (tail.starts_with(suffix.english)) {
        leading = &suffix;
        break;
      }
    }
    if (leading == nullptr) break;
    out.append(leading->italian);
    tail.remove_prefix(leading->english.size());
  }
}

std::string text(std::string_view message, AppLanguage language) {
  std::string out;
  appendText(out, message, language);
  return out;
}

}  // namespace nimbrella::NativeCopy
