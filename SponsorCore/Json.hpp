#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrella {

// A server answer or a stored record that does not have the expected shape. The text
// names the offending key for debugging; it is never shown to the user.
class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A record that cannot be written as JSON (a text that is not well-formed UTF-8).
// Nothing is ever replaced or dropped silently to make it fit.
class EncodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Strict readers for one field of a decoded JSON object.
//
// Required readers fail when the key is missing, null or of another JSON type;
// optional readers answer nothing for a missing key and for null, and fail for any
// other type mismatch. Booleans are never integers and integers are never booleans.
//
// Integers: a JSON number counts as an integer only when it is written without a
// fraction and without an exponent and fits a signed 64-bit integer. A number written
// as a float is refused even when its value is whole ("1.0", "1e3"): the server always
// writes integers, so a float is a malformed answer, not a rounding question.
namespace json {

using Json = nlohmann::ordered_json;

// Parses a complete JSON text. Malformed text, trailing garbage and an object with a
// repeated key are a DecodingError.
Json parse(std::string_view text);

// Fails unless the value is a JSON object; `what` names it in the error text.
const Json& requireObject(const Json& value, std::string_view what);

std::string requiredString(const Json& object, std::string_view key);
std::optional<std::string> optionalString(const Json& object, std::string_view key);

std::int64_t requiredInt(const Json& object, std::string_view key);
std::optional<std::int64_t> optionalInt(const Json& object, std::string_view key);

bool requiredBool(const Json& object, std::string_view key);
std::optional<bool> optionalBool(const Json& object, std::string_view key);

// A JSON object nested under the key.
const Json& requiredObject(const Json& object, std::string_view key);
// Nothing for a missing key or null; the nested object otherwise.
const Json* optionalObject(const Json& object, std::string_view key);

// A JSON array nested under the key.
const Json& requiredArray(const Json& object, std::string_view key);

// A JSON array of strings; any element that is not a string fails.
std::vector<std::string> requiredStringArray(const Json& object, std::string_view key);

// Compact JSON text; an EncodingError when a string is not well-formed UTF-8.
std::string dump(const Json& value);

}  // namespace json

// Decodes a whole JSON body into a record. Every failure, whatever its origin, is a
// DecodingError: malformed JSON, a missing or mistyped field, an unknown enumeration value.
template <class T>
T decodeJson(std::string_view body) {
  const json::Json value = json::parse(body);
  try {
    return T::fromJson(value);
  } catch (const DecodingError&) {
    throw;
  } catch (const nlohmann::json::exception& error) {
    throw DecodingError(error.what());
  }
}

// Compact JSON text of a record, keys in declaration order.
template <class T>
std::string encodeJson(const T& value) {
  return json::dump(value.toJson());
}

}  // namespace nimbrella
