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

const std::string waveWithSkinTone = "\xF0\x9F\x91\x8B\xF0\x9F\x8F\xBD";  // U+1F44B U+1F3FD
const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // ZWJ sequence
const std::string eAcuteCombining = "e\xCC\x81";                                                        // e + U+0301

TEST(Text, LowerCasingIsFullUnicode) {
  struct Case {
    std::string in, out;
  };
  for (const auto& c : {Case{"\xE2\x84\xAA", "k"},
                        Case{"\xC3\x84"
                             "BC",
                             "\xC3\xA4"
                             "bc"},
                        Case{"\xC4\xB0", "i\xCC\x87"}, Case{"\xCE\xA3", "\xCF\x83"}, Case{"", ""}}) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(lowercased(c.in), c.out);
  }
  EXPECT_EQ(lowercased("A\xFF"
                       "B"),
            "a\xEF\xBF\xBD"
            "b");  // invalid bytes read as U+FFFD
}

TEST(Text, CountsAndCutsUserPerceivedCharacters) {
  std::string sixtyFour;
  for (int i = 0; i < 64; ++i) sixtyFour += waveWithSkinTone;
  EXPECT_EQ(characterCount(sixtyFour), 64u);
  EXPECT_EQ(characterCount(family + eAcuteCombining + "ab\r\n"), 5u);
  EXPECT_EQ(characterCount(""), 0u);
  EXPECT_EQ(prefixCharacters(sixtyFour + "x", 64), sixtyFour);
  EXPECT_EQ(prefixCharacters(family + "tail", 1), family);
  EXPECT_EQ(prefixCharacters("short", 64), "short");
  EXPECT_EQ(prefixCharacters(eAcuteCombining + "x", 1), eAcuteCombining);
}

TEST(Text, TrimsUnicodeWhiteSpaceAndNewlinesAtBothEnds) {
  struct Case {
    std::string in, out;
  };
  // ASCII text is compared with ICU below.
  for (const auto& c : {Case{"\xC2\xA0\xE2\x80\x83name\xE3\x80\x80", "name"}, Case{"\xE2\x80\xA8 a b \xC2\x85", "a b"},
                        Case{"\xE2\x80\x8B"
                             "x",
                             "\xE2\x80\x8B"
                             "x"}}) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(trimmingWhitespaceAndNewlines(c.in), c.out);
  }
}

// What ICU itself answers, for text that the helpers answer without it.
struct IcuAnswers {
  std::string lower, folded, trimmed;
  std::size_t count;
  std::string firstHalf;  // the first count / 2 characters
};

IcuAnswers askIcu(const std::string& text) {
  auto utf8 = [](const icu::UnicodeString& unicode) {
    std::string out;
    unicode.toUTF8String(out);
    return out;
  };
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  IcuAnswers answers;
  answers.lower = utf8(icu::UnicodeString(unicode).toLower(icu::Locale::getRoot()));
  answers.folded = utf8(icu::UnicodeString(unicode).foldCase(U_FOLD_CASE_DEFAULT));
  int32_t start = 0, end = unicode.length();
  while (start < end && u_isUWhiteSpace(unicode.char32At(start))) ++start;
  while (end > start && u_isUWhiteSpace(unicode.char32At(end - 1))) --end;
  answers.trimmed = utf8(icu::UnicodeString(unicode, start, end - start));
  static std::unique_ptr<icu::BreakIterator> clusters = [] {
    UErrorCode status = U_ZERO_ERROR;
    return std::unique_ptr<icu::BreakIterator>(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  }();
  clusters->setText(unicode);
  answers.count = 0;
  for (clusters->first(); clusters->next() != icu::BreakIterator::DONE;) ++answers.count;
  int32_t half = clusters->first();
  for (std::size_t i = 0; i < answers.count / 2; ++i) half = clusters->next();
  answers.firstHalf = utf8(icu::UnicodeString(unicode, 0, half));
  return answers;
}

void expectIcusAnswers(const std::string& text) {
  IcuAnswers icu = askIcu(text);
  EXPECT_EQ(lowercased(text), icu.lower);
  EXPECT_EQ(lowercased(text), icu.folded);  // full case folding agrees with lower-casing on ASCII
  EXPECT_EQ(trimmingWhitespaceAndNewlines(text), icu.trimmed);
  EXPECT_EQ(characterCount(text), icu.count);
  EXPECT_EQ(prefixCharacters(text, icu.count / 2), icu.firstHalf);
}

// ASCII text never reaches ICU; these check that it gets ICU's answers anyway.
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
  std::random_device device;
  unsigned seed = device();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> length(0, 80), byte(0, 0x7F);
  for (int i = 0; i < 2000; ++i) {
    std::string text(static_cast<std::size_t>(length(random)), '\0');
    for (char& c : text) c = static_cast<char>(byte(random));
    SCOPED_TRACE(testing::PrintToString(text));
    expectIcusAnswers(text);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace hushwall
