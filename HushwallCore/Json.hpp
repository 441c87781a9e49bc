// The one JSON convention layer (include from .cpp files only; headers use
// <nlohmann/json_fwd.hpp>). Conventions: compact output with absent optionals
// left out; on reading, unknown keys are ignored, null reads as absent for
// optional keys, and a missing required key or a value of the wrong type fails
// the whole decode. Readers throw `JsonDecodeFailure` internally; `decodeJson`
// turns that into a typed `DecodeError` at the boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/CaseNames.hpp"
#include "HushwallCore/Date.hpp"
#include "HushwallCore/Decoded.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall {

using Json = nlohmann::json;

class JsonDecodeFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Compact JSON text; never throws (invalid UTF-8 in strings is replaced).
[[nodiscard]] std::string dumpJson(const Json& value);
// Strict parse of the whole buffer (valid UTF-8, one value, no trailing bytes).
[[nodiscard]] Decoded<Json> parseJson(std::string_view bytes);

// Value readers: throw JsonDecodeFailure on a wrong type. `what` names the key.
[[nodiscard]] double readNumber(const Json& value, std::string_view what);
[[nodiscard]] std::int64_t readInt64(const Json& value, std::string_view what);
[[nodiscard]] std::uint32_t readUInt32(const Json& value, std::string_view what);
[[nodiscard]] bool readBool(const Json& value, std::string_view what);
[[nodiscard]] std::string readString(const Json& value, std::string_view what);
[[nodiscard]] Uuid readUuid(const Json& value, std::string_view what);
[[nodiscard]] Date readDate(const Json& value, std::string_view what);
[[nodiscard]] std::vector<std::string> readStringArray(const Json& value, std::string_view what);
[[nodiscard]] const Json& readArray(const Json& value, std::string_view what);
[[noreturn]] void failNotACase(std::string_view what);
// An enumeration written as its case name in `table` (see CaseNames.hpp). A
// non-string, or any other word (another spelling or case included), fails the whole record.
template <typename Table>
[[nodiscard]] auto readCase(const Json& value, std::string_view what, const Table& table) {
  if (const auto* word = value.get_ptr<const std::string*>()) {
    if (auto found = caseIn(table, *word)) return *found;
  }
  failNotACase(what);
}

// Key access on an object: `required` throws when the key is missing (null is a
// wrong type for it, caught by the reader); `optional` gives null for a missing
// or null key.
const Json& requireObject(const Json& value, std::string_view what);
[[nodiscard]] const Json& required(const Json& object, std::string_view key);
[[nodiscard]] const Json* optional(const Json& object, std::string_view key);

template <class T, class Reader>
[[nodiscard]] std::optional<T> readOptional(const Json& object, std::string_view key, Reader reader) {
  const Json* value = optional(object, key);
  if (value == nullptr) return std::nullopt;
  return reader(*value, key);
}

[[nodiscard]] inline Json writeDate(Date date) { return date.sinceReferenceDate; }
[[nodiscard]] inline Json writeUuid(const Uuid& uuid) { return uuid.string(); }

// Parses `bytes` and hands the value to `fromJson` (which may throw
// JsonDecodeFailure or nlohmann's exceptions); every failure becomes a DecodeError.
template <class T, class FromJson>
[[nodiscard]] Decoded<T> decodeJson(std::string_view bytes, FromJson fromJson) {
  auto parsed = parseJson(bytes);
  if (!parsed) return std::unexpected(parsed.error());
  try {
    return fromJson(*parsed);
  } catch (const JsonDecodeFailure& failure) {
    return std::unexpected(DecodeError{failure.what()});
  } catch (const nlohmann::json::exception& failure) {
    return std::unexpected(DecodeError{failure.what()});
  }
}

}  // namespace hushwall
