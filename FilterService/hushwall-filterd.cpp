// hushwall-filterd: the network filter. It follows the daemon's rules channel
// and enforces the blocking rule set on this network namespace's traffic: an
// owned nftables table queues the first packets of new flows, the flow engine
// reads their names, and the verdict is kept in the conntrack mark. Runs under
// systemd as a notify service with a watchdog; SIGTERM or SIGINT end it, and
// its table goes with it.
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <string_view>

#include "FilterService/Enforcer.hpp"
#include "HushwallCore/Log.hpp"
#include "HushwallCore/Strings.hpp"
#include "Platform/BusConnection.hpp"
#include "Platform/RulesFollowing.hpp"
#include "Platform/SerialQueue.hpp"

#ifndef HUSHWALL_VERSION
#define HUSHWALL_VERSION "unknown"
#endif

namespace {

using namespace std::chrono_literals;
using namespace hushwall;

constexpr std::string_view usage = R"(Usage: hushwall-filterd

The network filter of Hushwall. Follows hushwalld's rules channel on the system
bus and, while a session blocks sites, makes them unreachable for every program
on this machine. Runs as root with CAP_NET_ADMIN and CAP_NET_RAW, normally as
hushwall-filterd.service. Stops on SIGTERM or SIGINT.
)";

// How long the rules in force outlive a daemon that no longer answers.
constexpr auto rulesHold = 60s;
constexpr auto tick = 1s;

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word == "--help" || word == "-h") {
      std::cout << usage;
      return 0;
    }
    if (word == "--version") {
      std::cout << "hushwall-filterd " << HUSHWALL_VERSION << "\n";
      return 0;
    }
    std::cerr << "hushwall-filterd: unexpected argument " << word << "\n" << usage;
    return 64;
  }
  Logger log("org.hushwall.app.filter", "filter");

  // Blocked before any thread starts, so only the wait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto enforcer = filter::Enforcer::start({});
  if (!enforcer) {
    log.fault(cat("cannot start: ", enforcer.error()));
    return 1;
  }
  SerialQueue busQueue("org.hushwall.app.filter.bus");
  auto bus = BusConnection::openSystem(busQueue);
  if (!bus) {
    log.fault(cat("cannot connect to the system bus: ", bus.error().message));
    return 1;
  }
  filter::Enforcer& enforce = **enforcer;
  auto following = RulesFollowing::start(
      **bus,
      {[&enforce, &log](const std::vector<std::string>& hosts, const std::optional<Uuid>& sessionID) {
         auto applied = enforce.apply(hosts);
         log.notice(cat(caseName(applied.outcome), ": ", hosts.size(), " hosts",
                        sessionID ? cat(" for session ", sessionID->string()) : std::string(), "; ",
                        applied.detail.value_or("-")));
         return applied;
       },
       [&log](std::string_view line) { log.notice(line); }},
      HUSHWALL_VERSION, RulesFollowing::Activation::wait);
  if (!following) {
    log.fault(cat("cannot follow the rules channel: ", following.error().message));
    return 1;
  }
  // The first ask has run (the queue is in order): the rules given are in force.
  (*following)->inspect([](const FilterFollower&) {});
  sd_notify(0, "READY=1");

  for (;;) {
    timespec wait{std::chrono::duration_cast<std::chrono::seconds>(tick).count(), 0};
    if (sigtimedwait(&stopSignals, nullptr, &wait) >= 0) break;
    // A wedged engine or packet reader stops the pings, and systemd restarts us.
    if (enforce.responsive(1s)) sd_notify(0, "WATCHDOG=1");
    if ((*following)->lapseIfAway(std::chrono::steady_clock::now(), rulesHold)) {
      log.error(cat("the daemon has not answered for ", rulesHold.count(), "s: the rules lapsed"));
    }
  }
  sd_notify(0, "STOPPING=1");
  following->reset();
  enforcer->reset();
  return 0;
}
