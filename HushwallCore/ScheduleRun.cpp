#include "HushwallCore/ScheduleRun.hpp"

#include <array>
#include <utility>

#include "HushwallCore/Json.hpp"

namespace hushwall {
namespace {

constexpr std::array<std::pair<ScheduleRun::Outcome, std::string_view>, 4> outcomeTexts{{
    {ScheduleRun::Outcome::ran, "ran"},
    {ScheduleRun::Outcome::paused, "paused"},
    {ScheduleRun::Outcome::sessionRunning, "sessionRunning"},
    {ScheduleRun::Outcome::windowNearlyOver, "windowNearlyOver"},
}};

}  // namespace

std::string_view ScheduleRun::text(Outcome outcome) {
  for (const auto& [candidate, name] : outcomeTexts) {
    if (candidate == outcome) return name;
  }
  return "unknown";
}

std::optional<ScheduleRun::Outcome> ScheduleRun::outcomeFromText(std::string_view name) {
  for (const auto& [outcome, candidate] : outcomeTexts) {
    if (candidate == name) return outcome;
  }
  return std::nullopt;
}

Json ScheduleRun::toJson() const {
  Json out{{"occurrence", writeDate(occurrence)}, {"outcome", text(outcome)}};
  if (duration) out["duration"] = *duration;
  return out;
}

ScheduleRun ScheduleRun::fromJson(const Json& value) {
  requireObject(value, "run");
  ScheduleRun run;
  run.occurrence = readDate(required(value, "occurrence"), "occurrence");
  auto outcome = outcomeFromText(readString(required(value, "outcome"), "outcome"));
  if (!outcome) throw JsonDecodeFailure("\"outcome\": not a known outcome");
  run.outcome = *outcome;
  run.duration = readOptional<double>(value, "duration", readNumber);
  return run;
}

}  // namespace hushwall
