#include "SponsorServer/Pages.hpp"

#include <cstdlib>

namespace nimbrella::server {
namespace {

struct Pair {
  const char* en;
  const char* it;
};

std::string_view pick(const Pair& pair, AppLanguage language) {
  return language == AppLanguage::it ? pair.it : pair.en;
}

constexpr const char* style =
    "body{font-family:system-ui,sans-serif;max-width:40rem;margin:3rem auto;padding:0 1rem;"
    "color:#1d1d1f;background:#fbfbfd}h1{font-size:1.6rem}table{border-collapse:collapse}"
    "td,th{padding:.3rem .8rem;text-align:left;border-bottom:1px solid #ddd}"
    ".code{font:600 1.8rem ui-monospace,monospace;letter-spacing:.15rem}"
    "button{font-size:1rem;padding:.5rem 1.4rem;border-radius:.4rem;border:0;"
    "background:#0a66d8;color:#fff;cursor:pointer}button.danger{background:#c62828}"
    "dt{font-weight:600;margin-top:.6rem}dd{margin:0}.muted{color:#666}";

std::string policy(std::string_view scriptSource) {
  return "default-src 'none'; style-src 'unsafe-inline'; img-src data:; form-action 'self'; "
         "frame-ancestors 'none'; base-uri 'none'; connect-src 'self'; script-src " +
         std::string(scriptSource);
}

Page document(AppLanguage language, std::string_view title, const std::string& body,
              const std::string& scriptNonce = {}, std::string_view script = {}) {
  std::string html = "<!DOCTYPE html>\n<html lang=\"";
  html += languageCode(language);
  html += "\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
          "content=\"width=device-width,initial-scale=1\"><meta name=\"referrer\" "
          "content=\"no-referrer\"><title>";
  html += htmlEscape(title);
  html += "</title><style>";
  html += style;
  html += "</style></head><body>";
  html += body;
  if (!script.empty()) {
    html += "<script nonce=\"" + htmlEscape(scriptNonce) + "\">";
    html += script;
    html += "</script>";
  }
  html += "</body></html>\n";
  return Page{std::move(html),
              policy(script.empty() ? "'none'" : "'nonce-" + scriptNonce + "'")};
}

std::string heading(std::string_view title) { return "<h1>" + htmlEscape(title) + "</h1>"; }
std::string paragraph(std::string_view text) { return "<p>" + htmlEscape(text) + "</p>"; }

}  // namespace

std::string htmlEscape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&#39;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string_view languageCode(AppLanguage language) {
  return language == AppLanguage::it ? "it" : "en";
}

std::string formatMicros(std::int64_t micros, AppLanguage language) {
  const bool negative = micros < 0;
  // Work on the unsigned magnitude so that the smallest 64-bit value formats too.
  const std::uint64_t magnitude =
      negative ? static_cast<std::uint64_t>(-(micros + 1)) + 1 : static_cast<std::uint64_t>(micros);
  std::string fraction = std::to_string(magnitude % 1'000'000);
  fraction.insert(0, 6 - fraction.size(), '0');
  while (fraction.size() > 2 && fraction.back() == '0') fraction.pop_back();
  std::string text = negative ? "-" : "";
  text += std::to_string(magnitude / 1'000'000);
  text += language == AppLanguage::it ? ',' : '.';
  text += fraction;
  text += " \xE2\x82\xAC";
  return text;
}

std::string_view pageText(PageText text, AppLanguage language) {
  switch (text) {
    case PageText::connectTitle:
      return pick({"Connect this computer", "Collega questo computer"}, language);
    case PageText::connectUnknown:
      return pick({"This connection code is unknown. Start the connection again from Nimbrella.",
                   "Questo codice di collegamento \xC3\xA8 sconosciuto. Avvia di nuovo il "
                   "collegamento da Nimbrella."},
                  language);
    case PageText::connectExpired:
      return pick({"This connection request has expired. Start the connection again from "
                   "Nimbrella.",
                   "Questa richiesta di collegamento \xC3\xA8 scaduta. Avvia di nuovo il "
                   "collegamento da Nimbrella."},
                  language);
    case PageText::connectAlready:
      return pick({"This computer is already connected. You can return to Nimbrella.",
                   "Questo computer \xC3\xA8 gi\xC3\xA0 collegato. Puoi tornare a Nimbrella."},
                  language);
    case PageText::connectApproved:
      return pick({"This computer is connected. You can return to Nimbrella.",
                   "Questo computer \xC3\xA8 collegato. Puoi tornare a Nimbrella."},
                  language);
    case PageText::formExpired:
      return pick({"This form has expired. Reload the page and try again.",
                   "Questo modulo \xC3\xA8 scaduto. Ricarica la pagina e riprova."},
                  language);
    case PageText::dashboardTitle:
      return pick({"Nimbrella dashboard", "Dashboard di Nimbrella"}, language);
    case PageText::signedOut:
      return pick({"You are not signed in. Open the dashboard from the Nimbrella menu.",
                   "Non hai effettuato l\xE2\x80\x99" "accesso. Apri la dashboard dal menu di "
                   "Nimbrella."},
                  language);
    case PageText::deviceRevoked:
      return pick({"The device was revoked. Nimbrella on that computer must be connected again.",
                   "Il dispositivo \xC3\xA8 stato revocato. Nimbrella su quel computer deve essere "
                   "collegato di nuovo."},
                  language);
    case PageText::badRequest:
      return pick({"This address is not valid.", "Questo indirizzo non \xC3\xA8 valido."},
                  language);
    case PageText::notFound:
      return pick({"This page does not exist.", "Questa pagina non esiste."}, language);
  }
  return {};
}

Page connectPage(AppLanguage language, const ConnectView& view) {
  const auto title = pageText(PageText::connectTitle, language);
  std::string body = heading(title);
  body += paragraph(pick({"Nimbrella asks to connect this computer to your account. Approve "
                          "only if the code below is the one Nimbrella shows.",
                          "Nimbrella chiede di collegare questo computer al tuo account. "
                          "Approva solo se il codice qui sotto \xC3\xA8 quello mostrato da "
                          "Nimbrella."},
                         language));
  body += "<p class=\"code\">" + htmlEscape(view.userCode) + "</p><dl>";
  body += "<dt>" + htmlEscape(pick({"Key fingerprint", "Impronta della chiave"}, language)) +
          "</dt><dd><code>" + htmlEscape(view.fingerprint) + "</code></dd>";
  body += "<dt>" + htmlEscape(pick({"Device name", "Nome del dispositivo"}, language)) +
          "</dt><dd>" + htmlEscape(view.deviceName) + "</dd>";
  body += "<dt>" + htmlEscape(pick({"Request expires", "La richiesta scade"}, language)) +
          "</dt><dd>" + htmlEscape(view.expiresAt) + "</dd></dl>";
  body += "<form method=\"post\" action=\"/connect/approve\">";
  body += "<input type=\"hidden\" name=\"code\" value=\"" + htmlEscape(view.userCode) + "\">";
  body += "<input type=\"hidden\" name=\"csrf\" value=\"" + htmlEscape(view.csrf) + "\">";
  body += "<input type=\"hidden\" name=\"lang\" value=\"" +
          std::string(languageCode(language)) + "\">";
  body += "<button type=\"submit\" id=\"approve\">" +
          htmlEscape(pick({"Approve", "Approva"}, language)) + "</button></form>";
  return document(language, title, body);
}

Page messagePage(AppLanguage language, std::string_view title, std::string_view message) {
  return document(language, title, heading(title) + paragraph(message));
}

Page handoffPage(AppLanguage language, const std::string& scriptNonce) {
  const auto title = pageText(PageText::dashboardTitle, language);
  std::string body = heading(title);
  body += "<p id=\"status\">" +
          htmlEscape(pick({"Signing you in\xE2\x80\xA6", "Accesso in corso\xE2\x80\xA6"},
                          language)) +
          "</p>";
  body += "<noscript><p>" +
          htmlEscape(pick({"Signing in needs JavaScript.", "Per accedere serve JavaScript."},
                          language)) +
          "</p></noscript>";
  body += "<p id=\"failure\" hidden>" +
          htmlEscape(pick({"This sign-in link has expired or was already used. Open the "
                           "dashboard again from the Nimbrella menu.",
                           "Questo link di accesso \xC3\xA8 scaduto o \xC3\xA8 gi\xC3\xA0 stato "
                           "usato. Apri di nuovo la dashboard dal menu di Nimbrella."},
                          language)) +
          "</p>";
  // The ticket leaves the address bar at once and is posted exactly once; the server
  // spends it on the first attempt whatever happens next.
  const std::string script =
      "(function(){var s=document.getElementById('status'),f=document.getElementById('failure');"
      "var fail=function(){s.hidden=true;f.hidden=false;};"
      "var t=window.location.hash.slice(1);"
      "history.replaceState(null,'',window.location.pathname+window.location.search);"
      "if(!/^[A-Za-z0-9_-]{43}$/.test(t)){fail();return;}"
      "fetch('/api/auth/ticket',{method:'POST',credentials:'same-origin',"
      "headers:{'Content-Type':'application/json','Accept':'application/json'},"
      "body:JSON.stringify({ticket:t,lang:'" + std::string(languageCode(language)) + "'})})"
      ".then(function(r){if(!r.ok){throw new Error('refused');}return r.json();})"
      ".then(function(j){if(typeof j.redirect!=='string'||!/^\\/(en|it)\\/dashboard$/.test(j.redirect))"
      "{throw new Error('refused');}window.location.replace(j.redirect);})"
      "['catch'](fail);})();";
  return document(language, title, body, scriptNonce, script);
}

Page dashboardPage(AppLanguage language, const DashboardView& view) {
  const auto title = pageText(PageText::dashboardTitle, language);
  std::string body = heading(title);
  body += "<h2>" + htmlEscape(pick({"Balance", "Saldo"}, language)) + "</h2>";
  body += "<p class=\"code\" id=\"balance\">" +
          htmlEscape(formatMicros(view.balanceMicros, language)) + "</p>";
  body += "<h2>" + htmlEscape(pick({"Last seven days", "Ultimi sette giorni"}, language)) +
          "</h2><table id=\"days\"><tr><th>" + htmlEscape(pick({"Day", "Giorno"}, language)) +
          "</th><th>" + htmlEscape(pick({"Earned", "Guadagnato"}, language)) + "</th></tr>";
  for (const auto& [day, micros] : view.lastSevenDays) {
    body += "<tr><td>" + htmlEscape(day) + "</td><td>" +
            htmlEscape(formatMicros(micros, language)) + "</td></tr>";
  }
  body += "</table>";
  body += "<h2>" + htmlEscape(pick({"This device", "Questo dispositivo"}, language)) + "</h2><dl>";
  body += "<dt>" + htmlEscape(pick({"Name", "Nome"}, language)) + "</dt><dd>" +
          htmlEscape(view.deviceName) + "</dd>";
  body += "<dt>" + htmlEscape(pick({"Device identifier", "Identificativo del dispositivo"},
                                   language)) +
          "</dt><dd><code>" + htmlEscape(view.deviceId) + "</code></dd>";
  body += "<dt>" + htmlEscape(pick({"Key fingerprint", "Impronta della chiave"}, language)) +
          "</dt><dd><code>" + htmlEscape(view.fingerprint) + "</code></dd>";
  body += "<dt>" + htmlEscape(pick({"Connected on", "Collegato il"}, language)) + "</dt><dd>" +
          htmlEscape(view.connectedOn) + "</dd></dl>";
  body += "<form method=\"post\" action=\"/dashboard/revoke\">";
  body += "<input type=\"hidden\" name=\"csrf\" value=\"" + htmlEscape(view.csrf) + "\">";
  body += "<input type=\"hidden\" name=\"lang\" value=\"" +
          std::string(languageCode(language)) + "\">";
  body += "<button type=\"submit\" class=\"danger\" id=\"revoke\">" +
          htmlEscape(pick({"Revoke", "Revoca"}, language)) + "</button></form>";
  return document(language, title, body);
}

Page indexPage(AppLanguage language) {
  std::string body = heading("Nimbrella development server");
  body += paragraph(pick({"This server answers the Nimbrella application on this computer only.",
                          "Questo server risponde all\xE2\x80\x99" "applicazione Nimbrella solo "
                          "su questo computer."},
                         language));
  body += "<p><a href=\"/" + std::string(languageCode(language)) + "/dashboard\">" +
          htmlEscape(pageText(PageText::dashboardTitle, language)) + "</a></p>";
  return document(language, "Nimbrella", body);
}

}  // namespace nimbrella::server
