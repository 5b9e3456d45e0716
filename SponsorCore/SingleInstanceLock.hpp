#pragma once

#include <filesystem>
#include <variant>

namespace nimbrella {

class SingleInstanceLock;

// Another process holds the lock.
struct LockHeldElsewhere {
  friend bool operator==(const LockHeldElsewhere&, const LockHeldElsewhere&) = default;
};

// Opening or locking the file failed with a POSIX error code (errno values that are
// not known POSIX codes are reported as EIO).
struct LockFailure {
  int code = 0;
  friend bool operator==(const LockFailure&, const LockFailure&) = default;
};

// An exclusive advisory lock (flock) on a lock file, held for as long as the object lives.
// The file is created empty with mode 0600 when absent; it is never truncated, read,
// written or deleted. Closing the descriptor (destruction, or the end of the process)
// releases the lock.
class SingleInstanceLock {
 public:
  using Outcome = std::variant<SingleInstanceLock, LockHeldElsewhere, LockFailure>;

  // Opens (creating when absent) the file at `path` without following a symbolic link at
  // its last component, and takes the lock without waiting.
  static Outcome acquire(const std::filesystem::path& path);

  SingleInstanceLock(const SingleInstanceLock&) = delete;
  SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;
  SingleInstanceLock(SingleInstanceLock&& other) noexcept;
  SingleInstanceLock& operator=(SingleInstanceLock&& other) noexcept;
  ~SingleInstanceLock();

  // The open descriptor of the lock file, which carries the lock (-1 after a move).
  int descriptor() const { return descriptor_; }

 private:
  explicit SingleInstanceLock(int descriptor) : descriptor_(descriptor) {}

  int descriptor_ = -1;
};

}  // namespace nimbrella
