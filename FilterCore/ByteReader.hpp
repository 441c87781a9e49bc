// A cursor over untrusted bytes: every read checks the bounds and, when they do
// not hold, fails and leaves the cursor failed, so a parser tests once at the end
// of a run of reads. Internal to the parsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace hushwall::filter {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] std::size_t position() const { return position_; }
  [[nodiscard]] std::size_t remaining() const { return ok_ ? bytes_.size() - position_ : 0; }
  [[nodiscard]] std::span<const std::uint8_t> rest() const { return bytes_.subspan(ok_ ? position_ : bytes_.size()); }

  std::uint8_t u8() { return static_cast<std::uint8_t>(big(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(big(2)); }
  std::uint32_t u24() { return static_cast<std::uint32_t>(big(3)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(big(4)); }
  // A QUIC variable-length integer (1, 2, 4 or 8 bytes by its top two bits).
  std::uint64_t varint() {
    if (remaining() < 1) return fail();
    std::size_t length = std::size_t{1} << (bytes_[position_] >> 6);
    std::uint64_t value = big(length);
    return value & ((std::uint64_t{1} << (8 * length - 2)) - 1);
  }
  std::span<const std::uint8_t> take(std::uint64_t count) {
    if (count > remaining()) {
      fail();
      return {};
    }
    auto piece = bytes_.subspan(position_, static_cast<std::size_t>(count));
    position_ += piece.size();
    return piece;
  }
  void skip(std::uint64_t count) { (void)take(count); }
  // The next `count` bytes as a reader of their own; this one moves past them.
  ByteReader sub(std::uint64_t count) {
    ByteReader inner(take(count));
    inner.ok_ = ok_;
    return inner;
  }

 private:
  std::uint64_t fail() {
    ok_ = false;
    return 0;
  }
  std::uint64_t big(std::size_t count) {
    if (count > remaining()) return fail();
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value = value << 8 | bytes_[position_ + i];
    position_ += count;
    return value;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

}  // namespace hushwall::filter
