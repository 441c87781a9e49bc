#include "HushwallCore/FlowRules.hpp"

#include <algorithm>

#include "HushwallCore/HostName.hpp"

namespace hushwall {

namespace {

constexpr std::size_t manyDots = 63;

std::size_t dotCount(std::string_view name) { return static_cast<std::size_t>(std::ranges::count(name, '.')); }

}  // namespace

FlowRules::FlowRules(std::span<const std::string> domains) {
  blocked_.reserve(domains.size());
  for (const auto& domain : domains) {
    auto name = HostName::normalized(domain);
    if (!name) continue;
    dotCounts_ |= std::uint64_t{1} << std::min(dotCount(*name), manyDots);
    blocked_.insert(std::move(*name));
  }
}

bool FlowRules::mayBlockNameWithDots(std::size_t dots) const {
  return (dotCounts_ >> std::min(dots, manyDots) & 1) != 0;
}

std::optional<FlowRules::Verdict> FlowRules::verdict(std::optional<std::string_view> host) const {
  if (!host) return std::nullopt;
  // Reused so that the flow path does not allocate for every host.
  thread_local std::string name;
  HostName::normalize(*host, name);
  if (name.empty()) return std::nullopt;
  return blocks(name) ? Verdict::block : Verdict::allow;
}

// The host ends with "." + D exactly when D is what follows one of its dots, so
// one lookup per dot replaces a scan of every blocked domain.
bool FlowRules::blocks(std::string_view name) const {
  if (blocked_.empty()) return false;
  for (std::size_t dots = dotCount(name);; --dots) {
    if (mayBlockNameWithDots(dots) && blocked_.contains(name)) return true;
    auto dot = name.find('.');
    if (dot == std::string_view::npos) return false;
    name.remove_prefix(dot + 1);
  }
}

}  // namespace hushwall
