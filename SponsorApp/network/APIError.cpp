#include "SponsorApp/network/APIError.hpp"

#include "SponsorCore/PlatformText.hpp"

#include <ostream>

namespace nimbrella {

std::optional<int> APIError::httpStatus() const {
  if (kind_ != Kind::http) return std::nullopt;
  return status_;
}

std::optional<std::string> APIError::noFillReason() const {
  if (kind_ != Kind::noFill) return std::nullopt;
  return reason_;
}

std::ostream& operator<<(std::ostream& out, const APIError& error) {
  switch (error.kind()) {
    case APIError::Kind::http:
      return out << "http(" << *error.httpStatus() << ")";
    case APIError::Kind::noFill:
      return out << "noFill(" << *error.noFillReason() << ")";
    case APIError::Kind::invalidResponse:
      return out << "invalidResponse";
    case APIError::Kind::paymentsUnavailable:
      return out << "paymentsUnavailable";
  }
  return out;
}

std::string noFillDescription(std::string_view reason) {
  if (reason == "residence_required") return "Confirm your country and age in your account to receive sponsors.";
  if (reason == "account_review") return "Your account is under review. Check your account for updates.";
  if (reason == "country_unavailable") return "Paid sponsorships are not available in your country yet.";
  if (reason == "payout_setup_required") return "Complete payout setup in your account to continue earning.";
  if (reason == "device_review_required") {
    return std::string(platformText::deviceReviewRequired.english);
  }
  if (reason == "daily_limit") return "This campaign's daily limit has been reached. Nimbrella will check again later.";
  if (reason == "cooldown") return "This campaign has a short wait before the next exposure.";
  return "No sponsor is available right now. Nimbrella will check again later.";
}

std::string APIError::errorDescription() const {
  switch (kind_) {
    case Kind::http:
      switch (status_) {
        case 401:
        case 403:
          return std::string(platformText::notAuthorized.english);
        case 404:
          return "No sponsor is available, or this server does not support the requested action.";
        case 409:
          return "This action is unavailable right now. A session or daily limit may already apply.";
        case 429:
          return "The network limit has been reached. Please try again later.";
        default:
          return "The server could not complete this request (HTTP " + std::to_string(status_) + ").";
      }
    case Kind::noFill:
      return noFillDescription(reason_);
    case Kind::invalidResponse:
      return "The server returned an unsupported response. No reward has been confirmed.";
    case Kind::paymentsUnavailable:
      return std::string(platformText::paymentsUnavailable.english);
  }
  return "The server returned an unsupported response. No reward has been confirmed.";
}

}  // namespace nimbrella
