// The matcher the network filter builds from a rule set and asks, for every
// network flow, whether the flow's host is blocked: a blocked domain blocks
// itself and its sub-domains at any depth, never a host that merely ends with
// the same letters. Immutable once built; `verdict` is safe to call from any
// number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>

namespace hushwall {

class FlowRules {
 public:
  enum class Verdict { allow, block };

  // Blocks nothing.
  FlowRules() = default;
  // Blocks the normalised names (HostName::normalize) of `domains`, leaving out
  // those that normalise to nothing; no host-name check is made.
  explicit FlowRules(std::span<const std::string> domains);

  [[nodiscard]] bool isEmpty() const { return blocked_.empty(); }
  // No verdict for no host, or for one that normalises to nothing (empty, only
  // white space, only dots); otherwise block when the normalised host or any
  // domain it is a sub-domain of is blocked. Normalises into a buffer kept per
  // thread, so an ASCII host allocates nothing once that buffer has grown to
  // its length, and never calls into ICU.
  [[nodiscard]] std::optional<Verdict> verdict(std::optional<std::string_view> host) const;

  // Equal when they block the same names.
  friend bool operator==(const FlowRules&, const FlowRules&) = default;

 private:
  struct NameHash {
    using is_transparent = void;
    [[nodiscard]] std::size_t operator()(std::string_view name) const noexcept {
      return std::hash<std::string_view>{}(name);
    }
  };

  [[nodiscard]] bool blocks(std::string_view name) const;
  [[nodiscard]] bool mayBlockNameWithDots(std::size_t dots) const;

  std::unordered_set<std::string, NameHash, std::equal_to<>> blocked_;
  // Bit k is set when a blocked name has k dots (bit 63: 63 or more), so that
  // no suffix is looked up that no blocked name could equal.
  std::uint64_t dotCounts_ = 0;
};

}  // namespace hushwall
