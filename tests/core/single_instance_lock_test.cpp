#include "SponsorCore/SingleInstanceLock.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <optional>
#include <string>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nimbrella {
namespace {

namespace fs = std::filesystem;
using Outcome = SingleInstanceLock::Outcome;

bool holdsLock(const Outcome& outcome) { return std::holds_alternative<SingleInstanceLock>(outcome); }
bool heldElsewhere(const Outcome& outcome) { return std::holds_alternative<LockHeldElsewhere>(outcome); }

std::optional<int> failureCode(const Outcome& outcome) {
  if (const auto* failure = std::get_if<LockFailure>(&outcome)) return failure->code;
  return std::nullopt;
}

class SingleInstanceLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "lock-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder = pattern, path = folder / "instance.lock";
  }
  void TearDown() override { fs::remove_all(folder); }
  fs::path folder, path;
};

// Forks a process that acquires the lock, reports 'L' or 'H' into `report` and keeps what it
// holds until it is killed, at the latest when this program ends. Acquiring never blocks.
pid_t lockInChild(const fs::path& path, char& report) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const Outcome outcome = SingleInstanceLock::acquire(path);
    const char byte = holdsLock(outcome) ? 'L' : heldElsewhere(outcome) ? 'H' : 'F';
    if (::write(fds[1], &byte, 1) == 1) for (;;) ::pause();
    ::_exit(2);
  }
  ::close(fds[1]);
  if (pid < 0 || ::read(fds[0], &report, 1) != 1) report = '?';
  ::close(fds[0]);
  return pid;
}

// Ends the process abruptly, as a crash would, and waits for it.
void crash(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST_F(SingleInstanceLockTest, CreatesAnOwnerOnlyFileNeverTruncatedAndRefusesSymbolicLinks) {
  {
    auto outcome = SingleInstanceLock::acquire(path);
    ASSERT_TRUE(holdsLock(outcome));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_TRUE(::fcntl(std::get<SingleInstanceLock>(outcome).descriptor(), F_GETFD) & FD_CLOEXEC);
  }
  fs::resize_file(path, 4);
  EXPECT_TRUE(holdsLock(SingleInstanceLock::acquire(path)));
  EXPECT_EQ(fs::file_size(path), 4u);
  fs::create_symlink(folder / "missing", folder / "link.lock");
  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(folder / "link.lock")), ELOOP);
  EXPECT_FALSE(fs::exists(folder / "missing"));
  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(folder / "absent" / "instance.lock")), ENOENT);
}

TEST_F(SingleInstanceLockTest, AnotherProcessHoldsTheLockUntilItCrashes) {
  char report = 0;
  const pid_t holder = lockInChild(path, report);
  EXPECT_EQ(report, 'L');
  EXPECT_TRUE(heldElsewhere(SingleInstanceLock::acquire(path)));
  crash(holder);
  EXPECT_TRUE(holdsLock(SingleInstanceLock::acquire(path)));
  const auto held = SingleInstanceLock::acquire(path);
  crash(lockInChild(path, report));
  EXPECT_EQ(report, 'H');
}

TEST_F(SingleInstanceLockTest, DestructionAndMoveRelease) {
  std::optional<Outcome> first = SingleInstanceLock::acquire(path);
  ASSERT_TRUE(holdsLock(*first));
  SingleInstanceLock moved = std::move(std::get<SingleInstanceLock>(*first));
  first.reset();  // the moved-from object must not release the lock
  EXPECT_TRUE(heldElsewhere(SingleInstanceLock::acquire(path)));
  auto other = SingleInstanceLock::acquire(folder / "other.lock");
  moved = std::move(std::get<SingleInstanceLock>(other));  // releases what it held before
  EXPECT_TRUE(holdsLock(SingleInstanceLock::acquire(path)));
  EXPECT_TRUE(heldElsewhere(SingleInstanceLock::acquire(folder / "other.lock")));
}

}  // namespace
}  // namespace nimbrella
