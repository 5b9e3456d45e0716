#pragma once

#include "SponsorCore/Date.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace nimbrella {

// The application's store of small configuration values, each kept under a text key
// with one of four kinds: data (bytes), boolean, text or date. Reading a key whose value
// has another kind answers nothing for the kind asked, just as for a missing key.
class UserDefaults {
 public:
  using Bytes = std::vector<std::uint8_t>;

  virtual ~UserDefaults() = default;

  // True when the key holds a value of any kind.
  virtual bool contains(std::string_view key) const = 0;

  virtual std::optional<Bytes> data(std::string_view key) const = 0;
  virtual std::optional<bool> boolean(std::string_view key) const = 0;
  virtual std::optional<std::string> text(std::string_view key) const = 0;
  virtual std::optional<Date> date(std::string_view key) const = 0;

  // Each setter replaces whatever the key held, whatever its kind.
  virtual void setData(std::string_view key, Bytes value) = 0;
  virtual void setBoolean(std::string_view key, bool value) = 0;
  virtual void setText(std::string_view key, std::string value) = 0;
  virtual void setDate(std::string_view key, Date value) = 0;

  // Removes the key's value; a missing key is left as it is.
  virtual void remove(std::string_view key) = 0;

 protected:
  UserDefaults() = default;
  UserDefaults(const UserDefaults&) = default;
  UserDefaults& operator=(const UserDefaults&) = default;
};

// A store held in memory only; for tests and for callers that need a scratch store.
class InMemoryUserDefaults final : public UserDefaults {
 public:
  InMemoryUserDefaults() = default;
  InMemoryUserDefaults(const InMemoryUserDefaults&) = default;
  InMemoryUserDefaults& operator=(const InMemoryUserDefaults&) = default;

  bool contains(std::string_view key) const override;

  std::optional<Bytes> data(std::string_view key) const override;
  std::optional<bool> boolean(std::string_view key) const override;
  std::optional<std::string> text(std::string_view key) const override;
  std::optional<Date> date(std::string_view key) const override;

  void setData(std::string_view key, Bytes value) override;
  void setBoolean(std::string_view key, bool value) override;
  void setText(std::string_view key, std::string value) override;
  void setDate(std::string_view key, Date value) override;

  void remove(std::string_view key) override;

  // Number of keys that hold a value.
  std::size_t size() const noexcept { return values_.size(); }

 private:
  using Value = std::variant<Bytes, bool, std::string, Date>;

  template <typename T>
  std::optional<T> get(std::string_view key) const;
  void put(std::string_view key, Value value);

  std::map<std::string, Value, std::less<>> values_;
};

// The bytes of a text, for storing JSON and other encoded text as data.
UserDefaults::Bytes bytesOf(std::string_view text);

}  // namespace nimbrella
