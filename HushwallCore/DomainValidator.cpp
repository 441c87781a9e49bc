#include "HushwallCore/DomainValidator.hpp"

#include <array>
#include <unordered_set>

#include "HushwallCore/Text.hpp"

namespace hushwall::DomainValidator {
namespace {

const std::array<bool, 256>& allowedTable() {
  static const std::array<bool, 256> table = [] {
    std::array<bool, 256> built{};
    for (char c : allowed) built[static_cast<unsigned char>(c)] = true;
    return built;
  }();
  return table;
}

bool isValidLabel(std::string_view label) {
  return !label.empty() && label.size() <= maxLabelLength && label.front() != '-' && label.back() != '-';
}

bool isValidDomain(std::string_view domain) {
  if (domain.empty() || domain.size() > maxLength) return false;
  const auto& table = allowedTable();
  for (unsigned char c : domain) {
    if (!table[c]) return false;
  }
  if (domain.front() == '.' || domain.back() == '.' || domain.front() == '-' || domain.back() == '-') return false;
  std::size_t start = 0;
  while (true) {
    std::size_t dot = domain.find('.', start);
    if (!isValidLabel(domain.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start))) {
      return false;
    }
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

}  // namespace

std::expected<std::vector<std::string>, DaemonError> validate(const std::vector<std::string>& domains) {
  if (domains.empty()) return std::unexpected(DaemonError::invalidDomain);
  if (domains.size() > maxDomains) return std::unexpected(DaemonError::tooManyDomains);
  std::vector<std::string> result;
  std::unordered_set<std::string_view> seen;
  result.reserve(domains.size());
  // Views into `result` stay valid: it never reallocates past the reserve.
  for (const auto& entry : domains) {
    std::string domain = lowercased(entry);
    // Only ASCII from `allowed` can pass, so a byte count is a character count here.
    if (!isValidDomain(domain)) return std::unexpected(DaemonError::invalidDomain);
    if (seen.contains(domain)) continue;
    result.push_back(std::move(domain));
    seen.insert(result.back());
  }
  return result;
}

}  // namespace hushwall::DomainValidator
