#include "HushwallCore/Text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace hushwall {
namespace {

const std::string waveWithSkinTone = "\xF0\x9F\x91\x8B\xF0\x9F\x8F\xBD";            // U+1F44B U+1F3FD
const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // ZWJ sequence
const std::string eAcuteCombining = "e\xCC\x81";                                   // e + U+0301

TEST(Text, LowerCasingIsFullUnicode) {
  struct Case {
    std::string in, out;
  };
  for (const auto& c : {Case{"Example.COM", "example.com"}, Case{"\xE2\x84\xAA", "k"}, Case{"\xC3\x84" "BC", "\xC3\xA4" "bc"},
                        Case{"\xC4\xB0", "i\xCC\x87"}, Case{"\xCE\xA3", "\xCF\x83"}, Case{"", ""}}) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(lowercased(c.in), c.out);
  }
  EXPECT_EQ(lowercased("A\xFF" "B"), "a\xEF\xBF\xBD" "b");  // invalid bytes read as U+FFFD
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
  for (const auto& c : {Case{"  name\t\n", "name"}, Case{"\xC2\xA0\xE2\x80\x83name\xE3\x80\x80", "name"},
                        Case{"\xE2\x80\xA8 a b \xC2\x85", "a b"}, Case{" \r\n ", ""}, Case{"", ""},
                        Case{"in side", "in side"}, Case{"\xE2\x80\x8B" "x", "\xE2\x80\x8B" "x"}}) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(trimmingWhitespaceAndNewlines(c.in), c.out);
  }
}

}  // namespace
}  // namespace hushwall
