#include "SponsorCore/SingleInstanceLock.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace nimbrella {

namespace {

// errno values that the C library does not know as POSIX error codes become EIO.
int posixCode(int error) {
  if (error <= 0 || strerrorname_np(error) == nullptr) return EIO;
  return error;
}

}  // namespace

SingleInstanceLock::Outcome SingleInstanceLock::acquire(const std::filesystem::path& path) {
  int descriptor;
  do {
    descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return LockFailure{posixCode(errno)};

  int result;
  do {
    result = ::flock(descriptor, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return SingleInstanceLock(descriptor);

  const int error = errno;
  ::close(descriptor);
  if (error == EWOULDBLOCK) return LockHeldElsewhere{};
  return LockFailure{posixCode(error)};
}

SingleInstanceLock::SingleInstanceLock(SingleInstanceLock&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

SingleInstanceLock& SingleInstanceLock::operator=(SingleInstanceLock&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = std::exchange(other.descriptor_, -1);
  }
  return *this;
}

SingleInstanceLock::~SingleInstanceLock() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

}  // namespace nimbrella
