// Unicode text helpers on ICU. Inputs are UTF-8; invalid bytes read as U+FFFD.
// "Characters" are user-perceived characters (extended grapheme clusters).
// ASCII text is answered without ICU, byte for byte as ICU would answer; other
// text loads ICU on first use. Were ICU missing, non-ASCII characters would be
// left as they are and counted as code points.
//
// Thread-safety: reentrant.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace hushwall {

// Full Unicode lower-casing, independent of locale (so U+212A KELVIN SIGN becomes "k").
[[nodiscard]] std::string lowercased(std::string_view text);
// The number of extended grapheme clusters.
[[nodiscard]] std::size_t characterCount(std::string_view text);
// The first `count` extended grapheme clusters (the whole text when it is shorter).
[[nodiscard]] std::string prefixCharacters(std::string_view text, std::size_t count);
// The text without leading and trailing Unicode white space and line breaks.
[[nodiscard]] std::string trimmingWhitespaceAndNewlines(std::string_view text);

}  // namespace hushwall
