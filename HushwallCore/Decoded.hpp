// The result of decoding a wire or stored payload. Light on purpose: record
// headers include this, only .cpp files include the JSON library (Json.hpp).
#pragma once

#include <expected>
#include <string>

namespace hushwall {

// Why a payload did not decode; for logs and tests, never shown to the app.
struct DecodeError {
  std::string reason;
  friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

template <class T>
using Decoded = std::expected<T, DecodeError>;

}  // namespace hushwall
