#include "Tools/Client/ScheduleText.hpp"

#include <gtest/gtest.h>

namespace hushwall {
namespace {

using Days = std::set<std::int64_t>;

// Unreadable text is a usage error (and no days show as "-"); that what is shown reads back as the same days is the
// fuzz target's to prove.
TEST(ScheduleText, WeekdaysParseAndFormatAsMirrors) {
  // clang-format off
  const struct { std::string_view text; std::optional<Days> days; std::string_view shown; } rows[] = {
      {"mon,wed,fri", Days{2, 4, 6}, "Mon Wed Fri"},
      {"Sunday, saturday", Days{1, 7}, "Sat Sun"},
      {"weekdays \t", Days{2, 3, 4, 5, 6}, "Mon Tue Wed Thu Fri"},
      {"WEEKENDS", Days{1, 7}, "Sat Sun"},
      {"sun,mon,tue,wed,thu,fri,sat", Days{1, 2, 3, 4, 5, 6, 7}, "daily"},
      {"Mon Tue,\tfri tue", Days{2, 3, 6}, "Mon Tue Fri"},
      {"", std::nullopt, "-"}, {"mo", std::nullopt, "-"}, {"mon,", std::nullopt, "-"}, {",mon", std::nullopt, "-"},
      {"mon;tue", std::nullopt, "-"}, {"1,2", std::nullopt, "-"}, {"weekday", std::nullopt, "-"}, {"mon,,tue", std::nullopt, "-"},
  };
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    auto days = ScheduleText::parseWeekdays(row.text);
    EXPECT_TRUE(days ? row.days == *days : days.error().code == ExitCode::usage && !row.days);
    EXPECT_EQ(ScheduleText::formatWeekdays(row.days.value_or(Days{})), row.shown);
  }
}

}  // namespace
}  // namespace hushwall
