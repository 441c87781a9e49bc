#include "HushwallCore/Text.hpp"

#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>
#include <random>
#include <string>

namespace hushwall {
namespace {

// Text beyond ASCII goes to ICU: full lower-casing, Unicode white space, user-perceived characters.
TEST(Text, UnicodeTable) {
  const std::string family =
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // ZWJ sequence
  // clang-format off
  const struct { std::string in, lower, trimmed, first; std::size_t count; } rows[] = {
      {"\xC4\xB0" "BC", "i\xCC\x87" "bc", "\xC4\xB0" "BC", "\xC4\xB0", 3},  // I WITH DOT ABOVE keeps its dot
      {"A\xFF" "B", "a\xEF\xBF\xBD" "b", "A\xEF\xBF\xBD" "B", "A", 3},  // invalid bytes read as U+FFFD
      {"\xE2\x80\xA8\xC2\xA0x\xE2\x80\x8B\xE3\x80\x80", "\xE2\x80\xA8\xC2\xA0x\xE2\x80\x8B\xE3\x80\x80", "x\xE2\x80\x8B", "\xE2\x80\xA8", 5},  // ZERO WIDTH SPACE is no white space
      {family + "e\xCC\x81" "ab\r\n", family + "e\xCC\x81" "ab\r\n", family + "e\xCC\x81" "ab", family, 5},
  };
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(lowercased(row.in), row.lower);
    EXPECT_EQ(trimmingWhitespaceAndNewlines(row.in), row.trimmed);
    EXPECT_EQ(characterCount(row.in), row.count);
    EXPECT_EQ(prefixCharacters(row.in, 1), row.first);
  }
}

std::string utf8(const icu::UnicodeString& unicode) {
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

// ASCII text never reaches ICU: each helper must still give ICU's own answer.
void expectIcusAnswers(const std::string& text) {
  static std::unique_ptr<icu::BreakIterator> clusters = [] {
    UErrorCode status = U_ZERO_ERROR;
    return std::unique_ptr<icu::BreakIterator>(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  }();
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  EXPECT_EQ(lowercased(text), utf8(icu::UnicodeString(unicode).toLower(icu::Locale::getRoot())));
  EXPECT_EQ(lowercased(text), utf8(icu::UnicodeString(unicode).foldCase(U_FOLD_CASE_DEFAULT)));
  int32_t start = 0, end = unicode.length();
  while (start < end && u_isUWhiteSpace(unicode.char32At(start))) ++start;
  while (end > start && u_isUWhiteSpace(unicode.char32At(end - 1))) --end;
  EXPECT_EQ(trimmingWhitespaceAndNewlines(text), utf8(icu::UnicodeString(unicode, start, end - start)));
  clusters->setText(unicode);
  std::size_t count = 0;
  for (clusters->first(); clusters->next() != icu::BreakIterator::DONE;) ++count;
  EXPECT_EQ(characterCount(text), count);
  int32_t half = clusters->first();
  for (std::size_t i = 0; i < count / 2; ++i) half = clusters->next();
  EXPECT_EQ(prefixCharacters(text, count / 2), utf8(icu::UnicodeString(unicode, 0, half)));
}

TEST(Text, AsciiGetsIcusAnswersWithoutIcu) {
  // Every ASCII byte alone and beside every other: the case boundaries (@ A Z [ ` a z {),
  // every control character, and CR LF as one character.
  for (int first = 0; first < 0x80; ++first) {
    for (int second = -1; second < 0x80; ++second) {
      std::string text(1, static_cast<char>(first));
      if (second >= 0) text.push_back(static_cast<char>(second));
      SCOPED_TRACE(testing::PrintToString(text));
      expectIcusAnswers(text);
    }
  }
  const unsigned seed = std::random_device()();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> length(0, 80), byte(0, 0x7F);
  for (int i = 0; i < 2000 && !HasFailure(); ++i) {
    std::string text(static_cast<std::size_t>(length(random)), '\0');
    for (char& c : text) c = static_cast<char>(byte(random));
    SCOPED_TRACE(testing::PrintToString(text));
    expectIcusAnswers(text);
  }
}

}  // namespace
}  // namespace hushwall
