// Session records and clocks: the four live clock readings (`TimeSource`), one
// stored reading (`Tick`), the duration bounds and the session record itself,
// which is the content of "session.json", the app's view of a session and the
// source of the filter's rule set.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/Date.hpp"
#include "HushwallCore/Decoded.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall {

// Four live readings; each call queries its source afresh. Implementations must
// be safe to call from any thread.
class TimeSource {
 public:
  virtual ~TimeSource() = default;
  // The wall clock, which a user or the network may set either way.
  [[nodiscard]] virtual Date wallClock() const = 0;
  // The moment the machine booted.
  [[nodiscard]] virtual Date bootTime() const = 0;
  // Identifies the current boot; empty when unknown.
  [[nodiscard]] virtual std::string bootID() const = 0;
  // Seconds on a clock that counts through sleep and is never set.
  [[nodiscard]] virtual double continuous() const = 0;
};

struct Tick {
  Date wallClock;
  Date bootTime;
  double continuous = 0;
  std::string bootID;

  [[nodiscard]] nlohmann::json toJson() const;
  // Throws JsonDecodeFailure; see Json.hpp.
  [[nodiscard]] static Tick fromJson(const nlohmann::json& value);

  friend bool operator==(const Tick&, const Tick&) = default;
};

namespace SessionLimits {
inline constexpr double minimum = 60;
inline constexpr double maximum = 86400;
}  // namespace SessionLimits

struct SessionState {
  static constexpr std::int64_t currentSchemaVersion = 3;
  static constexpr std::int64_t oldestReadableSchemaVersion = 1;

  std::int64_t schemaVersion = currentSchemaVersion;
  Uuid id;
  std::vector<std::string> domains;
  double totalDuration = 0;
  double consumed = 0;
  Tick lastTick;
  Date startedAt;
  std::optional<Uuid> scheduleID;
  std::optional<std::string> scheduleName;

  // totalDuration − consumed, never negative (0 when not a number).
  [[nodiscard]] double remaining() const;
  // totalDuration <= consumed (false when either is not a number).
  [[nodiscard]] bool isExpired() const { return totalDuration <= consumed; }

  [[nodiscard]] nlohmann::json toJson() const;
  [[nodiscard]] static SessionState fromJson(const nlohmann::json& value);
  // JSON bytes as stored and sent.
  [[nodiscard]] std::string encoded() const;
  [[nodiscard]] static Decoded<SessionState> decode(std::string_view bytes);

  friend bool operator==(const SessionState&, const SessionState&) = default;
};

}  // namespace hushwall
