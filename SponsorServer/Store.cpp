#include "SponsorServer/Store.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nimbrella::server {
namespace {

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS authorizations (
  device_code TEXT PRIMARY KEY,
  user_code   TEXT NOT NULL UNIQUE,
  name        TEXT NOT NULL,
  public_key  TEXT NOT NULL,
  fingerprint TEXT NOT NULL,
  created_ms  INTEGER NOT NULL,
  expires_ms  INTEGER NOT NULL,
  approved_ms INTEGER,
  device_id   TEXT
);
CREATE INDEX IF NOT EXISTS authorizations_created ON authorizations (created_ms);
CREATE TABLE IF NOT EXISTS devices (
  device_id       TEXT PRIMARY KEY,
  token           TEXT NOT NULL UNIQUE,
  public_key      TEXT NOT NULL,
  fingerprint     TEXT NOT NULL,
  name            TEXT NOT NULL,
  created_ms      INTEGER NOT NULL,
  revoked_ms      INTEGER,
  balance_micros  INTEGER NOT NULL DEFAULT 0,
  total_micros    INTEGER NOT NULL DEFAULT 0,
  referred_count  INTEGER NOT NULL DEFAULT 0,
  referral_micros INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS leases (
  lease_id      TEXT PRIMARY KEY,
  device_id     TEXT NOT NULL,
  campaign_id   TEXT NOT NULL,
  nonce         TEXT NOT NULL,
  duration_ms   INTEGER NOT NULL,
  reward_micros INTEGER NOT NULL,
  terms_version TEXT,
  preview       INTEGER NOT NULL,
  issued_ms     INTEGER NOT NULL,
  expires_ms    INTEGER NOT NULL,
  state         TEXT NOT NULL,
  clicked       INTEGER NOT NULL DEFAULT 0,
  closed_ms     INTEGER,
  completion    TEXT,
  reason        TEXT,
  receipt_id    TEXT,
  balance_after INTEGER
);
DROP INDEX IF EXISTS leases_open;
CREATE INDEX IF NOT EXISTS leases_live ON leases (device_id, state, expires_ms);
CREATE INDEX IF NOT EXISTS leases_issued ON leases (device_id, campaign_id, issued_ms);
CREATE TABLE IF NOT EXISTS receipts (
  receipt_id    TEXT PRIMARY KEY,
  lease_id      TEXT NOT NULL UNIQUE,
  device_id     TEXT NOT NULL,
  campaign_id   TEXT NOT NULL,
  reward_micros INTEGER NOT NULL,
  day           TEXT NOT NULL,
  created_ms    INTEGER NOT NULL
) WITHOUT ROWID;
DROP INDEX IF EXISTS receipts_day;
CREATE INDEX IF NOT EXISTS receipts_created ON receipts (device_id, campaign_id, created_ms);
CREATE INDEX IF NOT EXISTS receipts_earned ON receipts (device_id, day);
CREATE TABLE IF NOT EXISTS handoff_nonces (
  nonce      TEXT PRIMARY KEY,
  device_id  TEXT NOT NULL,
  created_ms INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS tickets (
  ticket     TEXT PRIMARY KEY,
  device_id  TEXT NOT NULL,
  expires_ms INTEGER NOT NULL,
  used_ms    INTEGER
);
CREATE TABLE IF NOT EXISTS browser_sessions (
  session_id TEXT PRIMARY KEY,
  device_id  TEXT NOT NULL,
  csrf       TEXT NOT NULL,
  language   TEXT NOT NULL,
  expires_ms INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS connect_tokens (
  token      TEXT PRIMARY KEY,
  user_code  TEXT NOT NULL,
  expires_ms INTEGER NOT NULL
);
)sql";

constexpr const char* authorizationColumns =
    "device_code, user_code, name, public_key, fingerprint, created_ms, expires_ms, "
    "approved_ms, device_id";

AuthorizationRow readAuthorization(const Query& q) {
  AuthorizationRow row;
  row.deviceCode = q.text(0);
  row.userCode = q.text(1);
  row.name = q.text(2);
  row.publicKey = q.text(3);
  row.fingerprint = q.text(4);
  row.createdMs = q.integer(5);
  row.expiresMs = q.integer(6);
  row.approvedMs = q.optionalInteger(7);
  row.deviceId = q.optionalText(8);
  return row;
}

constexpr const char* deviceColumns =
    "device_id, token, public_key, fingerprint, name, created_ms, revoked_ms, balance_micros, "
    "total_micros, referred_count, referral_micros";

DeviceRow readDevice(const Query& q) {
  DeviceRow row;
  row.deviceId = q.text(0);
  row.token = q.text(1);
  row.publicKey = q.text(2);
  row.fingerprint = q.text(3);
  row.name = q.text(4);
  row.createdMs = q.integer(5);
  row.revokedMs = q.optionalInteger(6);
  row.balanceMicros = q.integer(7);
  row.totalMicros = q.integer(8);
  row.referredCount = q.integer(9);
  row.referralMicros = q.integer(10);
  return row;
}

constexpr const char* leaseColumns =
    "lease_id, device_id, campaign_id, nonce, duration_ms, reward_micros, terms_version, "
    "preview, issued_ms, expires_ms, state, clicked, closed_ms, completion, reason, receipt_id, "
    "balance_after";

LeaseRow readLease(const Query& q) {
  LeaseRow row;
  row.leaseId = q.text(0);
  row.deviceId = q.text(1);
  row.campaignId = q.text(2);
  row.nonce = q.text(3);
  row.durationMs = q.integer(4);
  row.rewardMicros = q.integer(5);
  row.termsVersion = q.optionalText(6);
  row.preview = q.integer(7) != 0;
  row.issuedMs = q.integer(8);
  row.expiresMs = q.integer(9);
  const auto state = leaseStateFromText(q.text(10));
  if (!state) throw StoreError("a lease has an unknown state");
  row.state = *state;
  row.clicked = q.integer(11) != 0;
  row.closedMs = q.optionalInteger(12);
  row.completion = q.optionalText(13);
  row.reason = q.optionalText(14);
  row.receiptId = q.optionalText(15);
  row.balanceAfter = q.optionalInteger(16);
  return row;
}

// Opens (creating when missing) the database file with mode 0600 whatever the umask,
// takes group and other permissions away from a file an earlier run left open to them,
// and locks it against every other store. SQLite gives the write-ahead log and its index
// the mode of the database file. The descriptor stays open for the store's life: closing
// any descriptor of the file would drop SQLite's own locks on it.
int openPrivately(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) throw StoreError("cannot open the database " + path + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd, &info) != 0 || ((info.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0)) {
    const int error = errno;
    ::close(fd);
    throw StoreError("cannot make the database " + path + " private: " + std::strerror(error));
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    throw StoreError("the database " + path + " is in use by another server");
  }
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    const std::string side = path + suffix;
    if (::stat(side.c_str(), &info) == 0 && (info.st_mode & 077) != 0) ::chmod(side.c_str(), 0600);
  }
  return fd;
}

std::map<std::string, std::int64_t> readPairs(Query& q) {
  std::map<std::string, std::int64_t> pairs;
  while (q.step()) pairs[q.text(0)] = q.integer(1);
  return pairs;
}

bool isFile(const std::string& path) { return path != ":memory:"; }

// Transactions written between two checkpoints of the write-ahead log.
constexpr std::uint64_t checkpointEvery = 2000;

}  // namespace

std::string_view leaseStateText(LeaseState state) noexcept {
  switch (state) {
    case LeaseState::open: return "open";
    case LeaseState::completed: return "completed";
    case LeaseState::rejected: return "rejected";
    case LeaseState::cancelled: return "cancelled";
    case LeaseState::finished: return "finished";
  }
  return "open";
}

std::optional<LeaseState> leaseStateFromText(std::string_view text) noexcept {
  for (const auto state : {LeaseState::open, LeaseState::completed, LeaseState::rejected,
                           LeaseState::cancelled, LeaseState::finished}) {
    if (leaseStateText(state) == text) return state;
  }
  return std::nullopt;
}

Store::Descriptor::~Descriptor() { reset(); }

void Store::Descriptor::reset(int value) {
  if (fd >= 0) ::close(fd);
  fd = value;
}

Store::Store(const std::string& path)
    : fileLock_(isFile(path) ? openPrivately(path) : -1), db_(path) {
  if (isFile(path)) {
    // Small pages for a new database: a commit rewrites whole pages into the log (and
    // again into the file at a checkpoint), and an exposure changes a few rows scattered
    // over a dozen tables and indexes. An existing file keeps its page size.
    db_.execute("PRAGMA page_size=1024");
    db_.execute("PRAGMA journal_mode=WAL");
    // Commits only write the log; transactions sync it in groups, and the checkpointing
    // thread copies it into the database file.
    db_.execute("PRAGMA synchronous=NORMAL");
    db_.execute("PRAGMA wal_autocheckpoint=0");
    // A log that starts over keeps its size, within this bound, so that it is written in
    // place rather than extended.
    db_.execute("PRAGMA journal_size_limit=67108864");
  }
  db_.execute("PRAGMA foreign_keys=ON");
  db_.execute(schema);
  if (isFile(path)) {
    path_ = path;
    logPath_ = path + "-wal";
    checkpointer_ = std::make_unique<Database>(path);
    if (!syncLog()) throw StoreError("cannot sync the database " + path);
    checkpointThread_ = std::thread([this] { checkpointLoop(); });
  }
}

Store::~Store() {
  if (!checkpointThread_.joinable()) return;
  {
    std::unique_lock sync(syncMutex_);
    stopping_ = true;
    // Nothing committed is left unsynced, not even what a look-up changed.
    try {
      awaitDurable(sync, written_);
    } catch (const StoreError&) {
    }
  }
  checkpointWanted_.notify_one();
  checkpointThread_.join();
}

void Store::perform(Job& job) {
  std::unique_lock queue(queueMutex_);
  queued_.push_back(&job);
  // Counted once queued: a sync that gathers the transactions entered waits for it to end.
  entered_.fetch_add(1);
  while (!job.done) {
    if (!running_.empty()) {
      ran_.wait(queue);
      continue;
    }
    // The connection is free: this thread runs every job waiting, its own among them.
    running_.swap(queued_);
    queue.unlock();
    {
      const std::lock_guard writer(mutex_);
      runTogether(running_);
    }
    queue.lock();
    // A job's owner may return as soon as it sees it done: nothing touches a job after.
    for (Job* ran : running_) ran->done = true;
    running_.clear();
    ran_.notify_all();
  }
  queue.unlock();
  if (job.error) std::rethrow_exception(job.error);
  if (!job.durable || !checkpointThread_.joinable()) return;
  std::unique_lock sync(syncMutex_);
  awaitDurable(sync, job.awaited);
}

void Store::runTogether(const std::vector<Job*>& jobs) noexcept {
  const std::int64_t before = db_.totalChanges();
  // Reads take no write lock unless they turn out to write.
  const bool durable = std::any_of(jobs.begin(), jobs.end(), [](const Job* job) { return job->durable; });
  // Called while an exception is handled: it ends every job that has not failed with it.
  const auto abandon = [&] {
    rollBack(db_);
    failAll(jobs);
    ended(false, jobs.size());
  };
  try {
    db_.query(durable ? "BEGIN IMMEDIATE" : "BEGIN").run();
  } catch (...) {
    abandon();
    return;
  }
  for (Job* each : jobs) {
    Job& job = *each;
    try {
      db_.query("SAVEPOINT job").run();
      StoreSession session(db_);
      job.call(job.function, session);
      db_.query("RELEASE job").run();
    } catch (...) {
      job.error = std::current_exception();
      try {
        // After some failures (a full disk, an I/O error) SQLite has ended the whole
        // transaction by itself, and its savepoint with it: this then fails, and so does
        // every job, since what the ones before did is gone.
        db_.query("ROLLBACK TO job").run();
        db_.query("RELEASE job").run();
      } catch (...) {
        abandon();
        return;
      }
    }
  }
  try {
    db_.query("COMMIT").run();
  } catch (...) {
    abandon();
    return;
  }
  const std::uint64_t awaited = ended(db_.totalChanges() != before, jobs.size());
  for (Job* job : jobs) job->awaited = awaited;
}

// Gives every job that has not failed yet the exception being handled.
void Store::failAll(const std::vector<Job*>& jobs) {
  for (Job* job : jobs) {
    if (!job->error) job->error = std::current_exception();
  }
}

std::uint64_t Store::ended(bool wrote, std::size_t jobs) {
  std::lock_guard sync(syncMutex_);
  if (wrote) written_ += jobs;
  ended_ += jobs;
  gathered_.notify_one();
  return written_;
}

void Store::awaitDurable(std::unique_lock<std::mutex>& sync, std::uint64_t awaited) {
  while (durable_ < awaited && !syncFailed_) {
    if (syncing_) {
      synced_.wait(sync);
      continue;
    }
    // No sync is under way: this thread syncs every commit made so far, its own and
    // those of the transactions that wait meanwhile.
    syncing_ = true;
    // The transactions already waiting for the lock commit first, so that one sync
    // serves them too: each of them is short, and each sync spent costs far more.
    const std::uint64_t gather = entered_.load();
    gathered_.wait(sync, [&] { return ended_ >= gather; });
    const std::uint64_t target = written_;
    sync.unlock();
    const bool ok = syncLog();
    sync.lock();
    syncing_ = false;
    if (ok) {
      durable_ = target;
    } else {
      syncFailed_ = true;
    }
    if (ok && durable_ - checkpointed_ >= checkpointEvery) {
      checkpointed_ = durable_;
      checkpointDue_ = true;
      checkpointWanted_.notify_one();
    }
    synced_.notify_all();
  }
  if (durable_ < awaited) throw StoreError("the database could not be synced to the disk");
}

void Store::checkpointLoop() {
  std::unique_lock sync(syncMutex_);
  for (;;) {
    checkpointWanted_.wait(sync, [&] { return stopping_ || checkpointDue_; });
    if (stopping_) return;
    checkpointDue_ = false;
    sync.unlock();
    // A passive checkpoint copies the log into the database file beside the writer. The
    // log starts over only once all of it is in the file, which under steady load never
    // happens by itself: the log would grow without end. So the copy is repeated until
    // little is new and the file synced, twice, and what is left, a few pages, is copied
    // and synced with the writer held off and once the reads that still use the log are
    // done (they are short); the next commit then writes the log from its start. One
    // that fails is tried again at the next one due.
    try {
      for (int round = 0; round < 2; ++round) {
        for (int pass = 0; pass < 4 && copyLog() > 256; ++pass) {
        }
        ::fdatasync(fileLock_.fd);
      }
      const std::lock_guard writer(mutex_);
      copyLog(true);
    } catch (const StoreError&) {
    }
    sync.lock();
  }
}

void Store::rollBack(Database& db) noexcept {
  try {
    db.execute("ROLLBACK");
  } catch (...) {
  }
}

Store::Reader::Reader(Store& owner) : store(owner) {
  {
    const std::lock_guard lock(store.readersMutex_);
    if (!store.readers_.empty()) {
      db = std::move(store.readers_.back());
      store.readers_.pop_back();
      return;
    }
  }
  db = std::make_unique<Database>(store.path_, Database::Access::readOnly);
  // Room among the idle ones for every connection opened, so that giving one back never
  // allocates (and cannot throw in the destructor).
  const std::lock_guard lock(store.readersMutex_);
  store.readers_.reserve(store.readersOpened_ + 1);
  ++store.readersOpened_;
}

Store::Reader::~Reader() {
  const std::lock_guard lock(store.readersMutex_);
  store.readers_.push_back(std::move(db));
}

std::int64_t Store::copyLog(bool restart) {
  auto checkpoint =
      checkpointer_->query(restart ? "PRAGMA wal_checkpoint(RESTART)" : "PRAGMA wal_checkpoint(PASSIVE)");
  if (!checkpoint.step()) return 0;
  const std::int64_t logged = checkpoint.integer(1);
  // A log that started over since the last copy holds only new frames.
  const std::int64_t fresh = logged >= logged_ ? logged - logged_ : logged;
  logged_ = logged;
  return fresh;
}

// Syncs the write-ahead log (reopened when SQLite replaced it), or the database file when
// there is no log.
bool Store::syncLog() {
  struct stat current {};
  if (::stat(logPath_.c_str(), &current) != 0) {
    return errno == ENOENT && ::fdatasync(fileLock_.fd) == 0;
  }
  struct stat open {};
  if (logFile_.fd < 0 || ::fstat(logFile_.fd, &open) != 0 || open.st_ino != current.st_ino ||
      open.st_dev != current.st_dev) {
    logFile_.reset(::open(logPath_.c_str(), O_RDONLY | O_CLOEXEC));
    if (logFile_.fd < 0) return false;
  }
  return ::fdatasync(logFile_.fd) == 0;
}

bool StoreSession::insertAuthorization(const AuthorizationRow& row) {
  db_.query(std::string("INSERT OR IGNORE INTO authorizations (") + authorizationColumns +
            ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)")
      .bind(1, row.deviceCode)
      .bind(2, row.userCode)
      .bind(3, row.name)
      .bind(4, row.publicKey)
      .bind(5, row.fingerprint)
      .bind(6, row.createdMs)
      .bind(7, row.expiresMs)
      .bind(8, row.approvedMs)
      .bind(9, row.deviceId)
      .run();
  return db_.changes() == 1;
}

std::optional<AuthorizationRow> StoreSession::authorizationByDeviceCode(
    const std::string& deviceCode) {
  auto q = db_.query(std::string("SELECT ") + authorizationColumns +
                     " FROM authorizations WHERE device_code = ?1");
  q.bind(1, deviceCode);
  if (!q.step()) return std::nullopt;
  return readAuthorization(q);
}

std::optional<AuthorizationRow> StoreSession::authorizationByUserCode(const std::string& userCode) {
  auto q = db_.query(std::string("SELECT ") + authorizationColumns +
                     " FROM authorizations WHERE user_code = ?1");
  q.bind(1, userCode);
  if (!q.step()) return std::nullopt;
  return readAuthorization(q);
}

void StoreSession::markApproved(const std::string& deviceCode, const std::string& deviceId,
                                std::int64_t nowMs) {
  db_.query(
         "UPDATE authorizations SET approved_ms = ?2, device_id = ?3 "
         "WHERE device_code = ?1 AND approved_ms IS NULL")
      .bind(1, deviceCode)
      .bind(2, nowMs)
      .bind(3, deviceId)
      .run();
  if (db_.changes() != 1) throw StoreError("the authorization was already approved");
}

void StoreSession::pruneAuthorizations(std::int64_t nowMs) {
  db_.query("DELETE FROM authorizations WHERE approved_ms IS NULL AND expires_ms < ?1")
      .bind(1, nowMs - 3600 * 1000)
      .run();
  db_.query("DELETE FROM connect_tokens WHERE expires_ms < ?1").bind(1, nowMs).run();
}

std::int64_t StoreSession::authorizationsSince(std::int64_t sinceMs) {
  auto q = db_.query("SELECT COUNT(*) FROM authorizations WHERE created_ms >= ?1");
  q.bind(1, sinceMs);
  return q.step() ? q.integer(0) : 0;
}

void StoreSession::insertDevice(const DeviceRow& row) {
  db_.query(std::string("INSERT INTO devices (") + deviceColumns +
            ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, NULL, ?7, ?8, ?9, ?10)")
      .bind(1, row.deviceId)
      .bind(2, row.token)
      .bind(3, row.publicKey)
      .bind(4, row.fingerprint)
      .bind(5, row.name)
      .bind(6, row.createdMs)
      .bind(7, row.balanceMicros)
      .bind(8, row.totalMicros)
      .bind(9, row.referredCount)
      .bind(10, row.referralMicros)
      .run();
}

std::optional<DeviceRow> StoreSession::activeDeviceByToken(const std::string& token) {
  auto q = db_.query(std::string("SELECT ") + deviceColumns +
                     " FROM devices WHERE token = ?1 AND revoked_ms IS NULL");
  q.bind(1, token);
  if (!q.step()) return std::nullopt;
  return readDevice(q);
}

std::optional<DeviceRow> StoreSession::activeDeviceById(const std::string& deviceId) {
  auto q = db_.query(std::string("SELECT ") + deviceColumns +
                     " FROM devices WHERE device_id = ?1 AND revoked_ms IS NULL");
  q.bind(1, deviceId);
  if (!q.step()) return std::nullopt;
  return readDevice(q);
}

void StoreSession::revokeDevice(const std::string& deviceId, std::int64_t nowMs) {
  db_.query("UPDATE devices SET revoked_ms = ?2 WHERE device_id = ?1 AND revoked_ms IS NULL")
      .bind(1, deviceId)
      .bind(2, nowMs)
      .run();
  db_.query("UPDATE leases SET state = 'cancelled', closed_ms = ?2 "
            "WHERE device_id = ?1 AND state = 'open'")
      .bind(1, deviceId)
      .bind(2, nowMs)
      .run();
  deleteBrowserSessions(deviceId);
}

std::int64_t StoreSession::credit(const std::string& deviceId, std::int64_t rewardMicros) {
  auto q = db_.query(
      "UPDATE devices SET balance_micros = balance_micros + ?2, "
      "total_micros = total_micros + ?2 WHERE device_id = ?1 RETURNING balance_micros");
  q.bind(1, deviceId).bind(2, rewardMicros);
  if (!q.step()) throw StoreError("no such device to credit");
  const std::int64_t balance = q.integer(0);
  q.run();
  return balance;
}

void StoreSession::insertLease(const LeaseRow& row) {
  db_.query(std::string("INSERT INTO leases (") + leaseColumns +
            ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, NULL, NULL, NULL, "
            "NULL, NULL)")
      .bind(1, row.leaseId)
      .bind(2, row.deviceId)
      .bind(3, row.campaignId)
      .bind(4, row.nonce)
      .bind(5, row.durationMs)
      .bind(6, row.rewardMicros)
      .bind(7, row.termsVersion)
      .bind(8, std::int64_t{row.preview ? 1 : 0})
      .bind(9, row.issuedMs)
      .bind(10, row.expiresMs)
      .bind(11, leaseStateText(row.state))
      .bind(12, std::int64_t{row.clicked ? 1 : 0})
      .run();
}

std::optional<LeaseRow> StoreSession::lease(const std::string& leaseId) {
  auto q = db_.query(std::string("SELECT ") + leaseColumns + " FROM leases WHERE lease_id = ?1");
  q.bind(1, leaseId);
  if (!q.step()) return std::nullopt;
  return readLease(q);
}

std::optional<LeaseRow> StoreSession::openLease(const std::string& deviceId, std::int64_t nowMs) {
  auto q = db_.query(std::string("SELECT ") + leaseColumns +
                     " FROM leases WHERE device_id = ?1 AND state = 'open' AND expires_ms >= ?2 "
                     "ORDER BY issued_ms DESC LIMIT 1");
  q.bind(1, deviceId).bind(2, nowMs);
  if (!q.step()) return std::nullopt;
  return readLease(q);
}

bool StoreSession::closeLease(const LeaseRow& closed) {
  auto q = db_.query(
      "UPDATE leases SET state = ?2, closed_ms = ?3, completion = ?4, reason = ?5, "
      "receipt_id = ?6, balance_after = ?7 WHERE lease_id = ?1 AND state = 'open'");
  q.bind(1, closed.leaseId)
      .bind(2, leaseStateText(closed.state))
      .bind(3, closed.closedMs.value_or(0))
      .bind(4, closed.completion)
      .bind(5, closed.reason)
      .bind(6, closed.receiptId);
  q.bind(7, closed.balanceAfter);
  q.run();
  return db_.changes() == 1;
}

bool StoreSession::markClicked(const std::string& leaseId) {
  db_.query("UPDATE leases SET clicked = 1 WHERE lease_id = ?1 AND clicked = 0")
      .bind(1, leaseId)
      .run();
  return db_.changes() == 1;
}

std::optional<std::int64_t> StoreSession::lastIssued(const std::string& deviceId,
                                                     const std::string& campaignId) {
  auto q = db_.query("SELECT MAX(issued_ms) FROM leases WHERE device_id = ?1 AND campaign_id = ?2");
  q.bind(1, deviceId).bind(2, campaignId);
  return q.step() ? q.optionalInteger(0) : std::nullopt;
}

void StoreSession::insertReceipt(const std::string& receiptId, const LeaseRow& lease,
                                 const std::string& day, std::int64_t nowMs) {
  db_.query(
         "INSERT INTO receipts (receipt_id, lease_id, device_id, campaign_id, reward_micros, day, "
         "created_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)")
      .bind(1, receiptId)
      .bind(2, lease.leaseId)
      .bind(3, lease.deviceId)
      .bind(4, lease.campaignId)
      .bind(5, lease.rewardMicros)
      .bind(6, day)
      .bind(7, nowMs)
      .run();
}

std::int64_t StoreSession::completionsOn(const std::string& deviceId,
                                         const std::string& campaignId, std::int64_t dayStartMs) {
  auto q = db_.query(
      "SELECT COUNT(*) FROM receipts WHERE device_id = ?1 AND campaign_id = ?2 AND created_ms >= ?3 "
      "AND created_ms < ?4");
  q.bind(1, deviceId).bind(2, campaignId).bind(3, dayStartMs).bind(4, dayStartMs + 24 * 3600 * 1000);
  return q.step() ? q.integer(0) : 0;
}

std::optional<std::int64_t> StoreSession::lastCompleted(const std::string& deviceId,
                                                        const std::string& campaignId) {
  auto q = db_.query(
      "SELECT MAX(created_ms) FROM receipts WHERE device_id = ?1 AND campaign_id = ?2");
  q.bind(1, deviceId).bind(2, campaignId);
  return q.step() ? q.optionalInteger(0) : std::nullopt;
}

std::map<std::string, std::int64_t> StoreSession::earningsByDay(const std::string& deviceId,
                                                                const std::string& firstDay,
                                                                const std::string& lastDay) {
  auto q = db_.query(
      "SELECT day, SUM(reward_micros) FROM receipts WHERE device_id = ?1 AND day >= ?2 AND "
      "day <= ?3 GROUP BY day");
  q.bind(1, deviceId).bind(2, firstDay).bind(3, lastDay);
  return readPairs(q);
}

bool StoreSession::rememberHandoffNonce(const std::string& nonce, const std::string& deviceId,
                                        std::int64_t nowMs) {
  db_.query("INSERT OR IGNORE INTO handoff_nonces (nonce, device_id, created_ms) VALUES (?1, ?2, ?3)")
      .bind(1, nonce)
      .bind(2, deviceId)
      .bind(3, nowMs)
      .run();
  return db_.changes() == 1;
}

void StoreSession::pruneHandoffNonces(std::int64_t olderThanMs) {
  db_.query("DELETE FROM handoff_nonces WHERE created_ms < ?1").bind(1, olderThanMs).run();
}

void StoreSession::insertTicket(const std::string& ticket, const std::string& deviceId,
                                std::int64_t expiresMs) {
  db_.query("INSERT INTO tickets (ticket, device_id, expires_ms, used_ms) VALUES (?1, ?2, ?3, NULL)")
      .bind(1, ticket)
      .bind(2, deviceId)
      .bind(3, expiresMs)
      .run();
}

std::pair<TicketOutcome, std::string> StoreSession::redeemTicket(const std::string& ticket,
                                                                 std::int64_t nowMs) {
  std::string deviceId;
  std::int64_t expiresMs = 0;
  std::optional<std::int64_t> usedMs;
  {
    auto q = db_.query("SELECT device_id, expires_ms, used_ms FROM tickets WHERE ticket = ?1");
    q.bind(1, ticket);
    if (!q.step()) return {TicketOutcome::unknown, {}};
    deviceId = q.text(0);
    expiresMs = q.integer(1);
    usedMs = q.optionalInteger(2);
  }
  if (usedMs) return {TicketOutcome::used, {}};
  // A ticket is spent by any attempt, also a late one: it can never be tried again.
  db_.query("UPDATE tickets SET used_ms = ?2 WHERE ticket = ?1").bind(1, ticket).bind(2, nowMs).run();
  if (nowMs > expiresMs) return {TicketOutcome::expired, {}};
  return {TicketOutcome::accepted, deviceId};
}

void StoreSession::pruneTickets(std::int64_t nowMs) {
  db_.query("DELETE FROM tickets WHERE expires_ms < ?1").bind(1, nowMs - 3600 * 1000).run();
  db_.query("DELETE FROM browser_sessions WHERE expires_ms < ?1").bind(1, nowMs).run();
}

void StoreSession::insertBrowserSession(const BrowserSessionRow& row) {
  db_.query(
         "INSERT INTO browser_sessions (session_id, device_id, csrf, language, expires_ms) "
         "VALUES (?1, ?2, ?3, ?4, ?5)")
      .bind(1, row.sessionId)
      .bind(2, row.deviceId)
      .bind(3, row.csrf)
      .bind(4, row.language)
      .bind(5, row.expiresMs)
      .run();
}

std::optional<BrowserSessionRow> StoreSession::browserSession(const std::string& sessionId,
                                                              std::int64_t nowMs) {
  auto q = db_.query(
      "SELECT session_id, device_id, csrf, language, expires_ms FROM browser_sessions "
      "WHERE session_id = ?1 AND expires_ms >= ?2");
  q.bind(1, sessionId).bind(2, nowMs);
  if (!q.step()) return std::nullopt;
  BrowserSessionRow row;
  row.sessionId = q.text(0);
  row.deviceId = q.text(1);
  row.csrf = q.text(2);
  row.language = q.text(3);
  row.expiresMs = q.integer(4);
  return row;
}

void StoreSession::deleteBrowserSessions(const std::string& deviceId) {
  db_.query("DELETE FROM browser_sessions WHERE device_id = ?1").bind(1, deviceId).run();
}

void StoreSession::insertConnectToken(const std::string& token, const std::string& userCode,
                                      std::int64_t expiresMs) {
  db_.query("INSERT INTO connect_tokens (token, user_code, expires_ms) VALUES (?1, ?2, ?3)")
      .bind(1, token)
      .bind(2, userCode)
      .bind(3, expiresMs)
      .run();
}

bool StoreSession::connectTokenValid(const std::string& token, const std::string& userCode,
                                     std::int64_t nowMs) {
  auto q = db_.query(
      "SELECT 1 FROM connect_tokens WHERE token = ?1 AND user_code = ?2 AND expires_ms >= ?3");
  q.bind(1, token).bind(2, userCode).bind(3, nowMs);
  return q.step();
}

}  // namespace nimbrella::server
