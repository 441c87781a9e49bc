// Guards against: a SIGKILL at any moment (mid-save, mid-repair, mid-reply)
// losing a started session, shortening or lengthening it, leaving the hosts
// block out of step with session.json, leaving temporary files behind, or
// leaving schedules half of one save and half of another.
//
// A client thread starts a session, saves schedules, reads and tampers with
// the hosts file while the daemon is killed at a random moment and started
// again; every restart is then checked. HUSHWALL_KILLS sets the kill count
// (200 by default).
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <thread>

#include "E2E.hpp"
#include "HushwallCore/HostsRegions.hpp"
#include "HushwallCore/ScheduleSet.hpp"
#include "HushwallCore/SessionState.hpp"
#include "HushwallCore/Strings.hpp"
#include "HushwallCore/TickCadence.hpp"
#include "support/ScheduleFixtures.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr double sessionLength = SessionLimits::maximum;  // outlasts any run

double secondsSince(Clock::time_point then) { return std::chrono::duration<double>(Clock::now() - then).count(); }

// What the client has seen acknowledged, and what it sent without hearing back.
struct Expected {
  std::optional<Uuid> session;
  Clock::time_point startAsked, startSeen;  // the session began between the two
  bool startUnanswered = false;
  int savedGeneration = 0;  // 0: no schedules
  std::optional<int> unansweredGeneration;
};

// Generation g: 1 to 3 schedules whose ids say g, windows twelve hours away.
std::vector<Schedule> schedulesOf(int generation) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::int64_t farMinute = ((local.tm_hour + 12) % 24) * 60;
  std::vector<Schedule> list;
  for (int k = 0; k <= generation % 3 && generation > 0; ++k) {
    list.push_back(
        weeklySchedule({1, 2, 3, 4, 5, 6, 7}, farMinute, 60, static_cast<std::uint64_t>(generation * 4 + k)));
  }
  return list;
}

std::vector<Uuid> idsOf(const std::vector<Schedule>& list) {
  std::vector<Uuid> ids;
  for (const auto& schedule : list) ids.push_back(schedule.id);
  return ids;
}

// The calls a kill interrupts end in one of these; anything else is the daemon's own answer.
bool daemonWasKilled(const BusError& error) {
  return error.name == "org.freedesktop.DBus.Error.NoReply" ||
         error.name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
         error.name == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

class KillLoop : public E2ETest {
 protected:
  // Calls until the daemon is killed or `stop` is set; a wrong answer is recorded as a violation.
  void drive(std::mt19937& random, const std::atomic<bool>& stop) {
    while (!stop) {
      std::expected<std::string, BusError> reply;
      switch (random() % 4) {
        case 0:
          if (!expected_.session && !expected_.startUnanswered) expected_.startAsked = Clock::now();
          expected_.startUnanswered = !expected_.session;
          reply = client.call("StartSession", startRequest(sessionLength));
          if (reply) {
            auto state = SessionState::decode(*reply);
            if (expected_.session || !state) violation("a second start was accepted, or the reply is undecodable");
            if (state) expected_.session = state->id, expected_.startSeen = Clock::now();
          } else if (reply.error().daemonError() == DaemonError::sessionAlreadyActive && !expected_.session) {
            violation("refused as already active, with no session started");
          }
          if (reply || !daemonWasKilled(reply.error())) expected_.startUnanswered = false;
          break;
        case 1: {
          int generation = ++generations_;
          expected_.unansweredGeneration = generation;
          reply = client.call("SaveSchedules", Schedule::encodedList(schedulesOf(generation)));
          if (reply) expected_.savedGeneration = generation, expected_.unansweredGeneration.reset();
          break;
        }
        case 2:
          reply = client.call(random() % 2 ? "CurrentSession" : "Schedules");
          break;
        default:
          writeFile(daemon.hosts, std::string(SandboxDaemon::initialHosts));
          continue;
      }
      if (!reply && daemonWasKilled(reply.error())) return;
      if (!reply && reply.error().daemonError() != DaemonError::sessionAlreadyActive) violation(reply.error().name);
    }
  }

  // Everything that must hold once the daemon is back.
  void checkRestart() {
    auto reply = client.call("CurrentSession");
    if (!reply) return violation("CurrentSession: " + reply.error().name);
    auto state = reply->empty() ? std::nullopt : std::optional(SessionState::decode(*reply).value_or(SessionState{}));
    if (!expected_.session && expected_.startUnanswered && state) {
      expected_.session = state->id, expected_.startSeen = Clock::now();  // the unanswered start got through
    }
    expected_.startUnanswered = false;
    if (state.has_value() != expected_.session.has_value() || (state && state->id != *expected_.session)) {
      return violation("the session is not the one started");
    }
    if (state) {
      double latest = sessionLength - secondsSince(expected_.startAsked);
      double earliest = sessionLength - secondsSince(expected_.startSeen);
      if (state->remaining() < latest - 1 || state->remaining() > earliest + TickCadence::interval) {
        violation(cat("remaining ", std::to_string(state->remaining()), "s, expected ", std::to_string(latest), "s to ",
                      std::to_string(earliest), "s"));
      }
    }
    std::string hosts = readFile(daemon.hosts);
    std::optional<SessionState> stored;
    if (fs::exists(daemon.session)) stored = SessionState::decode(readFile(daemon.session)).value_or(SessionState{});
    if (stored.has_value() != state.has_value() || (stored && stored->id != state->id) ||
        HostsRegions::contains(hosts) != state.has_value() || hosts.contains("\texample.com\n") != state.has_value() ||
        !hosts.ends_with(SandboxDaemon::initialHosts)) {
      violation("the hosts block and session.json disagree:\n" + hosts);
    }
    for (const std::string& directory : {daemon.stateDirectory, daemon.root + "/etc"}) {
      for (const auto& name : TemporaryDirectory::directoryNames(directory)) {
        if (name.ends_with(".tmp")) violation("left behind: " + name);
      }
    }
    auto schedules = client.call("Schedules");
    auto set = ScheduleSet::decode(schedules.value_or("")).value_or(ScheduleSet{});
    if (expected_.unansweredGeneration && idsOf(set.schedules) == idsOf(schedulesOf(*expected_.unansweredGeneration))) {
      expected_.savedGeneration = *expected_.unansweredGeneration;
    }
    expected_.unansweredGeneration.reset();
    if (!schedules || idsOf(set.schedules) != idsOf(schedulesOf(expected_.savedGeneration))) {
      violation(cat("schedules are not generation ", expected_.savedGeneration, "'s"));
    }
  }

  void violation(const std::string& what) {
    ++violations_;
    ADD_FAILURE() << what;
  }

  Expected expected_;  // the driver's until it is joined, then the checks'
  int generations_ = 0;
  int violations_ = 0;
};

TEST_F(KillLoop, EveryRestartKeepsTheSessionTheBlockAndTheLastSavedSchedules) {
  const char* requested = std::getenv("HUSHWALL_KILLS");
  const int kills = requested ? std::atoi(requested) : 200;
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  int round = 0;
  for (; round < kills && violations_ < 5; ++round) {
    std::atomic<bool> stop = false;
    std::thread driver([&, driverSeed = random()] {
      std::mt19937 own(driverSeed);
      drive(own, stop);
    });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 30'000));  // the random moment
    daemon.kill(SIGKILL);
    stop = true;
    driver.join();
    ASSERT_TRUE(daemon.start());
    checkRestart();
  }
  std::printf("%d kills, %d violations, %d schedule saves, session %s, seed %u\n", round, violations_, generations_,
              expected_.session ? "kept" : "never started", seed);
}

}  // namespace
}  // namespace hushwall::testing
