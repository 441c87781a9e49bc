#include "HushwallCore/DaemonHealth.hpp"

#include "HushwallCore/Json.hpp"

namespace hushwall {

Json DaemonHealth::toJson() const {
  Json out{{"version", version},
           {"uid", uid},
           {"hasActiveSession", hasActiveSession},
           {"uptime", uptime},
           {"canManageBlock", canManageBlock}};
  if (build) out["build"] = *build;
  if (scheduleFailure) out["scheduleFailure"] = *scheduleFailure;
  if (filter) out["filter"] = filter->toJson();
  return out;
}

DaemonHealth DaemonHealth::fromJson(const Json& value) {
  requireObject(value, "health");
  auto readStatus = [](const Json& status, std::string_view) { return FilterStatus::fromJson(status); };
  return DaemonHealth{readString(required(value, "version"), "version"),
                      readUInt32(required(value, "uid"), "uid"),
                      readBool(required(value, "hasActiveSession"), "hasActiveSession"),
                      readNumber(required(value, "uptime"), "uptime"),
                      readBool(required(value, "canManageBlock"), "canManageBlock"),
                      readOptional<std::string>(value, "scheduleFailure", readString),
                      readOptional<FilterStatus>(value, "filter", readStatus),
                      readOptional<std::string>(value, "build", readString)};
}

std::string DaemonHealth::encoded() const { return dumpJson(toJson()); }

Decoded<DaemonHealth> DaemonHealth::decode(std::string_view bytes) {
  return decodeJson<DaemonHealth>(bytes, &DaemonHealth::fromJson);
}

}  // namespace hushwall
