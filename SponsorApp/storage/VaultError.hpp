#pragma once

#include <cstdint>
#include <exception>
#include <string_view>

namespace nimbrella {

// Failure of the secure credential store. The platform's own status is not kept:
// whatever went wrong, the user is told the same thing.
class VaultError : public std::exception {
 public:
  enum class Kind : std::uint8_t { unavailable };

  static VaultError unavailable() noexcept { return VaultError(Kind::unavailable); }

  Kind kind() const noexcept { return kind_; }

  // The English user-facing text of the case.
  std::string_view message() const noexcept;
  const char* what() const noexcept override;

  friend bool operator==(const VaultError& a, const VaultError& b) noexcept { return a.kind_ == b.kind_; }

 private:
  explicit VaultError(Kind kind) noexcept : kind_(kind) {}

  Kind kind_;
};

}  // namespace nimbrella
