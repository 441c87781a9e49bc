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

TEST(ScheduleTextTest, TimesOfDayAreTwentyFourHourMinutes) {
  const struct {
    std::string_view text;
    std::int64_t minute;
    std::string_view shown;
  } cases[] = {{"00:00", 0, "00:00"}, {"9:30", 570, "09:30"}, {"09:05", 545, "09:05"}, {"23:59", 1439, "23:59"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ScheduleText::parseTimeOfDay(c.text).value_or(-1), c.minute);
    EXPECT_EQ(ScheduleText::formatTimeOfDay(c.minute), c.shown);
  }
  for (std::string_view bad : {"", "24:00", "12:60", "9", "930", "09:5", "009:00", ":30", "-1:30", "ab:cd", "9:30pm"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ScheduleText::parseTimeOfDay(bad).has_value());
  }
}

TEST(ScheduleTextTest, FindsBySingleIdPrefixOrNameAndRefusesAmbiguity) {
  auto make = [](std::string_view id, std::string name) {
    Schedule schedule;
    schedule.id = *Uuid::parse(id);
    schedule.name = std::move(name);
    return schedule;
  };
  std::vector<Schedule> list = {make("ABCD1111-0000-4000-8000-000000000001", "Mornings"),
                                make("ABCD2222-0000-4000-8000-000000000002", "Evenings"),
                                make("EEEE0000-0000-4000-8000-000000000003", "abcd"),
                                make("FFFF0000-0000-4000-8000-000000000004", "Twice"),
                                make("FFFF1111-0000-4000-8000-000000000005", "Twice")};
  const struct {
    std::string_view key;
    std::optional<std::size_t> index;
  } cases[] = {
      {"abcd1111-0000-4000-8000-000000000001", 0},
      {"ABCD2", 1},
      {"abcd22", 1},
      {"Mornings", 0},
      {"mornings", std::nullopt},
      {"ABC", std::nullopt},    // too short to be a prefix
      {"ABCD", std::nullopt},   // two ids start so, and a name
      {"abcd", std::nullopt},   // a name, but also the start of two ids
      {"EEEE", 2},
      {"Twice", std::nullopt},  // two names
      {"FFFF1", 4},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    auto found = ScheduleText::find(list, c.key);
    if (c.index) {
      ASSERT_TRUE(found.has_value()) << found.error().message;
      EXPECT_EQ(*found, *c.index);
    } else {
      ASSERT_FALSE(found.has_value());
      EXPECT_EQ(found.error().code, ExitCode::usage);
    }
  }
}

}  // namespace
}  // namespace hushwall
