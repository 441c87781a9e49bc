#include "DaemonCore/HostsDocument.hpp"

namespace hushwall::HostsDocument {
namespace {

using HostsRegions::ByteRange;
using HostsRegions::MarkerKind;

// The spans to cut so that no complete region is left. Cutting one region can
// join a begin line before it with an end line after it into a new region, so
// cutting regions until none is left removes exactly the markers that pair up
// like brackets, with everything between them. Computed in one pass: a stack of
// open begin lines, and for each matched pair its span, which swallows the
// spans of the pairs nested in it.
std::vector<ByteRange> spansToCut(std::string_view document) {
  std::vector<ByteRange> spans;
  std::vector<std::size_t> open;
  HostsRegions::MarkerLines markers(document);
  while (auto marker = markers.next()) {
    if (marker->kind == MarkerKind::begin) {
      open.push_back(marker->line.start);
    } else if (!open.empty()) {
      ByteRange span{open.back(), marker->line.end};
      open.pop_back();
      while (!spans.empty() && spans.back().start >= span.start) spans.pop_back();
      spans.push_back(span);
    }
  }
  return spans;
}

void appendUncut(std::string& out, std::string_view document, const std::vector<ByteRange>& spans) {
  std::size_t kept = 0;
  for (const auto& span : spans) {
    out.append(document.substr(kept, span.start - kept));
    kept = span.end;
  }
  out.append(document.substr(kept));
}

std::size_t uncutSize(std::string_view document, const std::vector<ByteRange>& spans) {
  std::size_t size = document.size();
  for (const auto& span : spans) size -= span.end - span.start;
  return size;
}

// The name, then its absolute form with a trailing dot: resolvers match hosts
// names literally, so "name." would otherwise miss every line.
void appendLines(std::string& out, std::string_view address, std::string_view prefix, std::string_view domain) {
  for (std::string_view suffix : {std::string_view(), std::string_view(".")}) {
    out.append(address);
    out.push_back('\t');
    out.append(prefix);
    out.append(domain);
    out.append(suffix);
    out.push_back('\n');
  }
}

}  // namespace

std::string removingManagedRegion(std::string_view document) {
  auto spans = spansToCut(document);
  if (spans.empty()) return std::string(document);
  std::string out;
  out.reserve(uncutSize(document, spans));
  appendUncut(out, document, spans);
  return out;
}

std::string applying(const std::vector<std::string>& domains, const Uuid& sessionID, std::string_view document) {
  // First in the file: resolvers take the first line that names a host, so no
  // foreign line can come before the block and map a blocked name elsewhere.
  std::string block = renderBlock(domains, sessionID);
  auto spans = spansToCut(document);
  std::string out;
  out.reserve(block.size() + uncutSize(document, spans));
  out.append(block);
  appendUncut(out, document, spans);
  return out;
}

std::string renderBlock(const std::vector<std::string>& domains, const Uuid& sessionID) {
  std::size_t size = beginMarker.size() + 38 + managedComment.size() + 1 + endMarker.size() + 1;
  for (const auto& domain : domains) size += 8 * (domain.size() + 16);
  std::string out;
  out.reserve(size);
  out.append(beginMarker);
  out.push_back(' ');
  out.append(sessionID.string());
  out.push_back('\n');
  out.append(managedComment);
  out.push_back('\n');
  for (const auto& domain : domains) {
    appendLines(out, "127.0.0.1", "", domain);
    appendLines(out, "::1", "", domain);
    if (!domain.starts_with("www.")) {
      appendLines(out, "127.0.0.1", "www.", domain);
      appendLines(out, "::1", "www.", domain);
    }
  }
  out.append(endMarker);
  out.push_back('\n');
  return out;
}

}  // namespace hushwall::HostsDocument
