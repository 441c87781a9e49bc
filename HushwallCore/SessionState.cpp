#include "HushwallCore/SessionState.hpp"

#include <cmath>

#include "HushwallCore/Json.hpp"

namespace hushwall {

Json Tick::toJson() const {
  return Json{{"wallClock", writeDate(wallClock)},
              {"bootTime", writeDate(bootTime)},
              {"continuous", continuous},
              {"bootID", bootID}};
}

Tick Tick::fromJson(const Json& value) {
  requireObject(value, "lastTick");
  return Tick{readDate(required(value, "wallClock"), "wallClock"), readDate(required(value, "bootTime"), "bootTime"),
              readNumber(required(value, "continuous"), "continuous"),
              readOptional<std::string>(value, "bootID", readString).value_or("")};
}

double SessionState::remaining() const {
  double left = totalDuration - consumed;
  return left >= 0 ? left : 0;  // also 0 when the difference is not a number
}

Json SessionState::toJson() const {
  Json out{{"schemaVersion", schemaVersion},   {"id", writeUuid(id)},  {"domains", domains},
           {"totalDuration", totalDuration},   {"consumed", consumed}, {"lastTick", lastTick.toJson()},
           {"startedAt", writeDate(startedAt)}};
  if (scheduleID) out["scheduleID"] = writeUuid(*scheduleID);
  if (scheduleName) out["scheduleName"] = *scheduleName;
  return out;
}

SessionState SessionState::fromJson(const Json& value) {
  requireObject(value, "session");
  SessionState state;
  state.schemaVersion = readInt64(required(value, "schemaVersion"), "schemaVersion");
  state.id = readUuid(required(value, "id"), "id");
  state.domains = readStringArray(required(value, "domains"), "domains");
  state.totalDuration = readNumber(required(value, "totalDuration"), "totalDuration");
  state.consumed = readNumber(required(value, "consumed"), "consumed");
  state.lastTick = Tick::fromJson(required(value, "lastTick"));
  state.startedAt = readDate(required(value, "startedAt"), "startedAt");
  state.scheduleID = readOptional<Uuid>(value, "scheduleID", readUuid);
  state.scheduleName = readOptional<std::string>(value, "scheduleName", readString);
  return state;
}

std::string SessionState::encoded() const { return dumpJson(toJson()); }

Decoded<SessionState> SessionState::decode(std::string_view bytes) {
  return decodeJson<SessionState>(bytes, &SessionState::fromJson);
}

}  // namespace hushwall
