#include "SponsorCore/SingleInstanceLock.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nimbrella {
namespace {

namespace fs = std::filesystem;

constexpr int waitMilliseconds = 20000;

class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "lock-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (const auto& entry : fs::recursive_directory_iterator(path_, ignored)) {
      if (entry.is_directory(ignored)) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// One byte summarising an acquisition outcome, for reporting across a pipe.
char outcomeByte(const SingleInstanceLock::Outcome& outcome) {
  if (std::holds_alternative<SingleInstanceLock>(outcome)) return 'L';
  if (std::holds_alternative<LockHeldElsewhere>(outcome)) return 'H';
  const int code = std::get<LockFailure>(outcome).code;
  return static_cast<char>(code > 0 && code < 100 ? code : 100);  // failures as their errno
}

// Reads one byte with a bounded wait; nothing on time-out or end of file.
std::optional<char> readByte(int fd) {
  pollfd entry{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, waitMilliseconds);
  } while (ready < 0 && errno == EINTR);
  if (ready != 1) return std::nullopt;
  char byte;
  return ::read(fd, &byte, 1) == 1 ? std::optional<char>(byte) : std::nullopt;
}

// A forked process that takes the lock, reports the outcome and keeps the lock until
// told to end (or until it is killed).
class LockHolder {
 public:
  explicit LockHolder(const fs::path& path) {
    int report[2], release[2];
    if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::close(report[0]);
      ::close(release[1]);
      auto outcome = SingleInstanceLock::acquire(path);
      const char byte = outcomeByte(outcome);
      if (::write(report[1], &byte, 1) != 1) ::_exit(2);
      char ignored;
      while (::read(release[0], &ignored, 1) < 0 && errno == EINTR) {
      }
      ::_exit(0);
    }
    ::close(report[1]);
    ::close(release[0]);
    reportFd_ = report[0];
    releaseFd_ = release[1];
    outcome_ = readByte(reportFd_);
  }
  ~LockHolder() {
    if (pid_ > 0) kill(SIGKILL);
    if (reportFd_ >= 0) ::close(reportFd_);
  }

  std::optional<char> outcome() const { return outcome_; }

  // Lets the process end normally and waits for it; true when it exited cleanly.
  bool end() {
    ::close(releaseFd_);
    releaseFd_ = -1;
    return reap() == 0;
  }
  // Ends the process abruptly, as a crash would, and waits for it.
  void kill(int signal) {
    ::kill(pid_, signal);
    reap();
  }

 private:
  int reap() {
    if (releaseFd_ >= 0) ::close(releaseFd_);
    releaseFd_ = -1;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t pid_ = -1;
  int reportFd_ = -1;
  int releaseFd_ = -1;
  std::optional<char> outcome_;
};

bool holdsLock(const SingleInstanceLock::Outcome& outcome) {
  return std::holds_alternative<SingleInstanceLock>(outcome);
}

std::optional<int> failureCode(const SingleInstanceLock::Outcome& outcome) {
  if (const auto* failure = std::get_if<LockFailure>(&outcome)) return failure->code;
  return std::nullopt;
}

TEST(SingleInstanceLock, CreatesTheFileWithOwnerOnlyModeAndNeverTruncatesOrDeletesIt) {
  TemporaryFolder folder;
  const auto path = folder.path() / "instance.lock";
  {
    auto outcome = SingleInstanceLock::acquire(path);
    ASSERT_TRUE(holdsLock(outcome));
    EXPECT_GE(std::get<SingleInstanceLock>(outcome).descriptor(), 0);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_TRUE(::fcntl(std::get<SingleInstanceLock>(outcome).descriptor(), F_GETFD) & FD_CLOEXEC);
  }
  ASSERT_TRUE(fs::exists(path));

  std::ofstream(path) << "kept";
  {
    auto outcome = SingleInstanceLock::acquire(path);
    ASSERT_TRUE(holdsLock(outcome));
  }
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept");
}

TEST(SingleInstanceLock, SecondProcessIsToldTheLockIsHeldUntilTheHolderEnds) {
  TemporaryFolder folder;
  const auto path = folder.path() / "instance.lock";

  LockHolder holder(path);
  ASSERT_EQ(holder.outcome(), 'L');
  EXPECT_TRUE(std::holds_alternative<LockHeldElsewhere>(SingleInstanceLock::acquire(path)));
  EXPECT_TRUE(std::holds_alternative<LockHeldElsewhere>(SingleInstanceLock::acquire(path)));
  ASSERT_TRUE(holder.end());
  EXPECT_TRUE(holdsLock(SingleInstanceLock::acquire(path)));

  // The other way round: this process holds it, a second process is refused.
  auto held = SingleInstanceLock::acquire(path);
  ASSERT_TRUE(holdsLock(held));
  LockHolder refused(path);
  EXPECT_EQ(refused.outcome(), 'H');
  EXPECT_TRUE(refused.end());
}

TEST(SingleInstanceLock, CrashedHolderReleasesTheLock) {
  TemporaryFolder folder;
  const auto path = folder.path() / "instance.lock";
  LockHolder holder(path);
  ASSERT_EQ(holder.outcome(), 'L');
  EXPECT_TRUE(std::holds_alternative<LockHeldElsewhere>(SingleInstanceLock::acquire(path)));
  holder.kill(SIGKILL);
  EXPECT_TRUE(holdsLock(SingleInstanceLock::acquire(path)));
}

TEST(SingleInstanceLock, DestructionAndMoveRelease) {
  TemporaryFolder folder;
  const auto path = folder.path() / "instance.lock";
  std::optional<SingleInstanceLock::Outcome> first = SingleInstanceLock::acquire(path);
  ASSERT_TRUE(holdsLock(*first));
  SingleInstanceLock moved = std::move(std::get<SingleInstanceLock>(*first));
  EXPECT_EQ(std::get<SingleInstanceLock>(*first).descriptor(), -1);
  first.reset();  // the moved-from object must not release the lock
  EXPECT_TRUE(std::holds_alternative<LockHeldElsewhere>(SingleInstanceLock::acquire(path)));
  {
    SingleInstanceLock sink = std::move(moved);
  }
  EXPECT_TRUE(holdsLock(SingleInstanceLock::acquire(path)));
}

TEST(SingleInstanceLock, RefusesSymbolicLinksAndReportsOpenErrors) {
  TemporaryFolder folder;
  const auto target = folder.path() / "target";
  std::ofstream(target) << "untouched";
  const auto link = folder.path() / "instance.lock";
  fs::create_symlink(target, link);
  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(link)), ELOOP);
  std::ifstream in(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "untouched");
  fs::create_symlink(folder.path() / "missing", folder.path() / "dangling.lock");
  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(folder.path() / "dangling.lock")), ELOOP);
  EXPECT_FALSE(fs::exists(folder.path() / "missing"));

  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(folder.path() / "absent" / "instance.lock")), ENOENT);
  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(folder.path())), EISDIR);
}

// Permission bits do not bind the superuser, so when the tests run as root the attempt
// is made by a child process that has given up its privileges.
TEST(SingleInstanceLock, FolderWithoutWritePermissionFailsWithEacces) {
  TemporaryFolder folder;
  const auto readOnly = folder.path() / "read-only";
  const auto writable = folder.path() / "writable";
  fs::create_directory(readOnly);
  fs::create_directory(writable);
  fs::permissions(folder.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(writable, fs::perms::all);

  std::optional<std::pair<uid_t, gid_t>> unprivileged;
  if (::geteuid() == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr) << "no unprivileged account to test permissions with";
    unprivileged.emplace(nobody->pw_uid, nobody->pw_gid);
  }

  int report[2];
  ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(report[0]);
    if (unprivileged && (::setgroups(0, nullptr) != 0 || ::setgid(unprivileged->second) != 0 ||
                         ::setuid(unprivileged->first) != 0)) {
      ::_exit(3);
    }
    const char bytes[2] = {outcomeByte(SingleInstanceLock::acquire(readOnly / "instance.lock")),
                           outcomeByte(SingleInstanceLock::acquire(writable / "instance.lock"))};
    ::_exit(::write(report[1], bytes, 2) == 2 ? 0 : 2);
  }
  ::close(report[1]);
  const auto denied = readByte(report[0]);
  const auto allowed = readByte(report[0]);
  ::close(report[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the child could not drop its privileges";
  EXPECT_EQ(denied, static_cast<char>(EACCES));
  EXPECT_EQ(allowed, 'L');  // the same process may create a lock where it has write permission
  EXPECT_FALSE(fs::exists(readOnly / "instance.lock"));
}

}  // namespace
}  // namespace nimbrella
