#include "Tools/Client/ScheduleText.hpp"
#include "fuzz/Input.hpp"

using namespace hushwall;

// What parses must format back to text that parses to the same value.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = fuzz::text(data, size);
  if (auto days = ScheduleText::parseWeekdays(text)) {
    fuzz::require(ScheduleText::parseWeekdays(ScheduleText::formatWeekdays(*days)) == *days, "weekdays round-trip");
  }
  if (auto minute = ScheduleText::parseTimeOfDay(text)) {
    fuzz::require(ScheduleText::parseTimeOfDay(ScheduleText::formatTimeOfDay(*minute)) == *minute, "time round-trip");
  }
  return 0;
}
