// Load on the sandbox daemon: N app clients (default 64) call HealthCheck,
// CurrentSession, Schedules and StartSession (refused: a session runs) for a
// set time, while filter clients send Reports of random size up to 4 KiB, the
// session ticks and the hosts file is tampered with twice a second. Prints
// calls per second, p50/p99/p99.9 latency per method, errors by name, and the
// daemon's resident memory and open descriptors at the start and the end.
//
// Run: build/bench/load [--clients N] [--seconds S]
// The filter's side runs in build/bench/load-filter (stamped as the filter),
// which this program starts itself.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "E2E.hpp"
#include "Platform/BusConnection.hpp"
#include "Platform/SerialQueue.hpp"
#include "support/Subprocess.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace {

using Clock = std::chrono::steady_clock;

struct Tally {
  std::map<std::string, std::vector<double>> micros;  // per method
  std::map<std::string, long> errors;                 // "method: error name"
  void merge(const Tally& other) {
    for (const auto& [method, samples] : other.micros) {
      micros[method].insert(micros[method].end(), samples.begin(), samples.end());
    }
    for (const auto& [name, count] : other.errors) errors[name] += count;
  }
};

// Each client on its own connection, calling until `until`; `call` returns the error name or "".
template <class Call>
Tally runClients(int clients, Clock::time_point until, const std::vector<std::string>& methods, Call call) {
  std::vector<Tally> tallies(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      Tally& tally = tallies[static_cast<std::size_t>(i)];
      std::mt19937 random(static_cast<unsigned>(i));
      auto connection = call.connect();
      for (std::size_t n = static_cast<std::size_t>(i); Clock::now() < until; ++n) {
        const std::string& method = methods[n % methods.size()];
        auto begun = Clock::now();
        std::string error = call(*connection, method, random);
        tally.micros[method].push_back(std::chrono::duration<double, std::micro>(Clock::now() - begun).count());
        if (!error.empty()) ++tally.errors[method + ": " + error];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  Tally all;
  for (const auto& tally : tallies) all.merge(tally);
  return all;
}

void print(const Tally& tally, double seconds) {
  for (auto [method, samples] : tally.micros) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
      return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
    };
    std::printf("%-16s %9zu calls %9.0f/s   p50 %8.0f us  p99 %8.0f us  p99.9 %8.0f us\n", method.c_str(),
                samples.size(), static_cast<double>(samples.size()) / seconds, at(0.5), at(0.99), at(0.999));
  }
  for (const auto& [name, count] : tally.errors) {
    bool expected = name == "StartSession: org.hushwall.daemon.error.sessionAlreadyActive";
    std::printf("%s %-60s %ld\n", expected ? "refused (expected)" : "ERROR             ", name.c_str(), count);
  }
}

// The filter's side: Reports with a detail of random length, up to 4 KiB in all.
struct FilterConnection {
  SerialQueue queue{"org.hushwall.load.filter"};
  std::unique_ptr<BusConnection> bus = std::move(BusConnection::openSystem(queue).value());
};

struct FilterCalls {
  std::unique_ptr<FilterConnection> connect() const { return std::make_unique<FilterConnection>(); }
  std::string operator()(FilterConnection& connection, const std::string& method, std::mt19937& random) const {
    std::string report = R"({"schemaVersion":1,"outcome":"applied","ruleCount":0,"filterVersion":"1.0","detail":")";
    report += std::string(std::uniform_int_distribution<std::size_t>(0, 4000)(random), 'x') + "\"}";
    auto reply =
        connection.bus->call("HW7Q3K9P2L.org.hushwall.rules", "/org/hushwall/rules", "org.hushwall.FilterRules", method,
                             method == "Report" ? std::optional<std::string_view>(report) : std::nullopt);
    return reply ? "" : reply.error().name;
  }
};

struct AppCalls {
  std::unique_ptr<AppClient> connect() const { return std::make_unique<AppClient>(); }
  std::string operator()(AppClient& client, const std::string& method, std::mt19937&) const {
    auto reply = method == "StartSession" ? client.call(method, R"({"domains":["load.example"],"duration":60})")
                                          : client.call(method);
    return reply ? "" : reply.error().name;
  }
};

std::string residentAndDescriptors(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string rss = "?";
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) rss = line.substr(line.find_first_not_of(" \t", 6));
  }
  auto fds = std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"), {});
  return "RSS " + rss + ", " + std::to_string(fds) + " open descriptors";
}

int run(int argc, char** argv) {
  int clients = 64;
  double seconds = 10;
  bool filterSide = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--clients" && i + 1 < argc)
      clients = std::stoi(argv[++i]);
    else if (arg == "--seconds" && i + 1 < argc)
      seconds = std::stod(argv[++i]);
    else if (arg == "--filter")
      filterSide = true;
    else
      return std::fprintf(stderr, "usage: %s [--clients N] [--seconds S]\n", argv[0]), 2;
  }
  auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  if (filterSide) {
    print(runClients(clients, until, {"Report", "CurrentRules"}, FilterCalls{}), seconds);
    return 0;
  }

  SandboxDaemon daemon(HUSHWALL_LOAD_DAEMON, HUSHWALL_LOAD_ROOT);
  if (!daemon.start()) return 1;
  if (!AppClient().call("StartSession", R"({"domains":["load.example"],"duration":86400})")) return 1;
  std::printf("daemon at start: %s\n", residentAndDescriptors(daemon.pid()).c_str());

  std::atomic<bool> done = false;
  std::thread tamper([&] {  // each write is repaired by the daemon's watcher
    int tampers = 0;
    for (; !done; ++tampers) {
      writeFile(daemon.hosts, std::string(SandboxDaemon::initialHosts));
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::printf("hosts file tampered with %d times\n", tampers);
  });
  std::string filterOutput;
  std::thread filter([&] {
    Subprocess side({HUSHWALL_LOAD_FILTER, "--filter", "--clients", std::to_string(std::max(1, clients / 8)),
                     "--seconds", std::to_string(seconds)});
    side.closeInput();
    if (side.finish(std::chrono::seconds(static_cast<long>(seconds) + 60)) != 0)
      filterOutput = "ERROR the filter side failed\n";
    filterOutput += side.out;
  });
  Tally app = runClients(clients, until, {"HealthCheck", "CurrentSession", "Schedules", "StartSession"}, AppCalls{});
  done = true;
  tamper.join();
  filter.join();
  print(app, seconds);
  std::printf("%s", filterOutput.c_str());
  std::printf("daemon at end:   %s\n", residentAndDescriptors(daemon.pid()).c_str());
  std::printf("repairs logged: %d\n", daemon.logCount("repaired"));
  return 0;
}

}  // namespace
}  // namespace hushwall::testing

int main(int argc, char** argv) { return hushwall::testing::run(argc, argv); }
