#include "SponsorCore/SingleInstanceLock.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
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
  const auto held = SingleInstanceLock::acquire(path);
  EXPECT_TRUE(holdsLock(held));
  EXPECT_EQ(fs::file_size(path), 4u);
  // Held, the lock is refused to anyone else (another process, as the real program's
  // second launch and its restart after a SIGKILL show in tests/e2e and tests/faults).
  EXPECT_TRUE(heldElsewhere(SingleInstanceLock::acquire(path)));
  fs::create_symlink(folder / "missing", folder / "link.lock");
  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(folder / "link.lock")), ELOOP);
  EXPECT_FALSE(fs::exists(folder / "missing"));
  EXPECT_EQ(failureCode(SingleInstanceLock::acquire(folder / "absent" / "instance.lock")), ENOENT);
}

}  // namespace
}  // namespace nimbrella
