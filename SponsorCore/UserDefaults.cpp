#include "SponsorCore/UserDefaults.hpp"

#include <utility>

namespace nimbrella {

template <typename T>
std::optional<T> InMemoryUserDefaults::get(std::string_view key) const {
  const auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  if (const T* value = std::get_if<T>(&found->second)) return *value;
  return std::nullopt;
}

void InMemoryUserDefaults::put(std::string_view key, Value value) {
  const auto found = values_.find(key);
  if (found != values_.end()) {
    found->second = std::move(value);
  } else {
    values_.emplace(std::string(key), std::move(value));
  }
}

bool InMemoryUserDefaults::contains(std::string_view key) const {
  return values_.find(key) != values_.end();
}

std::optional<UserDefaults::Bytes> InMemoryUserDefaults::data(std::string_view key) const {
  return get<Bytes>(key);
}

std::optional<bool> InMemoryUserDefaults::boolean(std::string_view key) const { return get<bool>(key); }

std::optional<std::string> InMemoryUserDefaults::text(std::string_view key) const {
  return get<std::string>(key);
}

std::optional<Date> InMemoryUserDefaults::date(std::string_view key) const { return get<Date>(key); }

void InMemoryUserDefaults::setData(std::string_view key, Bytes value) { put(key, std::move(value)); }

void InMemoryUserDefaults::setBoolean(std::string_view key, bool value) { put(key, value); }

void InMemoryUserDefaults::setText(std::string_view key, std::string value) { put(key, std::move(value)); }

void InMemoryUserDefaults::setDate(std::string_view key, Date value) { put(key, value); }

void InMemoryUserDefaults::remove(std::string_view key) {
  const auto found = values_.find(key);
  if (found != values_.end()) values_.erase(found);
}

UserDefaults::Bytes bytesOf(std::string_view text) {
  return UserDefaults::Bytes(text.begin(), text.end());
}

}  // namespace nimbrella
