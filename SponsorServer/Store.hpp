#pragma once

#include "SponsorServer/Sqlite.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

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

// States of a lease: open until it is completed, cancelled or, as a shown preview,
// replaced by the next item (finished). `rejected` is only read from databases of
// earlier servers, which closed a lease at a refused completion.
enum class LeaseState { open, completed, rejected, cancelled, finished };

// The text a state is stored as, and back; nothing for an unknown text.
std::string_view leaseStateText(LeaseState state) noexcept;
std::optional<LeaseState> leaseStateFromText(std::string_view text) noexcept;

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
  LeaseState state = LeaseState::open;
  bool clicked = false;
  std::optional<std::int64_t> closedMs;
  // The completion that was credited, as received (compact JSON of its fields), with the
  // answer given to it, so that the same request is answered the same way again.
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
  // Forgets approval forms that expired before `nowMs` and unapproved authorizations that
  // expired more than an hour before (until then a poll still hears "expired").
  void pruneAuthorizations(std::int64_t nowMs);
  // Authorizations started at or after `sinceMs`.
  std::int64_t authorizationsSince(std::int64_t sinceMs);

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
  // Last issue instant of a lease of the campaign to the device.
  std::optional<std::int64_t> lastIssued(const std::string& deviceId, const std::string& campaignId);

  // Receipts -----------------------------------------------------------------------------
  void insertReceipt(const std::string& receiptId, const LeaseRow& lease, const std::string& day,
                     std::int64_t nowMs);
  // Completions of the campaign by the device on the UTC day that starts at `dayStartMs`.
  std::int64_t completionsOn(const std::string& deviceId, const std::string& campaignId,
                             std::int64_t dayStartMs);
  // Last completion instant of the campaign by the device.
  std::optional<std::int64_t> lastCompleted(const std::string& deviceId,
                                            const std::string& campaignId);
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

// The server's SQLite database. Every use goes through `transaction` or `lookUp`: each
// function runs atomically on the one writing connection, and what it did is committed,
// or all of it rolled back when it throws.
//
// Transactions that ask for the connection while it is busy are run together: the first
// caller to find it free runs every function then waiting, in order, in one SQLite
// transaction, each inside a savepoint of its own that is rolled back alone when its
// function throws, and commits them once. Each caller gets its own result or exception.
// A commit's cost (writing the pages it changed to the log) is then shared by all of
// them, and pages that several of them change are written once.
//
// Commits are made durable in groups: a commit only writes the write-ahead log, and then,
// outside the lock and while further transactions run, the first transaction that finds
// no sync under way syncs the log for every commit made so far; the others wait for that
// sync or the next one. A transaction returns once its commit (and every commit before
// it, which it may have read) is on the disk, so an answer never acknowledges anything
// that a power loss could take back. A background thread checkpoints the log through a
// second connection every few thousand commits, also outside the lock.
class Store {
 public:
  // ":memory:" keeps everything in memory; any other path is a database file, created
  // (with its write-ahead log) readable and writable by its owner only, and used by this
  // store alone: a second store on the same file, in any process, is refused.
  explicit Store(const std::string& path);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  template <class Function>
  auto transaction(Function&& function) {
    return run(std::forward<Function>(function), true);
  }

  // A read that returns without waiting for the disk: only for reads whose answer
  // acknowledges nothing by itself (finding the device of a bearer token). It sees every
  // commit made so far. On a database file it runs beside the writer, on a read-only
  // connection of its own, and cannot write.
  template <class Function>
  auto lookUp(Function&& function) {
    if (!checkpointer_) return run(std::forward<Function>(function), false);
    Reader reader(*this);
    return readOn(*reader.db, function);
  }

 private:
  // A read-only connection borrowed from the idle ones (or opened) and given back.
  struct Reader {
    explicit Reader(Store& store);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    Store& store;
    std::unique_ptr<Database> db;
  };

  // One caller's function, as the writing connection runs it; it lives on the caller's
  // stack, which waits until `done`.
  struct Job {
    void (*call)(void* function, StoreSession& session) = nullptr;
    void* function = nullptr;
    bool durable = true;
    std::exception_ptr error;
    std::uint64_t awaited = 0;  // the written transactions to wait for before answering
    bool done = false;
  };

  template <class Function>
  auto run(Function&& function, bool durable) {
    using Result = decltype(function(std::declval<StoreSession&>()));
    if constexpr (std::is_void_v<Result>) {
      execute(function, durable);
    } else {
      std::optional<Result> result;
      auto keep = [&](StoreSession& session) { result.emplace(function(session)); };
      execute(keep, durable);
      return std::move(*result);
    }
  }

  template <class Function>
  void execute(Function& function, bool durable) {
    Job job;
    job.call = [](void* f, StoreSession& session) { (*static_cast<Function*>(f))(session); };
    job.function = &function;
    job.durable = durable;
    perform(job);
  }

  // Queues the job and returns once it ran (run by this thread or by another one),
  // rethrowing its exception; then waits for the disk when it is durable.
  void perform(Job& job);
  // Runs the jobs in one transaction and commits them; sets each one's error or awaited.
  void runTogether(const std::vector<Job*>& jobs) noexcept;
  static void failAll(const std::vector<Job*>& jobs);

  // Runs `function` in a read transaction on `db`, rolled back when anything throws.
  template <class Function>
  static auto readOn(Database& db, Function& function) {
    StoreSession session(db);
    try {
      db.query("BEGIN").run();
      if constexpr (std::is_void_v<decltype(function(session))>) {
        function(session);
        db.query("COMMIT").run();
      } else {
        auto result = function(session);
        db.query("COMMIT").run();
        return result;
      }
    } catch (...) {
      rollBack(db);
      throw;
    }
  }
  // Rolls back whatever transaction is open; a failure leaves nothing more to undo.
  static void rollBack(Database& db) noexcept;

  // Counts `jobs` transactions that ended together in one commit (`wrote` when it changed
  // something) or rollback; answers how many were written so far: they may have read any
  // of them, all of them to wait for.
  std::uint64_t ended(bool wrote, std::size_t jobs);
  // Returns once the first `awaited` written transactions are on the disk, syncing them
  // itself when no other thread is. `sync` holds syncMutex_.
  void awaitDurable(std::unique_lock<std::mutex>& sync, std::uint64_t awaited);
  void checkpointLoop();
  // One checkpoint, passive unless `restart` (which also waits for the reads that still
  // use the log, so that the next commit starts it over); answers how many frames the
  // log gained since the last one.
  std::int64_t copyLog(bool restart = false);
  bool syncLog();

  // A file descriptor closed with its owner.
  struct Descriptor {
    int fd = -1;
    explicit Descriptor(int value = -1) : fd(value) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor();
    void reset(int value = -1);
  };

  // The database file, open and flock'd for the store's whole life; declared before the
  // connections so that it is closed after them.
  Descriptor fileLock_;
  std::string logPath_;
  Descriptor logFile_;
  // Held while the writing connection is in use, by the thread that runs the jobs or by
  // the checkpoint that starts the log over.
  std::mutex mutex_;
  Database db_;
  // The jobs waiting to run, and those that a thread is running (none while the
  // connection is free). Both change only under queueMutex_.
  std::mutex queueMutex_;
  std::condition_variable ran_;
  std::vector<Job*> queued_;
  std::vector<Job*> running_;
  std::unique_ptr<Database> checkpointer_;

  std::mutex syncMutex_;
  std::condition_variable synced_;
  std::condition_variable gathered_;
  // Transactions that asked for the lock, and those of them that are done with it.
  std::atomic<std::uint64_t> entered_{0};
  std::uint64_t ended_ = 0;
  std::condition_variable checkpointWanted_;
  // Transactions ended in commits that changed something, counted in commit order.
  std::uint64_t written_ = 0;
  std::uint64_t durable_ = 0;       // of those, the ones on the disk
  std::uint64_t checkpointed_ = 0;  // durable ones when the last checkpoint was asked for
  bool syncing_ = false;
  bool checkpointDue_ = false;
  bool stopping_ = false;
  bool syncFailed_ = false;
  std::int64_t logged_ = 0;  // frames in the log at the last checkpoint
  std::mutex readersMutex_;
  std::vector<std::unique_ptr<Database>> readers_;  // idle read-only connections
  std::size_t readersOpened_ = 0;
  std::string path_;
  std::thread checkpointThread_;
};

}  // namespace nimbrella::server
