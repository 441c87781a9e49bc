#include "FilterCore/HttpRequest.hpp"

#include <algorithm>
#include <string_view>

namespace hushwall::filter {

namespace {

// Longer than any registered method, short enough to reject binary at once.
constexpr std::size_t maxMethodLength = 24;

NameScan invalid() { return {NameScan::Status::invalid, std::nullopt}; }
NameScan needMore() { return {NameScan::Status::needMore, std::nullopt}; }

bool isMethodChar(char c) { return (c >= 'A' && c <= 'Z') || c == '-' || c == '_'; }
bool isTargetChar(char c) { return c > ' ' && c != '\x7F'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// The host of an authority ("user@host:port", "[v6]:port"), empty when it has none.
std::string_view hostOf(std::string_view authority) {
  if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (authority.starts_with('[')) {
    auto close = authority.find(']');
    return close == std::string_view::npos ? std::string_view{} : authority.substr(1, close - 1);
  }
  return authority.substr(0, authority.find(':'));
}

// Checks what has arrived of "METHOD SP target SP HTTP/1.x": false as soon as
// it cannot be the start of one.
bool couldBeRequestLine(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && isMethodChar(line[i])) ++i;
  if (i == line.size()) return i <= maxMethodLength;
  if (i == 0 || i > maxMethodLength || line[i] != ' ') return false;
  ++i;
  std::size_t targetStart = i;
  while (i < line.size() && isTargetChar(line[i])) ++i;
  if (i == line.size()) return true;
  if (i == targetStart || line[i] != ' ') return false;
  std::string_view version = line.substr(i + 1);
  constexpr std::string_view prefix = "HTTP/1.";
  auto compared = std::min(version.size(), prefix.size());
  if (version.substr(0, compared) != prefix.substr(0, compared)) return false;
  if (version.size() <= prefix.size()) return true;
  return version[prefix.size()] >= '0' && version[prefix.size()] <= '9' && version.size() == prefix.size() + 1;
}

}  // namespace

NameScan scanHttpRequest(std::span<const std::uint8_t> stream) {
  std::string_view text(reinterpret_cast<const char*>(stream.data()), stream.size());
  auto lineEnd = text.find('\n');
  std::string_view requestLine = text.substr(0, lineEnd);
  if (lineEnd != std::string_view::npos && requestLine.ends_with('\r')) requestLine.remove_suffix(1);
  if (!couldBeRequestLine(requestLine)) return invalid();
  if (lineEnd == std::string_view::npos) return needMore();
  // A line that ended early passed as a prefix; a whole one ends in " HTTP/1.x".
  auto lastSpace = requestLine.rfind(' ');
  if (lastSpace == std::string_view::npos || requestLine.size() - lastSpace != 9) return invalid();
  std::string_view target = requestLine.substr(requestLine.find(' ') + 1);
  target = target.substr(0, target.find(' '));

  std::optional<std::string> host;
  if (auto scheme = target.find("://"); scheme != std::string_view::npos && !target.starts_with('/')) {
    std::string_view authority = target.substr(scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (auto name = hostOf(authority); !name.empty()) host = std::string(name);
  }
  std::string_view rest = text.substr(lineEnd + 1);
  while (true) {
    auto end = rest.find('\n');
    if (end == std::string_view::npos) return needMore();
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) return {NameScan::Status::complete, std::move(host)};
    auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return invalid();
    if (!host && equalsIgnoringCase(line.substr(0, colon), "host")) {
      if (auto name = hostOf(trimmed(line.substr(colon + 1))); !name.empty()) host = std::string(name);
    }
  }
}

}  // namespace hushwall::filter
