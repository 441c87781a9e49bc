#include "HushwallCore/Text.hpp"

#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>
#include <string>
#include <vector>

namespace hushwall {
namespace {

std::string utf8(const icu::UnicodeString& unicode) {
  std::string out;
  return unicode.toUTF8String(out);
}

// Each helper gives ICU's own answer: full lower-casing, Unicode white space, user-perceived characters.
void expectIcusAnswers(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  static const std::unique_ptr<icu::BreakIterator> clusters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  EXPECT_EQ(lowercased(text), utf8(icu::UnicodeString(unicode).toLower(icu::Locale::getRoot())));
  int32_t start = 0, end = unicode.length();
  while (start < end && u_isUWhiteSpace(unicode.char32At(start))) ++start;
  while (end > start && u_isUWhiteSpace(unicode.char32At(end - 1))) --end;
  EXPECT_EQ(trimmingWhitespaceAndNewlines(text), utf8(icu::UnicodeString(unicode, start, end - start)));
  clusters->setText(unicode);
  std::vector<int32_t> ends = {0};  // where each prefix of whole characters ends
  for (int32_t at = clusters->next(); at != icu::BreakIterator::DONE; at = clusters->next()) ends.push_back(at);
  EXPECT_EQ(characterCount(text), ends.size() - 1);
  for (std::size_t n = 0; n < ends.size(); ++n)
    EXPECT_EQ(prefixCharacters(text, n), utf8(icu::UnicodeString(unicode, 0, ends[n]))) << n;
}

// Text beyond ASCII goes to ICU: I WITH DOT ABOVE keeps its dot, invalid bytes read as U+FFFD, ZERO WIDTH SPACE is
// no white space, a ZWJ family and a combining accent are one character each. ASCII text never reaches ICU: every
// ASCII byte alone and beside every other (the case boundaries @ A Z [ ` a z {, every control character, CR LF as one
// character), and runs of white space, line ends and both cases longer than two.
TEST(Text, EachHelperGivesIcusAnswer) {
  for (const char* text :
       {"\u0130BC", "A\xFFz", "\u2028\u00A0x\u200B\u3000", "\U0001F468\u200D\U0001F469\u200D\U0001F467e\u0301ab\r\n",
        " \t\v\f\r\n\r\r\nAb Zz\n\n\r@[`{\x7F\x01 x\r\n\t\t\t "}) {
    SCOPED_TRACE(testing::PrintToString(text));
    expectIcusAnswers(text);
  }
  for (int first = 0; first < 0x80; ++first) {
    for (int second = -1; second < 0x80; ++second) {
      std::string text(1, static_cast<char>(first));
      if (second >= 0) text.push_back(static_cast<char>(second));
      SCOPED_TRACE(testing::PrintToString(text));
      expectIcusAnswers(text);
    }
  }
}

}  // namespace
}  // namespace hushwall
