// One entry of a schedule's history: what happened at one window.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string_view>

#include "HushwallCore/Date.hpp"

namespace hushwall {

struct ScheduleRun {
  enum class Outcome {
    ran,               // the window started a session
    paused,            // the window was open while the schedule was disabled
    sessionRunning,    // a session ran, or another window was served first
    windowNearlyOver,  // under 60 seconds were left when the window was seen unfired
  };

  Date occurrence;  // the window's start
  Outcome outcome = Outcome::ran;
  std::optional<double> duration;  // for `ran`: the length of the session started

  ScheduleRun() = default;
  ScheduleRun(Date start, Outcome what, std::optional<double> seconds = std::nullopt)
      : occurrence(start), outcome(what), duration(seconds) {}

  // The case name, which is also the JSON text.
  [[nodiscard]] static std::string_view text(Outcome outcome);
  [[nodiscard]] static std::optional<Outcome> outcomeFromText(std::string_view text);

  // {"occurrence", "outcome", "duration" when present}; an unknown outcome text
  // fails the decode. fromJson throws JsonDecodeFailure.
  [[nodiscard]] nlohmann::json toJson() const;
  [[nodiscard]] static ScheduleRun fromJson(const nlohmann::json& value);

  friend bool operator==(const ScheduleRun&, const ScheduleRun&) = default;
};

}  // namespace hushwall
