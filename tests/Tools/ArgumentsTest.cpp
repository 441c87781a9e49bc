#include "Tools/Client/Arguments.hpp"

#include <gtest/gtest.h>

namespace hushwall {
namespace {

constexpr OptionSpec specs[] = {{"json"}, {"file", true, true}, {"name", true}};

std::expected<Arguments, Failure> parse(std::vector<std::string> words) { return parseArguments(words, specs); }

TEST(ArgumentsTest, SplitsOptionsFlagsAndPositionalWords) {
  auto parsed = parse({"25m", "--file", "a.txt", "--json", "x.com", "--file=-", "-", "--name=a=b", "--", "--json"});
  ASSERT_TRUE(parsed.has_value()) << parsed.error().message;
  EXPECT_EQ(parsed->positional, (std::vector<std::string>{"25m", "x.com", "-", "--json"}));
  EXPECT_EQ(parsed->values("file"), (std::vector<std::string>{"a.txt", "-"}));
  EXPECT_EQ(parsed->value("name"), "a=b");
  EXPECT_TRUE(parsed->has("json"));
  EXPECT_FALSE(parsed->has("help"));
  EXPECT_EQ(parsed->value("json"), "");
  EXPECT_EQ(parsed->value("missing"), std::nullopt);
}

TEST(ArgumentsTest, HelpIsAlwaysKnown) {
  for (const char* word : {"-h", "--help"}) {
    SCOPED_TRACE(word);
    auto parsed = parse({word});
    ASSERT_TRUE(parsed.has_value());
    EXPECT_TRUE(parsed->has("help"));
  }
}

TEST(ArgumentsTest, RefusesWhatItCannotRead) {
  const struct {
    std::vector<std::string> words;
    std::string message;
  } cases[] = {
      {{"--nope"}, "unknown option --nope"},
      {{"-x"}, "unknown option -x"},
      {{"--file"}, "--file needs a value"},
      {{"--json=1"}, "--json takes no value"},
      {{"--name", "a", "--name", "b"}, "--name given more than once"},
      {{"--json", "--json"}, "--json given more than once"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    auto parsed = parse(c.words);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error(), Failure::usage(c.message));
  }
}

}  // namespace
}  // namespace hushwall
