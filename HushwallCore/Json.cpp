#include "HushwallCore/Json.hpp"

#include <cmath>
#include <limits>

#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

[[noreturn]] void fail(std::string_view what, std::string_view expected) {
  throw JsonDecodeFailure(cat("\"", what, "\": expected ", expected));
}

}  // namespace

std::string dumpJson(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

Decoded<Json> parseJson(std::string_view bytes) {
  Json value = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::unexpected(DecodeError{"not valid JSON"});
  return value;
}

double readNumber(const Json& value, std::string_view what) {
  if (!value.is_number()) fail(what, "a number");
  return value.get<double>();
}

std::int64_t readInt64(const Json& value, std::string_view what) {
  if (value.is_number_unsigned()) {
    auto unsignedValue = value.get<std::uint64_t>();
    if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      fail(what, "a 64-bit integer");
    }
    return static_cast<std::int64_t>(unsignedValue);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    double d = value.get<double>();
    // An integral value written with a fraction part ("3.0") still reads as 3.
    if (std::trunc(d) == d && d >= -9.2233720368547758e18 && d < 9.2233720368547758e18) {
      return static_cast<std::int64_t>(d);
    }
  }
  fail(what, "an integer");
}

std::uint32_t readUInt32(const Json& value, std::string_view what) {
  std::int64_t v = readInt64(value, what);
  if (v < 0 || v > std::numeric_limits<std::uint32_t>::max()) fail(what, "an unsigned 32-bit integer");
  return static_cast<std::uint32_t>(v);
}

bool readBool(const Json& value, std::string_view what) {
  if (!value.is_boolean()) fail(what, "a boolean");
  return value.get<bool>();
}

std::string readString(const Json& value, std::string_view what) {
  if (!value.is_string()) fail(what, "a string");
  return value.get<std::string>();
}

Uuid readUuid(const Json& value, std::string_view what) {
  auto parsed = Uuid::parse(readString(value, what));
  if (!parsed) fail(what, "a UUID");
  return *parsed;
}

Date readDate(const Json& value, std::string_view what) { return Date{readNumber(value, what)}; }

const Json& readArray(const Json& value, std::string_view what) {
  if (!value.is_array()) fail(what, "an array");
  return value;
}

void failNotACase(std::string_view what) { fail(what, "one of the enumeration's case names"); }

std::vector<std::string> readStringArray(const Json& value, std::string_view what) {
  std::vector<std::string> out;
  out.reserve(readArray(value, what).size());
  for (const auto& element : value) out.push_back(readString(element, what));
  return out;
}

const Json& requireObject(const Json& value, std::string_view what) {
  if (!value.is_object()) fail(what, "an object");
  return value;
}

const Json& required(const Json& object, std::string_view key) {
  auto found = object.find(key);
  if (found == object.end()) throw JsonDecodeFailure(cat("missing key \"", key, "\""));
  return *found;
}

const Json* optional(const Json& object, std::string_view key) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

}  // namespace hushwall
