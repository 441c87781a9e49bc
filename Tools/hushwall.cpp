// hushwall: the command-line face of the daemon for the person at the keyboard.
// It speaks the app's side of the D-Bus service: start a session, watch it,
// manage weekly schedules, check the daemon's health, or send raw payloads.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "HushwallCore/BlocklistRef.hpp"
#include "HushwallCore/DaemonHealth.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/ScheduleSet.hpp"
#include "HushwallCore/SessionState.hpp"
#include "HushwallCore/StartSessionRequest.hpp"
#include "HushwallCore/Strings.hpp"
#include "Platform/SystemTimeSource.hpp"
#include "Tools/Client/Command.hpp"
#include "Tools/Client/DaemonClient.hpp"
#include "Tools/Client/DomainInput.hpp"
#include "Tools/Client/HumanDuration.hpp"
#include "Tools/Client/Presentation.hpp"
#include "Tools/Client/ScheduleText.hpp"

namespace hushwall {
namespace {

using Outcome = CommandOutcome;

constexpr std::string_view mainHelp = R"(Usage: hushwall COMMAND [OPTIONS]

Blocks websites for a fixed time that nobody can cut short, through the
hushwalld daemon on the system bus.

Commands:
  start DURATION DOMAIN...   block domains for a time, e.g. "start 25m example.com"
  status                     the running session and the time left
  schedules                  list, add, edit, pause, resume and remove weekly schedules
  health                     the daemon's version, state and filter report
  raw METHOD [JSON|-]        send a payload unchanged and print the reply unchanged

Run "hushwall COMMAND --help" for a command's options.
)";

constexpr std::string_view startHelp = R"(Usage: hushwall start DURATION [DOMAIN...] [--file PATH|-]... [--json]

Blocks the domains for DURATION, which is written as hours, minutes and
seconds: 90s, 25m, 1h30m (60 seconds to 24 hours). A started session cannot
be ended early.

  DOMAIN        a domain to block; several may be given, also comma-separated
  --file PATH   read more domains from PATH ("-" for standard input): white
                space or commas between them, "#" starts a comment
  --json        print the daemon's session record as JSON
)";

constexpr std::string_view statusHelp = R"(Usage: hushwall status [--once] [--json]

Shows the running session: its domains and the time left. On a terminal the
time left counts down live with a progress bar until the session ends or
Ctrl-C is pressed.

  --once   print once, even on a terminal
  --json   print the daemon's session record as JSON ("null" when none runs)
)";

constexpr std::string_view schedulesHelp = R"(Usage: hushwall schedules [list] [--json]
       hushwall schedules add --name NAME --days DAYS --at HH:MM --for DURATION
                              [--list NAME]... [--paused] [DOMAIN...] [--file PATH|-]...
       hushwall schedules edit SCHEDULE [--name NAME] [--days DAYS] [--at HH:MM]
                              [--for DURATION] [--list NAME]... [DOMAIN...] [--file PATH|-]...
       hushwall schedules pause|resume|remove SCHEDULE

Weekly schedules start a session by themselves when their window opens.
"list" shows each schedule with its recent runs and, when the daemon could
not act on its schedules, why. The other commands read the schedules, change
one and save the whole list; they print the schedules as saved.

  SCHEDULE         a schedule's id, a unique start of it (4 or more characters) or its name
  --days DAYS      day names separated by commas (mon,wed,fri), or weekdays,
                   weekends or daily
  --at HH:MM       the local time at which the window opens (24-hour)
  --for DURATION   the window's length: 90s, 25m, 1h30m (60 seconds to 24 hours)
  --list NAME      a block list the schedule names (default: the schedule's
                   name); "edit" replaces the lists when any is given
  DOMAIN, --file   the domains to block; "edit" replaces them when any is given
  --paused         add the schedule paused
  --json           print the daemon's schedule set as JSON
)";

constexpr std::string_view healthHelp = R"(Usage: hushwall health [--json]

Shows the daemon's version, the user it runs as, its uptime, whether a session
runs, whether it can manage the block, why its schedules last failed and what
the network filter last reported.

  --json   print the daemon's health record as JSON
)";

constexpr std::string_view rawHelp = R"(Usage: hushwall raw METHOD [JSON|-]

Calls METHOD of the daemon's service with the payload exactly as given (or as
read from standard input for "-") and writes the reply's bytes exactly as they
came, with nothing added. A D-Bus error is written to standard error as its
name, a colon and its message.

Methods: StartSession JSON, SaveSchedules JSON, CurrentSession, Schedules,
HealthCheck.
)";

std::expected<std::unique_ptr<DaemonClient>, Failure> connect() {
  return DaemonClient::connect("org.hushwall.app.bus");
}

// A call whose error is shown by its message.
std::expected<std::string, Failure> request(const DaemonClient& client, std::string_view method,
                                            std::optional<std::string_view> payload = std::nullopt) {
  auto reply = client.call(appService, method, payload);
  if (!reply) return std::unexpected(Failure::fromBus(reply.error()));
  return std::move(*reply);
}

template <class T>
std::expected<T, Failure> decoded(Decoded<T> value) {
  if (!value) return std::unexpected(Failure::badReply(value.error().reason));
  return std::move(*value);
}

std::expected<std::optional<SessionState>, Failure> currentSession(const DaemonClient& client) {
  auto reply = request(client, AppService::currentSession);
  if (!reply) return std::unexpected(reply.error());
  if (reply->empty()) return std::optional<SessionState>();
  auto state = decoded(SessionState::decode(*reply));
  if (!state) return std::unexpected(state.error());
  return std::optional<SessionState>(std::move(*state));
}

std::string jsonLine(std::string_view bytes) { return bytes.empty() ? "null\n" : cat(bytes, "\n"); }

Outcome start(std::span<const std::string> words) {
  static constexpr OptionSpec specs[] = {{"file", true, true}, {"json"}};
  auto parsed = commandArguments(words, specs, startHelp);
  if (!parsed) return std::unexpected(parsed.error());
  if (!*parsed) return {};
  const Arguments& args = **parsed;
  if (args.positional.empty()) return std::unexpected(Failure::usage("start needs a duration, e.g. 25m"));
  auto duration = HumanDuration::parse(args.positional.front());
  if (!duration) return std::unexpected(duration.error());
  auto domains = DomainInput::gather({args.positional.begin() + 1, args.positional.end()}, args.values("file"));
  if (!domains) return std::unexpected(domains.error());

  auto client = connect();
  if (!client) return std::unexpected(client.error());
  auto reply = request(**client, AppService::startSession, StartSessionRequest{*domains, *duration}.encoded());
  if (!reply) return std::unexpected(reply.error());
  if (args.has("json")) {
    std::cout << jsonLine(*reply);
    return {};
  }
  // An empty reply is a started session whose record could not be encoded.
  if (reply->empty()) {
    std::cout << "Blocking started.\n";
    return {};
  }
  auto state = decoded(SessionState::decode(*reply));
  if (!state) return std::unexpected(state.error());
  std::cout << Presentation::session(*state, Presentation::timeLeft(*state, SystemTimeSource()), false) << '\n';
  return {};
}

volatile sig_atomic_t interrupted = 0;

// Redraws the session in place every second, asking the daemon again every 15
// seconds (its record is the one that counts), until it ends or Ctrl-C.
Outcome watch(const DaemonClient& client, SessionState state) {
  struct sigaction action {};
  action.sa_handler = [](int) { interrupted = 1; };
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  SystemTimeSource clock;
  auto fetchedAt = std::chrono::steady_clock::now();
  std::size_t lines = 0;
  auto draw = [&lines](const std::string& text) {
    if (lines > 0) std::cout << "\x1b[" << lines << "F\x1b[J";
    std::cout << text << '\n' << std::flush;
    lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  };
  while (!interrupted) {
    double remaining = Presentation::timeLeft(state, clock);
    draw(Presentation::session(state, remaining, true));
    if (remaining <= 0 || std::chrono::steady_clock::now() - fetchedAt >= std::chrono::seconds(15)) {
      auto now = currentSession(client);
      if (!now) return std::unexpected(now.error());
      if (!*now || (*now)->id != state.id) {
        draw("Session ended.");
        return {};
      }
      state = std::move(**now);
      fetchedAt = std::chrono::steady_clock::now();
      // The daemon ends a used-up session at its next tick, moments away.
      if (remaining <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
      continue;
    }
    // Wake at the next whole second of the countdown.
    double fraction = remaining - std::floor(remaining);
    std::this_thread::sleep_for(std::chrono::duration<double>(fraction > 0.01 ? fraction : 1.0));
  }
  return {};
}

Outcome status(std::span<const std::string> words) {
  static constexpr OptionSpec specs[] = {{"json"}, {"once"}};
  auto parsed = commandArguments(words, specs, statusHelp);
  if (!parsed) return std::unexpected(parsed.error());
  if (!*parsed) return {};
  const Arguments& args = **parsed;
  if (!args.positional.empty()) return std::unexpected(Failure::usage("status takes no arguments"));
  auto client = connect();
  if (!client) return std::unexpected(client.error());
  if (args.has("json")) {
    auto reply = request(**client, AppService::currentSession);
    if (!reply) return std::unexpected(reply.error());
    std::cout << jsonLine(*reply);
    return {};
  }
  auto state = currentSession(**client);
  if (!state) return std::unexpected(state.error());
  if (!*state) {
    std::cout << Presentation::noSession << '\n';
    return {};
  }
  if (isatty(STDOUT_FILENO) == 1 && !args.has("once")) return watch(**client, std::move(**state));
  std::cout << Presentation::session(**state, Presentation::timeLeft(**state, SystemTimeSource()), false) << '\n';
  return {};
}

std::expected<ScheduleSet, Failure> readSchedules(const DaemonClient& client) {
  auto reply = request(client, AppService::schedules);
  if (!reply) return std::unexpected(reply.error());
  if (reply->empty()) return std::unexpected(Failure::badReply("no schedule set"));
  return decoded(ScheduleSet::decode(*reply));
}

std::optional<std::string> scheduleFailure(const DaemonClient& client) {
  auto reply = client.call(appService, AppService::healthCheck);
  if (!reply) return std::nullopt;
  auto health = DaemonHealth::decode(*reply);
  return health ? health->scheduleFailure : std::nullopt;
}

Outcome printSchedules(const DaemonClient& client, const std::string& bytes, bool json) {
  if (json) {
    std::cout << jsonLine(bytes);
    return {};
  }
  auto set = decoded(ScheduleSet::decode(bytes));
  if (!set) return std::unexpected(set.error());
  std::cout << Presentation::schedules(*set, scheduleFailure(client));
  return {};
}

// Applies the timing and lists options, and the domains from positional word
// `firstDomain` on and the files, to `schedule`.
Outcome applyScheduleOptions(const Arguments& args, std::size_t firstDomain, Schedule& schedule) {
  if (auto name = args.value("name")) schedule.name = *name;
  if (auto days = args.value("days")) {
    auto parsed = ScheduleText::parseWeekdays(*days);
    if (!parsed) return std::unexpected(parsed.error());
    schedule.weekdays = std::move(*parsed);
  }
  if (auto at = args.value("at")) {
    auto minute = ScheduleText::parseTimeOfDay(*at);
    if (!minute) return std::unexpected(minute.error());
    schedule.startMinute = *minute;
  }
  if (auto length = args.value("for")) {
    auto seconds = HumanDuration::parse(*length);
    if (!seconds) return std::unexpected(seconds.error());
    schedule.duration = *seconds;
  }
  if (args.has("list")) {
    // A list keeps its id while its name stays, so the daemon's records of it hold.
    std::vector<BlocklistRef> lists;
    for (const std::string& name : args.values("list")) {
      auto known = std::ranges::find(schedule.blocklists, name, &BlocklistRef::name);
      lists.push_back(known != schedule.blocklists.end() ? *known : BlocklistRef(Uuid::random(), name));
    }
    schedule.blocklists = std::move(lists);
  }
  std::vector<std::string> words;
  if (args.positional.size() > firstDomain)
    words.assign(args.positional.begin() + static_cast<std::ptrdiff_t>(firstDomain), args.positional.end());
  if (!words.empty() || args.has("file")) {
    auto domains = DomainInput::gather(words, args.values("file"));
    if (!domains) return std::unexpected(domains.error());
    schedule.domains = std::move(*domains);
  }
  return {};
}

Outcome schedules(std::span<const std::string> words) {
  static constexpr OptionSpec specs[] = {{"json"},      {"name", true},       {"days", true},       {"at", true},
                                         {"for", true}, {"list", true, true}, {"file", true, true}, {"paused"}};
  auto parsed = commandArguments(words, specs, schedulesHelp);
  if (!parsed) return std::unexpected(parsed.error());
  if (!*parsed) return {};
  const Arguments& args = **parsed;
  std::string action = args.positional.empty() ? "list" : args.positional.front();
  bool json = args.has("json");
  auto allow = [&args, &action](std::initializer_list<std::string_view> allowed, std::size_t positional) -> Outcome {
    for (const auto& [name, values] : args.options) {
      if (std::ranges::find(allowed, name) == allowed.end()) {
        return std::unexpected(Failure::usage(cat("schedules ", action, " does not take --", name)));
      }
    }
    if (positional != SIZE_MAX && args.positional.size() != positional) {
      return std::unexpected(Failure::usage(positional == 1 ? cat("schedules ", action, " takes no arguments")
                                                            : cat("schedules ", action, " needs one schedule")));
    }
    return {};
  };

  Schedule added;
  if (action == "list") {
    if (auto ok = allow({"json"}, args.positional.empty() ? 0 : 1); !ok) return ok;
  } else if (action == "add") {
    if (auto ok = allow({"json", "name", "days", "at", "for", "list", "file", "paused"}, SIZE_MAX); !ok) return ok;
    for (std::string_view needed : {"name", "days", "at", "for"}) {
      if (!args.has(needed)) return std::unexpected(Failure::usage(cat("schedules add needs --", needed)));
    }
    added.id = Uuid::random();
    added.isEnabled = !args.has("paused");
    if (auto ok = applyScheduleOptions(args, 1, added); !ok) return ok;
    if (added.blocklists.empty()) added.blocklists.emplace_back(Uuid::random(), added.name);
    if (added.domains.empty()) return std::unexpected(Failure::usage("no domains given"));
  } else if (action == "edit") {
    if (auto ok = allow({"json", "name", "days", "at", "for", "list", "file"}, SIZE_MAX); !ok) return ok;
    if (args.positional.size() < 2) return std::unexpected(Failure::usage("schedules edit needs one schedule"));
  } else if (action == "pause" || action == "resume" || action == "remove") {
    if (auto ok = allow({"json"}, 2); !ok) return ok;
  } else {
    return std::unexpected(Failure::usage(cat("unknown schedules command \"", action, "\"")));
  }

  auto client = connect();
  if (!client) return std::unexpected(client.error());
  if (action == "list") {
    auto reply = request(**client, AppService::schedules);
    if (!reply) return std::unexpected(reply.error());
    return printSchedules(**client, *reply, json);
  }
  auto set = readSchedules(**client);
  if (!set) return std::unexpected(set.error());
  std::vector<Schedule> list = std::move(set->schedules);
  if (action == "add") {
    list.push_back(std::move(added));
  } else {
    auto index = ScheduleText::find(list, args.positional[1]);
    if (!index) return std::unexpected(index.error());
    Schedule& chosen = list[*index];
    if (action == "edit") {
      if (auto ok = applyScheduleOptions(args, 2, chosen); !ok) return ok;
    } else if (action == "remove") {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(*index));
    } else {
      chosen.isEnabled = action == "resume";
    }
  }
  auto reply = request(**client, AppService::saveSchedules, Schedule::encodedList(list));
  if (!reply) return std::unexpected(reply.error());
  return printSchedules(**client, *reply, json);
}

Outcome health(std::span<const std::string> words) {
  static constexpr OptionSpec specs[] = {{"json"}};
  auto parsed = commandArguments(words, specs, healthHelp);
  if (!parsed) return std::unexpected(parsed.error());
  if (!*parsed) return {};
  if (!(*parsed)->positional.empty()) return std::unexpected(Failure::usage("health takes no arguments"));
  auto client = connect();
  if (!client) return std::unexpected(client.error());
  auto reply = request(**client, AppService::healthCheck);
  if (!reply) return std::unexpected(reply.error());
  if ((*parsed)->has("json")) {
    std::cout << jsonLine(*reply);
    return {};
  }
  if (reply->empty()) return std::unexpected(Failure::badReply("no health record"));
  auto record = decoded(DaemonHealth::decode(*reply));
  if (!record) return std::unexpected(record.error());
  std::cout << Presentation::health(*record);
  return {};
}

// Bytes in and out untouched; errors by their D-Bus name, so scripts see exactly what came.
int raw(std::span<const std::string> words) {
  auto parsed = parseArguments(words, {});
  auto usage = [](std::string_view text) {
    std::cerr << "hushwall: " << text << '\n';
    return static_cast<int>(ExitCode::usage);
  };
  if (!parsed) return usage(parsed.error().message);
  if (parsed->has("help")) {
    printHelp(rawHelp);
    return 0;
  }
  const auto& positional = parsed->positional;
  if (positional.empty()) return usage("raw needs a method");
  const std::string& method = positional[0];
  bool takesPayload = method == AppService::startSession || method == AppService::saveSchedules;
  bool known = takesPayload || method == AppService::currentSession || method == AppService::schedules ||
               method == AppService::healthCheck;
  if (!known) return usage(cat("unknown method \"", method, "\"; see hushwall raw --help"));
  if (takesPayload && positional.size() != 2)
    return usage(cat(method, " needs a payload (JSON, or - for standard input)"));
  if (!takesPayload && positional.size() != 1) return usage(cat(method, " takes no payload"));
  std::optional<std::string> payload;
  if (takesPayload) {
    if (positional[1] == "-") {
      auto input = DomainInput::readInput("-");
      if (!input) return usage(input.error().message);
      payload = std::move(*input);
    } else {
      payload = positional[1];
    }
  }
  auto client = connect();
  if (!client) {
    std::cerr << "hushwall: " << client.error().message << '\n';
    return static_cast<int>(client.error().code);
  }
  auto reply = (*client)->call(appService, method, payload);
  if (!reply) {
    std::cerr << reply.error().name << ": " << reply.error().message << '\n';
    return static_cast<int>(Failure::fromBus(reply.error()).code);
  }
  std::fwrite(reply->data(), 1, reply->size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : static_cast<int>(ExitCode::usage);
}

}  // namespace
}  // namespace hushwall

int main(int argc, char** argv) {
  using namespace hushwall;
  // raw writes its own errors: the D-Bus name and message exactly.
  if (argc > 1 && std::string_view(argv[1]) == "raw") return raw(std::vector<std::string>(argv + 2, argv + argc));
  static const Command commands[] = {
      {"start", start}, {"status", status}, {"schedules", schedules}, {"health", health}};
  return runCommand("hushwall", mainHelp, commands, argc, argv);
}
