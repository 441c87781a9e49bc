#include "FilterCore/StreamAssembler.hpp"

#include <algorithm>

namespace hushwall::filter {

void StreamAssembler::add(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  const std::uint64_t end = offset + bytes.size();
  const std::uint64_t limit = base_ + capacity_;
  const std::uint64_t from = std::max(offset, base_);
  const std::uint64_t to = std::min(end, limit);
  if (from < to && from == base_ + contiguous_ && buffer_.size() == contiguous_) {
    // In order with nothing held beyond: the common case, appended whole.
    const auto count = static_cast<std::size_t>(to - from);
    const auto skip = static_cast<std::ptrdiff_t>(from - offset);
    buffer_.insert(buffer_.end(), bytes.begin() + skip, bytes.begin() + skip + static_cast<std::ptrdiff_t>(count));
    present_.resize(buffer_.size(), true);
    contiguous_ = buffer_.size();
  } else if (from < to) {
    const auto needed = static_cast<std::size_t>(to - base_);
    if (buffer_.size() < needed) {
      buffer_.resize(needed);
      present_.resize(needed);
    }
    for (std::uint64_t at = from; at < to; ++at) {
      const auto index = static_cast<std::size_t>(at - base_);
      if (present_[index]) continue;
      buffer_[index] = bytes[static_cast<std::size_t>(at - offset)];
      present_[index] = true;
    }
    while (contiguous_ < present_.size() && present_[contiguous_]) ++contiguous_;
  }
}

std::span<const std::uint8_t> StreamAssembler::contiguous() const { return std::span(buffer_).first(contiguous_); }

void StreamAssembler::consume(std::size_t count) {
  count = std::min(count, contiguous_);
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
  present_.erase(present_.begin(), present_.begin() + static_cast<std::ptrdiff_t>(count));
  base_ += count;
  contiguous_ -= count;
}

}  // namespace hushwall::filter
