#include "HushwallCore/Text.hpp"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>

namespace hushwall {
namespace {

bool isAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

icu::UnicodeString fromUtf8(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// Break iterators are costly to create; each thread keeps one.
icu::BreakIterator* characterIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> created(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    return U_SUCCESS(status) ? std::move(created) : nullptr;
  }();
  return iterator.get();
}

// The UTF-16 offset just past the first `count` grapheme clusters, or -1 when
// the text has fewer; also reports how many clusters were seen.
int32_t clusterBoundary(const icu::UnicodeString& text, std::size_t count, std::size_t& seen) {
  seen = 0;
  icu::BreakIterator* iterator = characterIterator();
  if (iterator == nullptr) {  // no ICU data: count code points instead
    int32_t offset = 0;
    while (offset < text.length() && seen < count) {
      offset = text.moveIndex32(offset, 1);
      ++seen;
    }
    return seen == count ? offset : -1;
  }
  iterator->setText(text);
  int32_t boundary = iterator->first();
  while (seen < count) {
    int32_t next = iterator->next();
    if (next == icu::BreakIterator::DONE) return -1;
    boundary = next;
    ++seen;
  }
  return boundary;
}

}  // namespace

std::string lowercased(std::string_view text) {
  if (isAscii(text)) {
    std::string out(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  icu::UnicodeString unicode = fromUtf8(text);
  unicode.toLower(icu::Locale::getRoot());
  return toUtf8(unicode);
}

std::size_t characterCount(std::string_view text) {
  if (isAscii(text)) {
    // CR LF is one cluster; every other ASCII byte is one.
    std::size_t count = text.size();
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (text[i] == '\n' && text[i - 1] == '\r') --count;
    }
    return count;
  }
  std::size_t seen = 0;
  clusterBoundary(fromUtf8(text), static_cast<std::size_t>(-1), seen);
  return seen;
}

std::string prefixCharacters(std::string_view text, std::size_t count) {
  icu::UnicodeString unicode = fromUtf8(text);
  std::size_t seen = 0;
  int32_t boundary = clusterBoundary(unicode, count, seen);
  if (boundary < 0) return toUtf8(unicode);
  return toUtf8(icu::UnicodeString(unicode, 0, boundary));
}

std::string trimmingWhitespaceAndNewlines(std::string_view text) {
  icu::UnicodeString unicode = fromUtf8(text);
  int32_t start = 0;
  int32_t end = unicode.length();
  while (start < end && u_isUWhiteSpace(unicode.char32At(start))) start = unicode.moveIndex32(start, 1);
  while (end > start) {
    int32_t previous = unicode.moveIndex32(end, -1);
    if (!u_isUWhiteSpace(unicode.char32At(previous))) break;
    end = previous;
  }
  return toUtf8(icu::UnicodeString(unicode, start, end - start));
}

}  // namespace hushwall
