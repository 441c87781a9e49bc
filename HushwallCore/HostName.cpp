#include "HushwallCore/HostName.hpp"

#include <cstddef>

#include "HushwallCore/Text.hpp"

namespace hushwall::HostName {
namespace {

// The ASCII members of the Unicode White_Space class, which is what
// trimmingWhitespaceAndNewlines trims: tab, line feed, vertical tab, form feed,
// carriage return and space.
bool isAsciiWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isLabelCharacter(char c) { return (c >= 'a' && c <= 'z') || isDigit(c) || c == '-'; }

}  // namespace

void normalize(std::string_view text, std::string& out) {
  // ASCII white space is Unicode white space too, so trimming it first leaves
  // the same result for the Unicode path below.
  while (!text.empty() && isAsciiWhitespace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isAsciiWhitespace(text.back())) text.remove_suffix(1);
  out.resize(text.size());
  unsigned char seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    seen |= static_cast<unsigned char>(text[i]);
    out[i] = asciiLower(text[i]);
  }
  if (seen >= 0x80) out = lowercased(trimmingWhitespaceAndNewlines(text));
  while (!out.empty() && out.back() == '.') out.pop_back();
}

std::optional<std::string> normalized(std::string_view text) {
  std::string name;
  normalize(text, name);
  if (name.empty()) return std::nullopt;
  return name;
}

bool isRuleHost(std::string_view name) {
  bool labelIsEmpty = true;
  bool hasNonDigit = false;
  for (char c : name) {
    if (c == '.') {
      if (labelIsEmpty) return false;
      labelIsEmpty = true;
      continue;
    }
    if (!isLabelCharacter(c)) return false;
    labelIsEmpty = false;
    hasNonDigit = hasNonDigit || !isDigit(c);
  }
  return !labelIsEmpty && hasNonDigit;
}

}  // namespace hushwall::HostName
