// A 128-bit UUID, written as upper-case 8-4-4-4-12 hexadecimal text.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace hushwall {

class Uuid {
 public:
  Uuid() = default;  // the nil UUID
  explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

  // A fresh random (version 4) UUID from the kernel's random source.
  [[nodiscard]] static Uuid random();
  // Parses 8-4-4-4-12 hexadecimal text in either case; anything else gives nothing.
  [[nodiscard]] static std::optional<Uuid> parse(std::string_view text);

  // Upper-case 8-4-4-4-12 text, 36 characters.
  [[nodiscard]] std::string string() const;
  [[nodiscard]] const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace hushwall

template <>
struct std::hash<hushwall::Uuid> {
  std::size_t operator()(const hushwall::Uuid& uuid) const noexcept;
};
