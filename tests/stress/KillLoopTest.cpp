// Guards against: a SIGKILL at any moment (mid-save, mid-repair, mid-reply)
// losing a started session, shortening or lengthening it, leaving the hosts
// block out of step with session.json, leaving temporary files behind, or
// leaving schedules half of one save and half of another.
//
// A client thread starts a session, saves schedules, reads and tampers with
// the hosts file while the daemon is killed at a random moment and started
// again; every restart is then checked. HUSHWALL_KILLS sets the kill count
// (200 by default); the loop stops after the first round that fails.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
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
// The calls a kill interrupts end in one of these; anything else is the daemon's own answer.
const std::set<std::string> killed = {"org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.ServiceUnknown",
                                      "org.freedesktop.DBus.Error.NameHasNoOwner"};

double secondsSince(Clock::time_point then) { return std::chrono::duration<double>(Clock::now() - then).count(); }

class KillLoop : public E2ETest {
 protected:
  // Generation g: 1 to 3 schedules whose ids say g, windows twelve hours away.
  std::vector<Schedule> schedulesOf(int generation) const {
    std::vector<Schedule> list;
    for (int k = 0; k <= generation % 3 && generation > 0; ++k)
      list.push_back(weeklySchedule({1, 2, 3, 4, 5, 6, 7}, farMinute_, 60, generation * 4 + k));
    return list;
  }

  // Calls until the daemon is killed or `stop` is set; a wrong answer is recorded as a violation.
  void drive(unsigned seed, const std::atomic<bool>& stop) {
    std::mt19937 random(seed);
    while (!stop) {
      std::expected<std::string, BusError> reply;
      switch (random() % 4) {
        case 0:
          if (!session_ && !startUnanswered_) startAsked_ = Clock::now();
          startUnanswered_ = !session_;
          reply = client.call("StartSession", startRequest(sessionLength));
          if (reply) {
            auto state = SessionState::decode(*reply);
            if (session_ || !state) violation("a second start was accepted, or the reply is undecodable");
            if (state) session_ = state->id, startSeen_ = Clock::now();
          } else if (reply.error().daemonError() == DaemonError::sessionAlreadyActive && !session_)
            violation("refused as already active, with no session started");
          if (reply || !killed.contains(reply.error().name)) startUnanswered_ = false;
          break;
        case 1:
          unansweredGeneration_ = ++generations_;
          reply = client.call("SaveSchedules", Schedule::encodedList(schedulesOf(generations_)));
          if (reply) savedGeneration_ = generations_, unansweredGeneration_.reset();
          break;
        case 2:
          reply = client.call(random() % 2 ? "CurrentSession" : "Schedules");
          break;
        default:
          writeFile(daemon.hosts, std::string(SandboxDaemon::initialHosts));
          continue;
      }
      if (!reply && killed.contains(reply.error().name)) return;
      if (!reply && reply.error().daemonError() != DaemonError::sessionAlreadyActive) violation(reply.error().name);
    }
  }

  // Everything that must hold once the daemon is back.
  void checkRestart() {
    auto reply = client.call("CurrentSession");
    if (!reply) return violation("CurrentSession: " + reply.error().name);
    auto state = reply->empty() ? std::nullopt : std::optional(SessionState::decode(*reply).value_or(SessionState{}));
    if (!session_ && startUnanswered_ && state) session_ = state->id, startSeen_ = Clock::now();  // it got through
    startUnanswered_ = false;
    if (state.has_value() != session_.has_value() || (state && state->id != *session_))
      return violation("the session is not the one started");
    double latest = sessionLength - secondsSince(startAsked_), earliest = sessionLength - secondsSince(startSeen_);
    if (state && (state->remaining() < latest - 1 || state->remaining() > earliest + TickCadence::interval))
      violation(cat("remaining ", std::to_string(state->remaining()), "s, expected ", std::to_string(latest), "s to ",
                    std::to_string(earliest), "s"));
    std::string hosts = readFile(daemon.hosts);
    std::optional<SessionState> stored;
    if (fs::exists(daemon.session)) stored = SessionState::decode(readFile(daemon.session)).value_or(SessionState{});
    if (stored.has_value() != state.has_value() || (stored && stored->id != state->id) ||
        HostsRegions::contains(hosts) != state.has_value() || hosts.contains("\texample.com\n") != state.has_value() ||
        !hosts.ends_with(SandboxDaemon::initialHosts))
      violation("the hosts block and session.json disagree:\n" + hosts);
    for (const std::string& directory : {daemon.stateDirectory, daemon.root + "/etc"})
      for (const auto& name : TemporaryDirectory::directoryNames(directory))
        if (name.ends_with(".tmp")) violation("left behind: " + name);
    auto saved = client.call("Schedules");
    if (!saved) return violation("Schedules: " + saved.error().name);
    auto schedules = ScheduleSet::decode(*saved).value_or(ScheduleSet{}).schedules;
    // Compared by their ids.
    auto are = [&](int g) { return std::ranges::equal(schedules, schedulesOf(g), {}, &Schedule::id, &Schedule::id); };
    if (unansweredGeneration_ && are(*unansweredGeneration_)) savedGeneration_ = *unansweredGeneration_;
    unansweredGeneration_.reset();
    if (!are(savedGeneration_)) violation(cat("schedules are not generation ", savedGeneration_, "'s"));
  }

  void violation(const std::string& what) { ADD_FAILURE() << what; }  // from either thread

  // The driver's until it is joined, then the checks': what the client has
  // seen acknowledged, and what it sent without hearing back.
  std::optional<Uuid> session_;
  Clock::time_point startAsked_, startSeen_;  // the session began between the two
  bool startUnanswered_ = false;
  int generations_ = 0, savedGeneration_ = 0;  // 0: no schedules
  std::optional<int> unansweredGeneration_;
  const std::int64_t farMinute_ = localMinute(720);
};

TEST_F(KillLoop, EveryRestartKeepsTheSessionTheBlockAndTheLastSavedSchedules) {
  const char* requested = std::getenv("HUSHWALL_KILLS");
  const int kills = requested ? std::atoi(requested) : 200;
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  int round = 0;
  for (; round < kills && !HasFailure(); ++round) {
    std::atomic<bool> stop = false;
    std::thread driver([&, driverSeed = random()] { drive(driverSeed, stop); });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 30'000));  // the random moment
    daemon.kill(SIGKILL);
    stop = true;
    driver.join();
    ASSERT_TRUE(daemon.start());
    checkRestart();
  }
  std::printf("%d kills, %d schedule saves, session %s, seed %u\n", round, generations_,
              session_ ? "kept" : "never started", seed);
}

}  // namespace
}  // namespace hushwall::testing
