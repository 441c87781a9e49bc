#include "HushwallCore/FilterRuleSet.hpp"

#include <unordered_set>
#include <utility>

#include "HushwallCore/HostName.hpp"
#include "HushwallCore/Json.hpp"

namespace hushwall {
namespace {

using State = FilterRuleSet::State;
constexpr CaseName<State> stateNames[] = {
    {State::idle, "idle"}, {State::blocking, "blocking"}, {State::unknown, "unknown"}};

}  // namespace

std::string_view caseName(FilterRuleSet::State state) { return nameIn(stateNames, state); }

FilterRuleSet::FilterRuleSet(std::int64_t version, State ruleState, std::optional<Uuid> session,
                             std::vector<std::string> names)
    : schemaVersion(version), state(ruleState), sessionID(session), domains(std::move(names)) {}

FilterRuleSet::FilterRuleSet(const std::optional<SessionState>& session, bool isStuck) {
  if (session) {
    state = State::blocking;
    sessionID = session->id;
    domains = session->domains;
  } else {
    state = isStuck ? State::unknown : State::idle;
  }
}

std::vector<std::string> FilterRuleSet::ruleHosts() const {
  std::vector<std::string> hosts;
  hosts.reserve(domains.size());
  // Views into `hosts` stay valid: it never grows past the reserve.
  std::unordered_set<std::string_view> seen;
  std::string name;
  for (const auto& domain : domains) {
    HostName::normalize(domain, name);
    if (!HostName::isRuleHost(name) || seen.contains(name)) continue;
    hosts.push_back(name);
    seen.insert(hosts.back());
  }
  return hosts;
}

Json FilterRuleSet::toJson() const {
  Json out{{"schemaVersion", schemaVersion}, {"state", std::string(caseName(state))}, {"domains", domains}};
  if (sessionID) out["sessionID"] = writeUuid(*sessionID);
  return out;
}

FilterRuleSet FilterRuleSet::fromJson(const Json& value) {
  requireObject(value, "rules");
  return FilterRuleSet(readInt64(required(value, "schemaVersion"), "schemaVersion"),
                       readCase(required(value, "state"), "state", stateNames),
                       readOptional<Uuid>(value, "sessionID", readUuid),
                       readStringArray(required(value, "domains"), "domains"));
}

std::string FilterRuleSet::encoded() const { return dumpJson(toJson()); }

Decoded<FilterRuleSet> FilterRuleSet::decode(std::string_view bytes) {
  return decodeJson<FilterRuleSet>(bytes, &FilterRuleSet::fromJson);
}

}  // namespace hushwall
