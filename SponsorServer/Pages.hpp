#pragma once

#include "SponsorCore/AppLanguage.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbrella::server {

// Text made safe for HTML element content and double-quoted attribute values.
std::string htmlEscape(std::string_view text);

// A micros amount as euros with at least two and at most six decimals, e.g. "0.0025 €"
// in English and "0,0025 €" in Italian; negative amounts keep their sign.
std::string formatMicros(std::int64_t micros, AppLanguage language);

// The language code of a page: "en" or "it".
std::string_view languageCode(AppLanguage language);

// One complete HTML page. Everything the caller passes in `bodyHtml` must already be
// escaped; `scriptNonce` and `script` are set only for the sign-in page.
struct Page {
  std::string html;
  std::string contentSecurityPolicy;
};

struct ConnectView {
  std::string userCode;
  std::string fingerprint;
  std::string deviceName;
  std::string expiresAt;
  std::string csrf;
};

struct DashboardView {
  std::string deviceId;
  std::string deviceName;
  std::string fingerprint;
  std::string connectedOn;
  std::int64_t balanceMicros = 0;
  std::vector<std::pair<std::string, std::int64_t>> lastSevenDays;  // oldest first
  std::string csrf;
};

Page connectPage(AppLanguage language, const ConnectView& view);
// A page with a heading and one paragraph of plain text.
Page messagePage(AppLanguage language, std::string_view title, std::string_view message);
// The page that reads the ticket from the fragment and exchanges it once.
Page handoffPage(AppLanguage language, const std::string& scriptNonce);
Page dashboardPage(AppLanguage language, const DashboardView& view);
Page indexPage(AppLanguage language);

// Texts of the pages that handlers choose between.
enum class PageText {
  connectTitle,
  connectUnknown,
  connectExpired,
  connectAlready,
  connectApproved,
  formExpired,
  dashboardTitle,
  signedOut,
  deviceRevoked,
  badRequest,
  notFound,
};
std::string_view pageText(PageText text, AppLanguage language);

}  // namespace nimbrella::server
