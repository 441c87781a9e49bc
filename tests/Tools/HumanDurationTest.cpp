#include "Tools/Client/HumanDuration.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace hushwall {
namespace {

TEST(HumanDurationTest, ParsesHoursMinutesAndSecondsInOrder) {
  const struct {
    std::string_view text;
    double seconds;
  } cases[] = {
      {"90s", 90},       {"25m", 1500},       {"1h30m", 5400},   {"2h5m10s", 7510}, {"1h", 3600},
      {"1m1s", 61},      {"24h", 86400},      {"0h1m", 60},      {"007m", 420},     {"100000h", 360000000},
      {"1h0m0s", 3600},  {"9007199254740992s", 9007199254740992.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = HumanDuration::parse(c.text);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message;
    EXPECT_EQ(*parsed, c.seconds);
  }
}

TEST(HumanDurationTest, RefusesGarbageZeroAndOverflowWithTheReason) {
  const struct {
    std::string_view text;
    std::string_view reason;
  } cases[] = {
      {"", "empty"},
      {"90", "needs a unit"},
      {"1h30", "needs a unit"},
      {"m", "expected a number"},
      {"-5m", "expected a number"},
      {"+5m", "expected a number"},
      {" 5m", "expected a number"},
      {"5m ", "expected a number"},
      {"1.5h", "units are h, m and s"},
      {"5d", "units are h, m and s"},
      {"5M", "units are h, m and s"},
      {"5min", "units are h, m and s"}, {"1hm", "units are h, m and s"},
      {"30m1h", "in that order"},
      {"1h1h", "in that order"},
      {"0s", "longer than zero"},
      {"0h0m0s", "longer than zero"},
      {"9007199254740993s", "too long"},
      {"2562047788015216h", "too long"},
      {"99999999999999999999999s", "too long"},
      {std::string_view("5\0m", 3), "units are h, m and s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = HumanDuration::parse(c.text);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().code, ExitCode::usage);
    EXPECT_NE(parsed.error().message.find(c.reason), std::string::npos) << parsed.error().message;
    EXPECT_TRUE(parsed.error().message.starts_with("invalid duration \"")) << parsed.error().message;
  }
}

}  // namespace
}  // namespace hushwall
