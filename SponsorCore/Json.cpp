#include "SponsorCore/Json.hpp"

#include <algorithm>
#include <limits>
#include <unordered_set>

namespace nimbrella::json {

namespace {

std::string quoted(std::string_view key) {
  std::string text = "\"";
  text += key;
  text += '"';
  return text;
}

[[noreturn]] void fail(std::string_view key, std::string_view problem) {
  throw DecodingError("key " + quoted(key) + ": " + std::string(problem));
}

// The value under the key, or nullptr when the key is missing or null.
const Json* lookup(const Json& object, std::string_view key) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

const Json& required(const Json& object, std::string_view key) {
  const Json* value = lookup(object, key);
  if (value == nullptr) fail(key, "missing or null");
  return *value;
}

std::string toString(std::string_view key, const Json& value) {
  if (!value.is_string()) fail(key, "not a string");
  return value.get_ref<const Json::string_t&>();
}

std::int64_t toInt(std::string_view key, const Json& value) {
  // is_number_integer() covers both signed and unsigned storage; floats are refused
  // whatever their value, and is_boolean() values are a separate JSON type.
  if (value.is_number_unsigned()) {
    const auto unsignedValue = value.get<Json::number_unsigned_t>();
    if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      fail(key, "integer out of range");
    }
    return static_cast<std::int64_t>(unsignedValue);
  }
  if (value.is_number_integer()) return value.get<Json::number_integer_t>();
  if (value.is_number_float()) fail(key, "not an integer");
  fail(key, "not a number");
}

bool toBool(std::string_view key, const Json& value) {
  if (!value.is_boolean()) fail(key, "not a boolean");
  return value.get<bool>();
}

// Builds the document from nlohmann's events and refuses an object that names the same
// key twice: which of the two values counts would be a guess, and other JSON readers guess
// differently. Members are appended to their object as they come: an ordered object's own
// insertion looks for the key among all earlier ones, which would make an object with many
// keys cost the square of their number, and the key set below already knows they differ.
class StrictDomBuilder {
 public:
  explicit StrictDomBuilder(Json& root) : root_(root) {}

  bool null() { return put(nullptr); }
  bool boolean(bool value) { return put(value); }
  bool number_integer(Json::number_integer_t value) { return put(value); }
  bool number_unsigned(Json::number_unsigned_t value) { return put(value); }
  bool number_float(Json::number_float_t value, const Json::string_t&) { return put(value); }
  bool string(Json::string_t& value) { return put(std::move(value)); }
  bool binary(Json::binary_t& value) { return put(Json::binary(std::move(value))); }

  bool start_array(std::size_t) {
    open_.push_back(&add(Json::array()));
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }

  bool start_object(std::size_t) {
    if (depth_ == levels_.size()) levels_.emplace_back();
    levels_[depth_].clear();
    ++depth_;
    open_.push_back(&add(Json::object()));
    return true;
  }

  bool key(Json::string_t& value) {
    if (!levels_[depth_ - 1].insert(value)) throw DecodingError("duplicate key \"" + value + "\"");
    auto& members = static_cast<Json::object_t::Container&>(open_.back()->get_ref<Json::object_t&>());
    member_ = &members.emplace_back(std::move(value), nullptr).second;
    return true;
  }

  bool end_object() {
    --depth_;
    open_.pop_back();
    return true;
  }

  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& error) {
    throw error;
  }

 private:
  // Places a value where the document is: as the root, as the next element of the open
  // array, or as the value of the key just read. Only the innermost open container ever
  // grows, so the pointers to the outer ones stay valid.
  template <class Value>
  bool put(Value&& value) {
    add(std::forward<Value>(value));
    return true;
  }

  template <class Value>
  Json& add(Value&& value) {
    if (open_.empty()) {
      root_ = Json(std::forward<Value>(value));
      return root_;
    }
    Json& container = *open_.back();
    if (container.is_array()) return container.get_ref<Json::array_t&>().emplace_back(std::forward<Value>(value));
    *member_ = Json(std::forward<Value>(value));
    return *member_;
  }

  // The keys of one open object: a short list while small, a hash set once large.
  class KeySet {
   public:
    void clear() {
      few_.clear();
      many_.clear();
    }
    bool insert(const std::string& key) {
      if (!many_.empty()) return many_.insert(key).second;
      if (std::find(few_.begin(), few_.end(), key) != few_.end()) return false;
      few_.push_back(key);
      if (few_.size() > 16) many_.insert(few_.begin(), few_.end());
      return true;
    }

   private:
    std::vector<std::string> few_;
    std::unordered_set<std::string> many_;
  };

  Json& root_;
  std::vector<Json*> open_;  // the arrays and objects not yet closed, outermost first
  Json* member_ = nullptr;   // the value of the key just read
  std::vector<KeySet> levels_;
  std::size_t depth_ = 0;
};

}  // namespace

Json parse(std::string_view text) {
  Json root;
  StrictDomBuilder builder(root);
  try {
    Json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json, true);
  } catch (const nlohmann::json::exception& error) {
    throw DecodingError(std::string("malformed JSON: ") + error.what());
  }
  return root;
}

const Json& requireObject(const Json& value, std::string_view what) {
  if (!value.is_object()) throw DecodingError(std::string(what) + ": not a JSON object");
  return value;
}

std::string requiredString(const Json& object, std::string_view key) {
  return toString(key, required(object, key));
}

std::optional<std::string> optionalString(const Json& object, std::string_view key) {
  const Json* value = lookup(object, key);
  if (value == nullptr) return std::nullopt;
  return toString(key, *value);
}

std::int64_t requiredInt(const Json& object, std::string_view key) {
  return toInt(key, required(object, key));
}

std::optional<std::int64_t> optionalInt(const Json& object, std::string_view key) {
  const Json* value = lookup(object, key);
  if (value == nullptr) return std::nullopt;
  return toInt(key, *value);
}

bool requiredBool(const Json& object, std::string_view key) {
  return toBool(key, required(object, key));
}

std::optional<bool> optionalBool(const Json& object, std::string_view key) {
  const Json* value = lookup(object, key);
  if (value == nullptr) return std::nullopt;
  return toBool(key, *value);
}

const Json& requiredObject(const Json& object, std::string_view key) {
  const Json& value = required(object, key);
  if (!value.is_object()) fail(key, "not an object");
  return value;
}

const Json* optionalObject(const Json& object, std::string_view key) {
  const Json* value = lookup(object, key);
  if (value != nullptr && !value->is_object()) fail(key, "not an object");
  return value;
}

const Json& requiredArray(const Json& object, std::string_view key) {
  const Json& value = required(object, key);
  if (!value.is_array()) fail(key, "not an array");
  return value;
}

std::vector<std::string> requiredStringArray(const Json& object, std::string_view key) {
  const Json& array = requiredArray(object, key);
  std::vector<std::string> strings;
  strings.reserve(array.size());
  for (const Json& element : array) {
    if (!element.is_string()) fail(key, "array element is not a string");
    strings.push_back(element.get_ref<const Json::string_t&>());
  }
  return strings;
}

std::string dump(const Json& value) {
  try {
    return value.dump();
  } catch (const nlohmann::json::exception& error) {
    throw EncodingError(error.what());
  }
}

}  // namespace nimbrella::json
