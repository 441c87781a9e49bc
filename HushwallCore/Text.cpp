#include "HushwallCore/Text.hpp"

#include <unicode/utf16.h>

#include "HushwallCore/IcuLibrary.hpp"

namespace hushwall {
namespace {

bool isAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// The ASCII members of the Unicode White_Space class.
bool isAsciiWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Only A-Z have other case forms in ASCII, under lower-casing and case folding alike.
std::string asciiLowercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view asciiTrimmed(std::string_view text) {
  while (!text.empty() && isAsciiWhitespace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isAsciiWhitespace(text.back())) text.remove_suffix(1);
  return text;
}

// The byte length of the first `count` grapheme clusters of ASCII text, where
// every byte is a cluster of its own except CR LF, which is one; `seen` says
// how many there were.
std::size_t asciiClusterEnd(std::string_view text, std::size_t count, std::size_t& seen) {
  std::size_t at = 0;
  for (seen = 0; at < text.size() && seen < count; ++seen) {
    at += text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
  }
  return at;
}

// Invalid bytes become U+FFFD; UTF-16 never needs more units than UTF-8 has bytes.
std::u16string toUtf16(const IcuCommon& icu, std::string_view text) {
  std::u16string out(text.size(), u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  icu.u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                           static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  out.resize(U_SUCCESS(status) ? static_cast<std::size_t>(length) : 0);
  return out;
}

std::string toUtf8(const IcuCommon& icu, std::u16string_view text) {
  std::string out(text.size() * 3, '\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  icu.u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                         static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  out.resize(U_SUCCESS(status) ? static_cast<std::size_t>(length) : 0);
  return out;
}

// Break iterators are costly to create; each thread keeps one.
UBreakIterator* characterIterator(const IcuCommon& icu) {
  struct Holder {
    const IcuCommon* icu;
    UBreakIterator* iterator;
    ~Holder() {
      if (iterator != nullptr) icu->ubrk_close(iterator);
    }
  };
  thread_local Holder holder = [&icu] {
    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator* created = icu.ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
    return Holder{&icu, U_SUCCESS(status) ? created : nullptr};
  }();
  return holder.iterator;
}

// The UTF-16 offset just past the first `count` grapheme clusters, or -1 when
// the text has fewer; also reports how many clusters were seen.
int32_t clusterBoundary(const IcuCommon& icu, std::u16string_view text, std::size_t count, std::size_t& seen) {
  seen = 0;
  UBreakIterator* iterator = characterIterator(icu);
  UErrorCode status = U_ZERO_ERROR;
  if (iterator != nullptr) icu.ubrk_setText(iterator, text.data(), static_cast<int32_t>(text.size()), &status);
  if (iterator == nullptr || U_FAILURE(status)) {  // no ICU data: count code points instead
    std::size_t offset = 0;
    while (offset < text.size() && seen < count) {
      U16_FWD_1(text.data(), offset, text.size());
      ++seen;
    }
    return seen == count ? static_cast<int32_t>(offset) : -1;
  }
  int32_t boundary = icu.ubrk_first(iterator);
  while (seen < count) {
    int32_t next = icu.ubrk_next(iterator);
    if (next == UBRK_DONE) return -1;
    boundary = next;
    ++seen;
  }
  return boundary;
}

}  // namespace

std::string lowercased(std::string_view text) {
  const IcuCommon* icu = isAscii(text) ? nullptr : icuCommon();
  if (icu == nullptr) return asciiLowercased(text);
  std::u16string unicode = toUtf16(*icu, text);
  std::u16string lower(unicode.size(), u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    // "" is the root locale: no Turkish or Lithuanian rules.
    int32_t length = icu->u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), unicode.data(),
                                       static_cast<int32_t>(unicode.size()), "", &status);
    lower.resize(static_cast<std::size_t>(length));
    if (status != U_BUFFER_OVERFLOW_ERROR) break;
  }
  return toUtf8(*icu, lower);
}

std::size_t characterCount(std::string_view text) {
  std::size_t seen = 0;
  const IcuCommon* icu = isAscii(text) ? nullptr : icuCommon();
  if (icu == nullptr) {
    asciiClusterEnd(text, text.size(), seen);
    return seen;
  }
  clusterBoundary(*icu, toUtf16(*icu, text), static_cast<std::size_t>(-1), seen);
  return seen;
}

std::string prefixCharacters(std::string_view text, std::size_t count) {
  std::size_t seen = 0;
  const IcuCommon* icu = isAscii(text) ? nullptr : icuCommon();
  if (icu == nullptr) return std::string(text.substr(0, asciiClusterEnd(text, count, seen)));
  std::u16string unicode = toUtf16(*icu, text);
  int32_t boundary = clusterBoundary(*icu, unicode, count, seen);
  if (boundary >= 0) unicode.resize(static_cast<std::size_t>(boundary));
  return toUtf8(*icu, unicode);
}

std::string trimmingWhitespaceAndNewlines(std::string_view text) {
  const IcuCommon* icu = isAscii(text) ? nullptr : icuCommon();
  if (icu == nullptr) return std::string(asciiTrimmed(text));
  std::u16string unicode = toUtf16(*icu, text);
  std::size_t start = 0;
  std::size_t end = unicode.size();
  while (start < end) {
    std::size_t next = start;
    UChar32 c;
    U16_NEXT(unicode.data(), next, end, c);
    if (!icu->u_isUWhiteSpace(c)) break;
    start = next;
  }
  while (end > start) {
    std::size_t previous = end;
    UChar32 c;
    U16_PREV(unicode.data(), start, previous, c);
    if (!icu->u_isUWhiteSpace(c)) break;
    end = previous;
  }
  return toUtf8(*icu, std::u16string_view(unicode).substr(start, end - start));
}

}  // namespace hushwall
