// Puts the bytes of one direction of a stream back in order from pieces that
// arrive out of order, overlap or repeat: TCP segments by sequence number and
// QUIC CRYPTO frames by offset alike. It keeps at most `capacity` bytes from
// the stream's start; a plain value, not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace hushwall::filter {

class StreamAssembler {
 public:
  explicit StreamAssembler(std::size_t capacity) : capacity_(capacity) {}

  // Stores `bytes` found at `offset` from the stream's start, up to the
  // capacity. Where pieces overlap, the bytes first received are kept.
  void add(std::uint64_t offset, std::span<const std::uint8_t> bytes);

  // The bytes held without a gap from the start.
  [[nodiscard]] std::span<const std::uint8_t> contiguous() const;
  // Forgets the first `count` contiguous bytes, which frees room for as many
  // more: a stream of several messages reads one after the other.
  void consume(std::size_t count);

  // Bytes of memory held for the stream.
  [[nodiscard]] std::size_t footprint() const { return buffer_.capacity() + present_.capacity() / 8; }

 private:
  std::size_t capacity_;
  std::uint64_t base_ = 0;  // stream offset of buffer_[0]
  std::size_t contiguous_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::vector<bool> present_;  // per byte of buffer_: received
};

}  // namespace hushwall::filter
