// The daemon's answer to the app's health call: which version runs, as which
// user, for how long, whether a session is active, whether the block can still
// be managed, why the schedules last failed and what the network filter last
// reported. Its JSON is a wire format the app reads: keys, types and which of
// them may be missing are fixed.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "HushwallCore/Decoded.hpp"
#include "HushwallCore/FilterStatus.hpp"

namespace hushwall {

// Fields are declared in the order in which a health record is built, `build`
// last, so that aggregate initialisation takes them so; JSON key order has no
// meaning.
struct DaemonHealth {
  std::string version;    // the short version, "unknown" when the build has none
  std::uint32_t uid = 0;  // the daemon's real user id
  bool hasActiveSession = false;
  double uptime = 0;            // seconds since the request handler was created
  bool canManageBlock = false;  // the block controller answers, management is on, not stuck
  std::optional<std::string> scheduleFailure;
  std::optional<FilterStatus> filter;  // absent until the filter has reported
  std::optional<std::string> build;    // the build string, absent when unknown

  // "build", "scheduleFailure" and "filter" are written only when present and
  // read as absent when missing or null; the other five keys are required.
  [[nodiscard]] nlohmann::json toJson() const;
  [[nodiscard]] static DaemonHealth fromJson(const nlohmann::json& value);
  [[nodiscard]] std::string encoded() const;
  [[nodiscard]] static Decoded<DaemonHealth> decode(std::string_view bytes);

  friend bool operator==(const DaemonHealth&, const DaemonHealth&) = default;
};

}  // namespace hushwall
