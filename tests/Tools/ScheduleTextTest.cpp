#include "Tools/Client/ScheduleText.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace hushwall {
namespace {

using Days = std::set<std::int64_t>;

TEST(ScheduleTextTest, WeekdaysParseAndFormatAsMirrors) {
  const struct {
    std::string_view text;
    Days days;
    std::string_view shown;
  } cases[] = {
      {"mon,wed,fri", {2, 4, 6}, "Mon Wed Fri"},
      {"Sunday, saturday", {1, 7}, "Sat Sun"},
      {"weekdays", {2, 3, 4, 5, 6}, "Mon Tue Wed Thu Fri"},
      {"WEEKENDS", {1, 7}, "Sat Sun"},
      {"daily", {1, 2, 3, 4, 5, 6, 7}, "daily"},
      {"sun,mon,tue,wed,thu,fri,sat", {1, 2, 3, 4, 5, 6, 7}, "daily"},
      {"tue,tue", {3}, "Tue"},
      {"weekdays \t", {2, 3, 4, 5, 6}, "Mon Tue Wed Thu Fri"},
      {"Mon Tue,\tfri ", {2, 3, 6}, "Mon Tue Fri"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto days = ScheduleText::parseWeekdays(c.text);
    ASSERT_TRUE(days.has_value()) << days.error().message;
    EXPECT_EQ(*days, c.days);
    EXPECT_EQ(ScheduleText::formatWeekdays(*days), c.shown);
    EXPECT_EQ(ScheduleText::parseWeekdays(c.shown).value_or(Days{}), c.days) << "what is shown reads back";
  }
  EXPECT_EQ(ScheduleText::formatWeekdays({}), "-");
  EXPECT_EQ(ScheduleText::formatWeekdays({2, 9}), "Mon day9");
  for (std::string_view bad : {"", "mo", "mon,", ",mon", "mon;tue", "1,2", "weekday", "mon,,tue"}) {
    SCOPED_TRACE(bad);
    auto days = ScheduleText::parseWeekdays(bad);
    ASSERT_FALSE(days.has_value());
    EXPECT_EQ(days.error().code, ExitCode::usage);
  }
}

}  // namespace
}  // namespace hushwall
