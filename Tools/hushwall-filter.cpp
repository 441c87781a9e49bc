// hushwall-filter: the network filter's side of the daemon's rules channel, on
// the command line. It asks for the rule set, reports what it applied, and
// follows the channel the way the filter does: ask, wait for the doorbell,
// ask again, back off while the daemon is away.
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "HushwallCore/FilterReport.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/Json.hpp"
#include "HushwallCore/Strings.hpp"
#include "Platform/RulesFollowing.hpp"
#include "Tools/Client/Command.hpp"
#include "Tools/Client/DaemonClient.hpp"
#include "Tools/Client/Presentation.hpp"

#ifndef HUSHWALL_VERSION
#define HUSHWALL_VERSION "unknown"
#endif

namespace hushwall {
namespace {

using Outcome = CommandOutcome;

constexpr std::string_view filterVersion = HUSHWALL_VERSION;

constexpr std::string_view mainHelp = R"(Usage: hushwall-filter COMMAND [OPTIONS]

The network filter's side of hushwalld's rules channel on the system bus.

Commands:
  rules    ask once for the rule set and print it
  report   tell the daemon what the filter applied
  follow   keep the hosts in force in step with the daemon and print them as
           they change

Run "hushwall-filter COMMAND --help" for a command's options.
)";

constexpr std::string_view rulesHelp = R"(Usage: hushwall-filter rules [--json]

Asks the daemon once for the rule set and prints its state, its session and
the hosts in force (the domains as the filter matches them).

  --json   print the daemon's rule set as JSON
)";

constexpr std::string_view reportHelp = R"(Usage: hushwall-filter report [--outcome OUTCOME] [--session ID|none]
                              [--rules COUNT] [--detail TEXT]

Sends the daemon a filter report. Without --session and --rules it asks for
the current rules and reports their session and host count.

  --outcome OUTCOME   applied (default), applyFailed or keptPrevious
  --session ID        the session the report refers to, or none
  --rules COUNT       the number of rules applied
  --detail TEXT       free text for the daemon's log and health check
)";

constexpr std::string_view followHelp = R"(Usage: hushwall-filter follow [--json]

Asks for the rules, then again whenever the daemon rings the RulesChanged
doorbell or its service changes hands; after a failed ask it asks again after
2, 4, 8, 16, 32 and then every 60 seconds. Prints the hosts in force when
they change (the first answer always), and reports each apply to the daemon.
Notes about the channel go to standard error. Runs until interrupted
(Ctrl-C or SIGTERM), then exits with status 0.

  --json   one JSON object per change: {"sessionID": ID or null, "hosts": [...]}
)";

// No command takes positional words.
std::expected<std::optional<Arguments>, Failure> arguments(std::span<const std::string> words,
                                                           std::span<const OptionSpec> specs, std::string_view help) {
  auto parsed = commandArguments(words, specs, help);
  if (parsed && *parsed && !(*parsed)->positional.empty()) {
    return std::unexpected(Failure::usage("unexpected argument " + (*parsed)->positional.front()));
  }
  return parsed;
}

std::expected<std::unique_ptr<DaemonClient>, Failure> connect() {
  return DaemonClient::connect("org.hushwall.app.filter.bus");
}

std::expected<FilterRuleSet, Failure> currentRules(const DaemonClient& client, std::string* bytes = nullptr) {
  auto reply = client.call(rulesService, RulesService::currentRules);
  if (!reply) return std::unexpected(Failure::fromBus(reply.error()));
  if (bytes != nullptr) *bytes = *reply;
  auto rules = FilterRuleSet::decode(*reply);
  if (!rules) return std::unexpected(Failure::badReply(rules.error().reason));
  return std::move(*rules);
}

Outcome rules(std::span<const std::string> words) {
  static constexpr OptionSpec specs[] = {{"json"}};
  auto parsed = arguments(words, specs, rulesHelp);
  if (!parsed) return std::unexpected(parsed.error());
  if (!*parsed) return {};
  auto client = connect();
  if (!client) return std::unexpected(client.error());
  std::string bytes;
  auto ruleSet = currentRules(**client, &bytes);
  if (!ruleSet) return std::unexpected(ruleSet.error());
  std::cout << ((*parsed)->has("json") ? bytes + "\n" : Presentation::rules(*ruleSet));
  return {};
}

Outcome report(std::span<const std::string> words) {
  static constexpr OptionSpec specs[] = {{"outcome", true}, {"session", true}, {"rules", true}, {"detail", true}};
  auto parsed = arguments(words, specs, reportHelp);
  if (!parsed) return std::unexpected(parsed.error());
  if (!*parsed) return {};
  const Arguments& args = **parsed;
  FilterReport made;
  made.filterVersion = filterVersion;
  made.detail = args.value("detail");
  if (auto outcome = args.value("outcome")) {
    static constexpr FilterReport::Outcome outcomes[] = {
        FilterReport::Outcome::applied, FilterReport::Outcome::applyFailed, FilterReport::Outcome::keptPrevious};
    auto known = std::ranges::find(outcomes, *outcome, [](auto value) { return std::string(caseName(value)); });
    if (known == std::end(outcomes)) {
      return std::unexpected(
          Failure::usage(cat("invalid outcome \"", *outcome, "\": applied, applyFailed or keptPrevious")));
    }
    made.outcome = *known;
  }
  if (auto session = args.value("session"); session && *session != "none") {
    auto id = Uuid::parse(*session);
    if (!id) return std::unexpected(Failure::usage(cat("invalid session id \"", *session, "\"")));
    made.sessionID = *id;
  }
  if (auto count = args.value("rules")) {
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(count->data(), count->data() + count->size(), value);
    if (error != std::errc() || end != count->data() + count->size() || value < 0) {
      return std::unexpected(Failure::usage(cat("invalid rule count \"", *count, "\"")));
    }
    made.ruleCount = value;
  }

  auto client = connect();
  if (!client) return std::unexpected(client.error());
  if (!args.has("session") && !args.has("rules")) {
    auto ruleSet = currentRules(**client);
    if (!ruleSet) return std::unexpected(ruleSet.error());
    made.sessionID = ruleSet->sessionID;
    made.ruleCount = static_cast<std::int64_t>(ruleSet->ruleHosts().size());
  }
  std::string bytes = made.encoded();
  if (bytes.size() > FilterReport::maxEncodedSize) {
    return std::unexpected(Failure::usage(
        cat("the report is ", bytes.size(), " bytes; the daemon takes at most ", FilterReport::maxEncodedSize)));
  }
  auto sent = (*client)->call(rulesService, RulesService::report, bytes);
  if (!sent) return std::unexpected(Failure::fromBus(sent.error()));
  std::cout << "Reported " << caseName(made.outcome) << ", " << made.ruleCount << " rules.\n";
  return {};
}

std::string changeLine(const std::vector<std::string>& hosts, const std::optional<Uuid>& sessionID, bool json) {
  if (json) {
    return dumpJson(Json{{"sessionID", sessionID ? Json(sessionID->string()) : Json(nullptr)}, {"hosts", hosts}});
  }
  if (!sessionID) return "idle: no hosts in force";
  std::string line = cat("blocking ", hosts.size(), " hosts for session ", sessionID->string(), ":");
  for (const std::string& host : hosts) line += cat(" ", host);
  return line;
}

Outcome follow(std::span<const std::string> words) {
  static constexpr OptionSpec specs[] = {{"json"}};
  auto parsed = arguments(words, specs, followHelp);
  if (!parsed) return std::unexpected(parsed.error());
  if (!*parsed) return {};
  bool json = (*parsed)->has("json");

  // Blocked before any thread starts, so only sigwait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto client = connect();
  if (!client) return std::unexpected(client.error());
  auto following =
      RulesFollowing::start((*client)->connection(),
                            {[json](const std::vector<std::string>& hosts, const std::optional<Uuid>& sessionID) {
                               std::cout << changeLine(hosts, sessionID, json) << std::endl;
                               return FilterFollower::Applied{};
                             },
                             [](std::string_view line) { std::cerr << "hushwall-filter: " << line << std::endl; }},
                            std::string(filterVersion));
  if (!following) return std::unexpected(Failure::fromBus(following.error()));

  int received = 0;
  sigwait(&stopSignals, &received);
  return {};
}

}  // namespace
}  // namespace hushwall

int main(int argc, char** argv) {
  using namespace hushwall;
  static const Command commands[] = {{"rules", rules}, {"report", report}, {"follow", follow}};
  return runCommand("hushwall-filter", mainHelp, commands, argc, argv);
}
