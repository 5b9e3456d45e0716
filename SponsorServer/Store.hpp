#pragma once

#include "SponsorServer/Sqlite.hpp"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <type_traits>
#include <string>
#include <utility>

namespace nimbrella::server {

// Instants are milliseconds since 1970-01-01 UTC throughout the store.

struct AuthorizationRow {
  std::string deviceCode;
  std::string userCode;
  std::string name;
  std::string publicKey;
  std::string fingerprint;
  std::int64_t createdMs = 0;
  std::int64_t expiresMs = 0;
  std::optional<std::int64_t> approvedMs;
  std::optional<std::string> deviceId;
};

struct DeviceRow {
  std::string deviceId;
  std::string token;
  std::string publicKey;
  std::string fingerprint;
  std::string name;
  std::int64_t createdMs = 0;
  std::optional<std::int64_t> revokedMs;
  std::int64_t balanceMicros = 0;
  std::int64_t totalMicros = 0;
  std::int64_t referredCount = 0;
  std::int64_t referralMicros = 0;
};

// States of a lease: "open" until it is completed ("completed"), refused at completion
// ("rejected"), cancelled ("cancelled") or replaced as a shown preview ("finished").
struct LeaseRow {
  std::string leaseId;
  std::string deviceId;
  std::string campaignId;
  std::string nonce;
  std::int64_t durationMs = 0;
  std::int64_t rewardMicros = 0;
  std::optional<std::string> termsVersion;
  bool preview = false;
  std::int64_t issuedMs = 0;
  std::int64_t expiresMs = 0;
  std::string state = "open";
  bool clicked = false;
  std::optional<std::int64_t> closedMs;
  // The completion that decided the lease, as received (compact JSON of its fields), with
  // the answer given to it, so that the same request is answered the same way again.
  std::optional<std::string> completion;
  std::optional<std::string> reason;
  std::optional<std::string> receiptId;
  std::optional<std::int64_t> balanceAfter;
};

struct BrowserSessionRow {
  std::string sessionId;
  std::string deviceId;
  std::string csrf;
  std::string language;
  std::int64_t expiresMs = 0;
};

enum class TicketOutcome { accepted, unknown, expired, used };

// The operations on the server's records. A session exists only inside
// Store::transaction, which serialises all access and makes each call atomic.
class StoreSession {
 public:
  explicit StoreSession(Database& database) : db_(database) {}

  // Authorizations ----------------------------------------------------------------------
  // False when the device code or the user code is already taken.
  bool insertAuthorization(const AuthorizationRow& row);
  std::optional<AuthorizationRow> authorizationByDeviceCode(const std::string& deviceCode);
  std::optional<AuthorizationRow> authorizationByUserCode(const std::string& userCode);
  void markApproved(const std::string& deviceCode, const std::string& deviceId,
                    std::int64_t nowMs);
  // Forgets unapproved authorizations that expired more than a day ago.
  void pruneAuthorizations(std::int64_t nowMs);

  // Devices ------------------------------------------------------------------------------
  void insertDevice(const DeviceRow& row);
  // Only devices that were not revoked.
  std::optional<DeviceRow> activeDeviceByToken(const std::string& token);
  std::optional<DeviceRow> activeDeviceById(const std::string& deviceId);
  void revokeDevice(const std::string& deviceId, std::int64_t nowMs);
  // Adds the reward to the balance and the lifetime total; answers the new balance.
  std::int64_t credit(const std::string& deviceId, std::int64_t rewardMicros);

  // Leases -------------------------------------------------------------------------------
  void insertLease(const LeaseRow& row);
  std::optional<LeaseRow> lease(const std::string& leaseId);
  // The device's open lease that has not expired at `nowMs`, if any.
  std::optional<LeaseRow> openLease(const std::string& deviceId, std::int64_t nowMs);
  // Closes an open lease; false when it was no longer open.
  bool closeLease(const LeaseRow& closed);
  // Marks the lease clicked; false when it already was.
  bool markClicked(const std::string& leaseId);
  // Last issue instant of a lease per campaign for the device.
  std::map<std::string, std::int64_t> lastIssued(const std::string& deviceId);

  // Receipts -----------------------------------------------------------------------------
  void insertReceipt(const std::string& receiptId, const LeaseRow& lease, const std::string& day,
                     std::int64_t nowMs);
  // Completions per campaign of the device on one UTC day.
  std::map<std::string, std::int64_t> completionsOn(const std::string& deviceId,
                                                    const std::string& day);
  // Last completion instant per campaign of the device since `sinceMs`.
  std::map<std::string, std::int64_t> lastCompleted(const std::string& deviceId,
                                                    std::int64_t sinceMs);
  // Earned micros per UTC day ("yyyy-MM-dd") from `firstDay` to `lastDay` inclusive.
  std::map<std::string, std::int64_t> earningsByDay(const std::string& deviceId,
                                                    const std::string& firstDay,
                                                    const std::string& lastDay);

  // Browser hand-off ---------------------------------------------------------------------
  // False when the nonce was seen before.
  bool rememberHandoffNonce(const std::string& nonce, const std::string& deviceId,
                            std::int64_t nowMs);
  void pruneHandoffNonces(std::int64_t olderThanMs);
  void insertTicket(const std::string& ticket, const std::string& deviceId,
                    std::int64_t expiresMs);
  // Spends the ticket once; answers the outcome and, when accepted, its device.
  std::pair<TicketOutcome, std::string> redeemTicket(const std::string& ticket,
                                                     std::int64_t nowMs);
  void pruneTickets(std::int64_t nowMs);

  void insertBrowserSession(const BrowserSessionRow& row);
  std::optional<BrowserSessionRow> browserSession(const std::string& sessionId,
                                                  std::int64_t nowMs);
  void deleteBrowserSessions(const std::string& deviceId);

  // Approval forms -----------------------------------------------------------------------
  void insertConnectToken(const std::string& token, const std::string& userCode,
                          std::int64_t expiresMs);
  bool connectTokenValid(const std::string& token, const std::string& userCode,
                         std::int64_t nowMs);

 private:
  Database& db_;
};

// The server's SQLite database. Every use goes through `transaction`, which holds the one
// connection exclusively and commits what the function did, or rolls all of it back when
// the function throws.
class Store {
 public:
  // ":memory:" keeps everything in memory; any other path is a database file.
  explicit Store(const std::string& path);

  template <class Function>
  auto transaction(Function&& function) {
    std::lock_guard lock(mutex_);
    db_.query("BEGIN IMMEDIATE").run();
    StoreSession session(db_);
    try {
      if constexpr (std::is_void_v<decltype(function(session))>) {
        function(session);
        db_.query("COMMIT").run();
      } else {
        auto result = function(session);
        db_.query("COMMIT").run();
        return result;
      }
    } catch (...) {
      try {
        db_.execute("ROLLBACK");
      } catch (...) {
      }
      throw;
    }
  }

 private:
  std::mutex mutex_;
  Database db_;
};

}  // namespace nimbrella::server
