#include "SponsorCore/SingleInstanceLock.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

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
using Outcome = SingleInstanceLock::Outcome;

class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "lock-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string contents(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool holdsLock(const Outcome& outcome) { return std::holds_alternative<SingleInstanceLock>(outcome); }
bool heldElsewhere(const Outcome& outcome) { return std::holds_alternative<LockHeldElsewhere>(outcome); }

std::optional<int> failureCode(const Outcome& outcome) {
  if (const auto* failure = std::get_if<LockFailure>(&outcome)) return failure->code;
  return std::nullopt;
}

// One byte summarising an acquisition outcome, for reporting across a pipe: 'L', 'H',
// or the errno of a failure.
char outcomeByte(const Outcome& outcome) {
  if (holdsLock(outcome)) return 'L';
  if (heldElsewhere(outcome)) return 'H';
  const int code = *failureCode(outcome);
  return static_cast<char>(code > 0 && code < 60 ? code : 60);
}

// A forked process that, optionally as another user, acquires each path in turn, reports
// every outcome and keeps whatever it holds until told to end (or until it is killed).
class Child {
 public:
  explicit Child(const std::vector<fs::path>& paths, std::optional<std::pair<uid_t, gid_t>> user = std::nullopt) {
    int report[2], release[2];
    if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::close(report[0]);
      ::close(release[1]);
      if (user && (::setgroups(0, nullptr) != 0 || ::setgid(user->second) != 0 || ::setuid(user->first) != 0)) {
        ::_exit(3);
      }
      std::vector<Outcome> held;
      held.reserve(paths.size());
      std::string bytes;
      for (const auto& path : paths) bytes += outcomeByte(held.emplace_back(SingleInstanceLock::acquire(path)));
      if (::write(report[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) ::_exit(2);
      char ignored;
      while (::read(release[0], &ignored, 1) < 0 && errno == EINTR) {
      }
      ::_exit(0);
    }
    ::close(report[1]);
    ::close(release[0]);
    reportFd_ = report[0];
    releaseFd_ = release[1];
  }
  ~Child() {
    if (pid_ > 0) kill(SIGKILL);
    ::close(reportFd_);
  }

  // The next reported byte, waiting at most 20 s; nothing on time-out or end of file.
  std::optional<char> next() {
    pollfd entry{reportFd_, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&entry, 1, 20000)) < 0 && errno == EINTR) {
    }
    char byte;
    return ready == 1 && ::read(reportFd_, &byte, 1) == 1 ? std::optional<char>(byte) : std::nullopt;
  }
  // Lets the process end normally and waits for it; true when it exited cleanly.
  bool end() { return reap() == 0; }
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
};

TEST(SingleInstanceLock, CreatesTheFileWithOwnerOnlyModeAndNeverTruncatesOrDeletesIt) {
  TemporaryFolder folder;
  const auto path = folder.path() / "instance.lock";
  {
    auto outcome = SingleInstanceLock::acquire(path);
    ASSERT_TRUE(holdsLock(outcome));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_TRUE(::fcntl(std::get<SingleInstanceLock>(outcome).descriptor(), F_GETFD) & FD_CLOEXEC);
  }
  std::ofstream(path) << "kept";
  EXPECT_TRUE(holdsLock(SingleInstanceLock::acquire(path)));
  EXPECT_EQ(contents(path), "kept");
}

TEST(SingleInstanceLock, ASecondProcessIsRefusedUntilTheHolderEndsOrCrashes) {
  TemporaryFolder folder;
  const auto path = folder.path() / "instance.lock";
  {
    Child holder({path});
    ASSERT_EQ(holder.next(), 'L');
    EXPECT_TRUE(heldElsewhere(SingleInstanceLock::acquire(path)));
    EXPECT_TRUE(heldElsewhere(SingleInstanceLock::acquire(path)));
    ASSERT_TRUE(holder.end());
  }
  {
    const auto held = SingleInstanceLock::acquire(path);  // the other way round
    ASSERT_TRUE(holdsLock(held));
    Child refused({path});
    EXPECT_EQ(refused.next(), 'H');
    EXPECT_TRUE(refused.end());
  }
  Child crashing({path});
  ASSERT_EQ(crashing.next(), 'L');
  EXPECT_TRUE(heldElsewhere(SingleInstanceLock::acquire(path)));
  crashing.kill(SIGKILL);
  EXPECT_TRUE(holdsLock(SingleInstanceLock::acquire(path)));
}

TEST(SingleInstanceLock, DestructionAndMoveRelease) {
  TemporaryFolder folder;
  const auto path = folder.path() / "instance.lock";
  std::optional<Outcome> first = SingleInstanceLock::acquire(path);
  ASSERT_TRUE(holdsLock(*first));
  SingleInstanceLock moved = std::move(std::get<SingleInstanceLock>(*first));
  EXPECT_EQ(std::get<SingleInstanceLock>(*first).descriptor(), -1);
  first.reset();  // the moved-from object must not release the lock
  EXPECT_TRUE(heldElsewhere(SingleInstanceLock::acquire(path)));
  { SingleInstanceLock sink = std::move(moved); }
  EXPECT_TRUE(holdsLock(SingleInstanceLock::acquire(path)));
}

TEST(SingleInstanceLock, RefusesSymbolicLinksAndReportsOpenErrors) {
  TemporaryFolder folder;
  const auto target = folder.path() / "target";
  std::ofstream(target) << "untouched";
  fs::create_symlink(target, folder.path() / "instance.lock");
  fs::create_symlink(folder.path() / "missing", folder.path() / "dangling.lock");
  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(folder.path() / "instance.lock")), ELOOP);
  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(folder.path() / "dangling.lock")), ELOOP);
  EXPECT_EQ(contents(target), "untouched");
  EXPECT_FALSE(fs::exists(folder.path() / "missing"));
  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(folder.path() / "absent" / "instance.lock")), ENOENT);
  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(folder.path())), EISDIR);
}

// Permission bits do not bind the superuser, so when the tests run as root the attempt
// is made by a child process that has given up its privileges.
TEST(SingleInstanceLock, FolderWithoutWritePermissionFailsWithEacces) {
  TemporaryFolder folder;
  const auto readOnly = folder.path() / "read-only", writable = folder.path() / "writable";
  fs::create_directory(readOnly);
  fs::create_directory(writable);
  const auto readAndEnter = fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec;
  fs::permissions(folder.path(), fs::perms::owner_all | readAndEnter);
  fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec | readAndEnter);
  fs::permissions(writable, fs::perms::all);
  std::optional<std::pair<uid_t, gid_t>> unprivileged;
  if (::geteuid() == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr) << "no unprivileged account to test permissions with";
    unprivileged.emplace(nobody->pw_uid, nobody->pw_gid);
  }
  Child child({readOnly / "instance.lock", writable / "instance.lock"}, unprivileged);
  EXPECT_EQ(child.next(), static_cast<char>(EACCES));
  EXPECT_EQ(child.next(), 'L');  // the same process may create a lock where it has write permission
  EXPECT_TRUE(child.end()) << "the child could not drop its privileges";
  EXPECT_FALSE(fs::exists(readOnly / "instance.lock"));
}

}  // namespace
}  // namespace nimbrella
